// Placement new, for constructing objects in pool memory. The firmware
// targets have no C++ library headers; host builds take the library's own
// declaration so that both can meet in one translation unit.
#pragma once

#if __has_include(<new>)
#include <new>
#else
inline void *operator new(decltype(sizeof(0)), void *Where) noexcept { return Where; }
#endif
