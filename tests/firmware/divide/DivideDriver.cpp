// Runs the IA32 division helpers of the firmware runtime as a freestanding
// i686 Linux program and compares them with the build machine's native
// results. Each call goes through the helpers' own convention (operands
// pushed, callee pops 16 bytes, result in EDX:EAX), checked on the stack
// pointer, rather than through any compiler's idea of it.

typedef unsigned long long U64;
typedef unsigned int U32;

struct DivideCase {
  U64 Dividend;
  U64 Divisor;
  U64 Quotient;
  U64 Remainder;
};

#include "DivideVectors.h"

extern "C" void HelperAullDiv() __asm__("__aulldiv");
extern "C" void HelperAullRem() __asm__("__aullrem");
extern "C" void HelperAllDiv() __asm__("__alldiv");
extern "C" void HelperAllRem() __asm__("__allrem");

namespace {

void Write(const char *Text) {
  U32 Length = 0;
  while (Text[Length] != 0) {
    Length++;
  }
  long Result;
  asm volatile("int $0x80" : "=a"(Result) : "a"(4), "b"(1), "c"(Text), "d"(Length) : "memory");
}

void WriteHex(U64 Value) {
  char Text[19] = "0x";
  for (int Index = 0; Index < 16; Index++) {
    U32 Digit = static_cast<U32>(Value >> (60 - 4 * Index)) & 0xF;
    Text[2 + Index] = static_cast<char>(Digit < 10 ? '0' + Digit : 'A' + Digit - 10);
  }
  Text[18] = 0;
  Write(Text);
}

void WriteDecimal(U32 Value) {
  char Text[11];
  int Index = 10;
  Text[Index] = 0;
  do {
    Text[--Index] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  Write(&Text[Index]);
}

U32 mChecked;
U32 mFailed;

void Check(const char *Name, void (*Helper)(), U64 Dividend, U64 Divisor, U64 Expected) {
  U32 Arguments[4] = {static_cast<U32>(Dividend), static_cast<U32>(Dividend >> 32),
                      static_cast<U32>(Divisor), static_cast<U32>(Divisor >> 32)};
  U32 Low;
  U32 High;
  U32 Unpopped;
  asm volatile("movl %%esp, %%esi\n\t"
               "pushl 12(%%edi)\n\t"
               "pushl 8(%%edi)\n\t"
               "pushl 4(%%edi)\n\t"
               "pushl (%%edi)\n\t"
               "call *%%ebx\n\t"
               "subl %%esp, %%esi\n\t" // bytes the callee left on the stack
               "addl %%esi, %%esp\n\t" // back where we started, either way
               : "=a"(Low), "=d"(High), "=S"(Unpopped)
               : "D"(Arguments), "b"(Helper)
               : "ecx", "memory", "cc");
  if (Unpopped != 0) {
    Write(Name);
    Write(": callee did not pop its 16 bytes of operands\n");
    mFailed++;
  }
  U64 Actual = (static_cast<U64>(High) << 32) | Low;
  mChecked++;
  if (Actual != Expected) {
    mFailed++;
    Write(Name);
    Write("(");
    WriteHex(Dividend);
    Write(", ");
    WriteHex(Divisor);
    Write(") = ");
    WriteHex(Actual);
    Write(", expected ");
    WriteHex(Expected);
    Write("\n");
  }
}

} // namespace

extern "C" int Main() {
  for (const DivideCase &Case : kUnsignedCases) {
    Check("__aulldiv", HelperAullDiv, Case.Dividend, Case.Divisor, Case.Quotient);
    Check("__aullrem", HelperAullRem, Case.Dividend, Case.Divisor, Case.Remainder);
  }
  for (const DivideCase &Case : kSignedCases) {
    Check("__alldiv", HelperAllDiv, Case.Dividend, Case.Divisor, Case.Quotient);
    Check("__allrem", HelperAllRem, Case.Dividend, Case.Divisor, Case.Remainder);
  }
  WriteDecimal(mChecked);
  Write(" helper calls checked, ");
  WriteDecimal(mFailed);
  Write(" wrong\n");
  return mFailed == 0 && mChecked != 0 ? 0 : 1;
}

extern "C" __attribute__((naked, noreturn)) void _start() {
  asm volatile("andl $-16, %esp\n\t"
               "call Main\n\t"
               "movl %eax, %ebx\n\t"
               "movl $1, %eax\n\t"
               "int $0x80\n\t");
}
