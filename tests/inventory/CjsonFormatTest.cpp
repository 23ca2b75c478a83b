// The formatter behind the firmware's sprintf for cJSON, built here beside
// the host C library and compared with its snprintf: the "u%04x" escape of
// control characters and the integer formats must come out identically, and
// floating-point formats must be refused, never approximated.
#include "Format.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

struct Formatted {
  int length;
  std::string text;
};

Formatted Firmware(const char *format, ...) {
  char buffer[128];
  va_list arguments;
  va_start(arguments, format);
  int length = CjsonFormatV(buffer, format, arguments);
  va_end(arguments);
  return {length, buffer};
}

Formatted Host(const char *format, ...) {
  char buffer[128];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(buffer, sizeof(buffer), format, arguments);
  va_end(arguments);
  return {length, buffer};
}

#define EXPECT_SAME_AS_HOST(...)                                                                   \
  do {                                                                                             \
    Formatted ours = Firmware(__VA_ARGS__);                                                        \
    Formatted theirs = Host(__VA_ARGS__);                                                          \
    EXPECT_EQ(ours.text, theirs.text);                                                             \
    EXPECT_EQ(ours.length, theirs.length);                                                         \
  } while (0)

TEST(CjsonFormatTest, ControlCharacterEscapeMatchesTheCLibrary) {
  for (int c = 0; c < 0x20; c++) {
    EXPECT_SAME_AS_HOST("u%04x", static_cast<unsigned char>(c));
  }
  EXPECT_SAME_AS_HOST("u%04x", 0x7F);
}

TEST(CjsonFormatTest, IntegerFormatsMatchTheCLibrary) {
  for (int value : {0, 1, -1, 9, 10, 42, -42, 1234567, -2147483647 - 1, 2147483647}) {
    EXPECT_SAME_AS_HOST("%d", value);
    EXPECT_SAME_AS_HOST("%i", value);
    EXPECT_SAME_AS_HOST("[%5d]", value);
    EXPECT_SAME_AS_HOST("[%-5d]", value);
    EXPECT_SAME_AS_HOST("[%05d]", value);
    EXPECT_SAME_AS_HOST("[%.3d]", value);
    EXPECT_SAME_AS_HOST("%u", static_cast<unsigned>(value));
    EXPECT_SAME_AS_HOST("%x", static_cast<unsigned>(value));
    EXPECT_SAME_AS_HOST("%08X", static_cast<unsigned>(value));
  }
  EXPECT_SAME_AS_HOST("%i.%i.%i", 1, 7, 15);
  EXPECT_SAME_AS_HOST("%lld %llx", -1234567890123ll, 0xFEDCBA9876543210ull);
  EXPECT_SAME_AS_HOST("%s|%5s|%-5s|%.2s|%c|%%", "abc", "ab", "ab", "abc", 'z');
}

TEST(CjsonFormatTest, FloatingPointFormatsAreRefused) {
  for (const char *format : {"%1.15g", "%1.17g", "%lg", "%f", "%e", "trailing %"}) {
    Formatted ours = Firmware(format, 3.25);
    EXPECT_EQ(ours.length, -1) << format;
    EXPECT_EQ(ours.text, "") << format;
  }
}

} // namespace
