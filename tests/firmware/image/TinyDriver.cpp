// A throwaway driver for testing the image checks, built with the firmware
// flags for both architectures. Its pointer table needs base relocations, its
// structure copy calls memcpy and its 64-bit divisions call the IA32 helpers,
// so linking it also proves the runtime covers what compiled code asks for.

typedef unsigned long long U64;
typedef long long I64;

struct Block {
  U64 Words[32];
};

U64 mValues[2] = {7, 3};
U64 *mSlots[2] = {&mValues[0], &mValues[1]};
Block mLast;

extern "C" U64 TinyDriverEntryPoint(void *ImageHandle, void *SystemTable) {
  U64 Index = reinterpret_cast<__UINTPTR_TYPE__>(ImageHandle);
  mLast = *static_cast<Block *>(SystemTable);
  U64 Value = *mSlots[Index & 1] + mLast.Words[0];
  I64 Signed = static_cast<I64>(mLast.Words[1]);
  return Value / (Index | 1) + Value % (Index | 3) +
         static_cast<U64>(Signed / static_cast<I64>(Index | 5)) +
         static_cast<U64>(Signed % static_cast<I64>(Index | 7));
}
