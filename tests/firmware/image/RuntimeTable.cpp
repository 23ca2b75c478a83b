// A throwaway IA32 image that hands out the addresses of the firmware
// runtime's helpers, so that a host test can run their IA32 code on the
// emulated CPU and compare it with native results. Table order: __aulldiv,
// __aullrem, __alldiv, __allrem, memcpy, memset, memmove, memcmp.

typedef decltype(sizeof(0)) RuntimeSize;

extern "C" {
void HelperAullDiv() __asm__("__aulldiv");
void HelperAullRem() __asm__("__aullrem");
void HelperAllDiv() __asm__("__alldiv");
void HelperAllRem() __asm__("__allrem");
void *memcpy(void *, const void *, RuntimeSize);
void *memset(void *, int, RuntimeSize);
void *memmove(void *, const void *, RuntimeSize);
int memcmp(const void *, const void *, RuntimeSize);
}

extern "C" unsigned RuntimeTableEntryPoint(void **Table, void *) {
  Table[0] = reinterpret_cast<void *>(&HelperAullDiv);
  Table[1] = reinterpret_cast<void *>(&HelperAullRem);
  Table[2] = reinterpret_cast<void *>(&HelperAllDiv);
  Table[3] = reinterpret_cast<void *>(&HelperAllRem);
  Table[4] = reinterpret_cast<void *>(&memcpy);
  Table[5] = reinterpret_cast<void *>(&memset);
  Table[6] = reinterpret_cast<void *>(&memmove);
  Table[7] = reinterpret_cast<void *>(&memcmp);
  return 8;
}
