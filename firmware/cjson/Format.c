/* The formatter behind sprintf in the firmware's cJSON (see Format.h).
   Understood: %%, %c, %s, %d, %i, %u, %x, %X with the flags '-' and '0', a
   field width, a precision (minimum digits, or maximum characters of %s) and
   the length modifiers h, l and ll. */
#include "Format.h"

typedef unsigned long long FormatValue;

enum { kFormatLeft = 1, kFormatZero = 2 };

static int IsDigit(char Character) { return Character >= '0' && Character <= '9'; }

/* Writes Count copies of Fill; returns the new end. */
static char *Repeat(char *Output, char Fill, int Count) {
  for (; Count > 0; Count--) {
    *Output++ = Fill;
  }
  return Output;
}

/* One converted field: optional sign, Digits (Length characters), padded to
   Width, with at least Precision digits. */
static char *PutField(char *Output, char Sign, const char *Digits, int Length, int Width,
                      int Precision, int Flags) {
  int Zeros = Precision > Length ? Precision - Length : 0;
  int Body = Length + Zeros + (Sign != 0 ? 1 : 0);
  int Pad = Width > Body ? Width - Body : 0;
  if ((Flags & kFormatLeft) == 0 && ((Flags & kFormatZero) == 0 || Precision >= 0)) {
    Output = Repeat(Output, ' ', Pad);
    Pad = 0;
  }
  if (Sign != 0) {
    *Output++ = Sign;
  }
  if ((Flags & kFormatLeft) == 0) {
    /* Zero padding goes between the sign and the digits. */
    Output = Repeat(Output, '0', Pad);
    Pad = 0;
  }
  Output = Repeat(Output, '0', Zeros);
  for (int Index = 0; Index < Length; Index++) {
    *Output++ = Digits[Index];
  }
  return Repeat(Output, ' ', Pad);
}

/* Digits of Value in Base, most significant first, into Buffer (at least 22
   bytes); returns their count. Zero with a precision of 0 has no digits. */
static int ToDigits(char *Buffer, FormatValue Value, unsigned Base, int Upper, int Precision) {
  const char *Alphabet = Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char Reverse[24];
  int Count = 0;
  if (Value == 0 && Precision == 0) {
    return 0;
  }
  do {
    Reverse[Count++] = Alphabet[Value % Base];
    Value /= Base;
  } while (Value != 0);
  for (int Index = 0; Index < Count; Index++) {
    Buffer[Index] = Reverse[Count - 1 - Index];
  }
  return Count;
}

int CjsonFormatV(char *Output, const char *Format, __builtin_va_list Arguments) {
  char *Start = Output;
  while (*Format != '\0') {
    if (*Format != '%') {
      *Output++ = *Format++;
      continue;
    }
    Format++;

    int Flags = 0;
    for (;; Format++) {
      if (*Format == '-') {
        Flags |= kFormatLeft;
      } else if (*Format == '0') {
        Flags |= kFormatZero;
      } else {
        break;
      }
    }
    int Width = 0;
    while (IsDigit(*Format)) {
      Width = Width * 10 + (*Format++ - '0');
    }
    int Precision = -1;
    if (*Format == '.') {
      Format++;
      Precision = 0;
      while (IsDigit(*Format)) {
        Precision = Precision * 10 + (*Format++ - '0');
      }
    }
    int Longs = 0;
    if (*Format == 'h') {
      /* Short arguments arrive promoted to int. */
      Format++;
      if (*Format == 'h') {
        Format++;
      }
    } else if (*Format == 'l') {
      Format++;
      Longs = 1;
      if (*Format == 'l') {
        Format++;
        Longs = 2;
      }
    }

    char Digits[24];
    char Conversion = *Format++;
    switch (Conversion) {
    case '%':
      *Output++ = '%';
      break;
    case 'c':
      Digits[0] = (char)__builtin_va_arg(Arguments, int);
      Output = PutField(Output, 0, Digits, 1, Width, -1, Flags & kFormatLeft);
      break;
    case 's': {
      const char *Text = __builtin_va_arg(Arguments, const char *);
      if (Text == 0) {
        Text = "(null)";
      }
      int Length = 0;
      while (Text[Length] != '\0' && (Precision < 0 || Length < Precision)) {
        Length++;
      }
      Output = PutField(Output, 0, Text, Length, Width, -1, Flags & kFormatLeft);
      break;
    }
    case 'd':
    case 'i': {
      long long Value = Longs == 2   ? __builtin_va_arg(Arguments, long long)
                        : Longs == 1 ? __builtin_va_arg(Arguments, long)
                                     : __builtin_va_arg(Arguments, int);
      /* The magnitude of the most negative value still fits unsigned. */
      FormatValue Magnitude = Value < 0 ? 0 - (FormatValue)Value : (FormatValue)Value;
      int Length = ToDigits(Digits, Magnitude, 10, 0, Precision);
      Output = PutField(Output, Value < 0 ? '-' : 0, Digits, Length, Width, Precision, Flags);
      break;
    }
    case 'u':
    case 'x':
    case 'X': {
      FormatValue Value = Longs == 2   ? __builtin_va_arg(Arguments, unsigned long long)
                          : Longs == 1 ? __builtin_va_arg(Arguments, unsigned long)
                                       : __builtin_va_arg(Arguments, unsigned int);
      int Length =
          ToDigits(Digits, Value, Conversion == 'u' ? 10 : 16, Conversion == 'X', Precision);
      Output = PutField(Output, 0, Digits, Length, Width, Precision, Flags);
      break;
    }
    default:
      /* Floating point and anything else: refuse rather than guess. */
      *Start = '\0';
      return -1;
    }
  }
  *Output = '\0';
  return (int)(Output - Start);
}
