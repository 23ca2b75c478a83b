// Symbols that the Microsoft ABI makes compiled C++ refer to, defined for
// images that have no C runtime.

typedef decltype(sizeof(0)) RuntimeSize;

extern "C" {

// Referenced by every object that uses floating point; its value is unused.
int _fltused = 0;

// The vtable slot of a pure virtual function. Reaching it means an object was
// used during its own construction or destruction: stop here.
int _purecall() { __builtin_trap(); }

} // extern "C"

// Deleting destructors refer to these, but firmware objects live in pool
// memory and are never destroyed through delete.
void operator delete(void *) noexcept { __builtin_trap(); }
void operator delete(void *, RuntimeSize) noexcept { __builtin_trap(); }
