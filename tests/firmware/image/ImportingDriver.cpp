// A driver that imports a function from another image, which no EFI image
// may do: the image check must reject it. Otherwise sound (it has base
// relocations: the volatile table keeps LTO from folding its pointer away),
// so the import is the only fault.

extern "C" __declspec(dllimport) int ImportedFunction(int Value);

int mValue = 1;
int *volatile mSlots[1] = {&mValue};

extern "C" int ImportingDriverEntryPoint(void *, void *) { return ImportedFunction(*mSlots[0]); }
