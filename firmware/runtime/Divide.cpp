// 64-bit division helpers of the Microsoft ABI on IA32, called by compiled
// code for every 64-bit / and %. Convention: both operands on the stack
// (dividend first), the callee pops them (16 bytes, stdcall), the result in
// EDX:EAX. Dividing by zero faults, as the hardware division does.

typedef unsigned long long RuntimeU64;
typedef long long RuntimeI64;
typedef unsigned int RuntimeU32;

#define RUNTIME_HELPER(Name) __attribute__((stdcall)) __asm__(Name)

extern "C" {
RuntimeU64 AullDiv(RuntimeU64 Dividend, RuntimeU64 Divisor) RUNTIME_HELPER("__aulldiv");
RuntimeU64 AullRem(RuntimeU64 Dividend, RuntimeU64 Divisor) RUNTIME_HELPER("__aullrem");
RuntimeI64 AllDiv(RuntimeI64 Dividend, RuntimeI64 Divisor) RUNTIME_HELPER("__alldiv");
RuntimeI64 AllRem(RuntimeI64 Dividend, RuntimeI64 Divisor) RUNTIME_HELPER("__allrem");
}

namespace {

// Shift-and-subtract on 64-bit values; written so that the compiler needs no
// 64-bit division itself (that would call back into these helpers).
RuntimeU64 DivideUnsigned(RuntimeU64 Dividend, RuntimeU64 Divisor, RuntimeU64 *Remainder) {
  if (Divisor == 0) {
    __builtin_trap();
  }
  if ((Dividend >> 32) == 0) {
    // Divisor > Dividend when it has high bits; else a 32-bit division does.
    if ((Divisor >> 32) != 0) {
      *Remainder = Dividend;
      return 0;
    }
    RuntimeU32 Low = static_cast<RuntimeU32>(Dividend);
    RuntimeU32 By = static_cast<RuntimeU32>(Divisor);
    *Remainder = Low % By;
    return Low / By;
  }
  if (Divisor > Dividend) {
    *Remainder = Dividend;
    return 0;
  }
  int Shift = __builtin_clzll(Divisor) - __builtin_clzll(Dividend);
  Divisor <<= Shift;
  RuntimeU64 Quotient = 0;
  for (int Step = 0; Step <= Shift; Step++) {
    Quotient <<= 1;
    if (Dividend >= Divisor) {
      Dividend -= Divisor;
      Quotient |= 1;
    }
    Divisor >>= 1;
  }
  *Remainder = Dividend;
  return Quotient;
}

RuntimeU64 Magnitude(RuntimeI64 Value) {
  return Value < 0 ? 0 - static_cast<RuntimeU64>(Value) : static_cast<RuntimeU64>(Value);
}

} // namespace

extern "C" {

RuntimeU64 AullDiv(RuntimeU64 Dividend, RuntimeU64 Divisor) {
  RuntimeU64 Remainder;
  return DivideUnsigned(Dividend, Divisor, &Remainder);
}

RuntimeU64 AullRem(RuntimeU64 Dividend, RuntimeU64 Divisor) {
  RuntimeU64 Remainder;
  DivideUnsigned(Dividend, Divisor, &Remainder);
  return Remainder;
}

// Signed results truncate toward zero: the quotient is negative when the
// signs differ, the remainder takes the dividend's sign.
RuntimeI64 AllDiv(RuntimeI64 Dividend, RuntimeI64 Divisor) {
  RuntimeU64 Remainder;
  RuntimeU64 Quotient = DivideUnsigned(Magnitude(Dividend), Magnitude(Divisor), &Remainder);
  if ((Dividend < 0) != (Divisor < 0)) {
    Quotient = 0 - Quotient;
  }
  return static_cast<RuntimeI64>(Quotient);
}

RuntimeI64 AllRem(RuntimeI64 Dividend, RuntimeI64 Divisor) {
  RuntimeU64 Remainder;
  DivideUnsigned(Magnitude(Dividend), Magnitude(Divisor), &Remainder);
  if (Dividend < 0) {
    Remainder = 0 - Remainder;
  }
  return static_cast<RuntimeI64>(Remainder);
}

} // extern "C"
