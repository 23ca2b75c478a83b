// The memory functions that compiled code calls on its own (structure copies,
// zeroing of large objects) and that module code may call by name. Built with
// -fno-builtin, so the loops below are not turned back into calls to
// themselves.

typedef decltype(sizeof(0)) RuntimeSize;

extern "C" {

void *memcpy(void *Destination, const void *Source, RuntimeSize Count) {
  unsigned char *To = static_cast<unsigned char *>(Destination);
  const unsigned char *From = static_cast<const unsigned char *>(Source);
  while (Count-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}

void *memset(void *Destination, int Value, RuntimeSize Count) {
  unsigned char *To = static_cast<unsigned char *>(Destination);
  while (Count-- != 0) {
    *To++ = static_cast<unsigned char>(Value);
  }
  return Destination;
}

void *memmove(void *Destination, const void *Source, RuntimeSize Count) {
  unsigned char *To = static_cast<unsigned char *>(Destination);
  const unsigned char *From = static_cast<const unsigned char *>(Source);
  if (To < From) {
    while (Count-- != 0) {
      *To++ = *From++;
    }
  } else if (To > From) {
    // Overlap with the destination above the source: copy from the end.
    while (Count-- != 0) {
      To[Count] = From[Count];
    }
  }
  return Destination;
}

int memcmp(const void *Left, const void *Right, RuntimeSize Count) {
  const unsigned char *A = static_cast<const unsigned char *>(Left);
  const unsigned char *B = static_cast<const unsigned char *>(Right);
  for (RuntimeSize Index = 0; Index < Count; Index++) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}

} // extern "C"
