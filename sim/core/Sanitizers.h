// Whether AddressSanitizer instruments this translation unit. g++ defines
// __SANITIZE_ADDRESS__; clang 14 only answers __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define MGMT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MGMT_ASAN 1
#endif
#endif
#ifndef MGMT_ASAN
#define MGMT_ASAN 0
#endif

// For functions that read memory whole, redzones included.
#if MGMT_ASAN
#define MGMT_NO_ASAN __attribute__((no_sanitize_address))
#else
#define MGMT_NO_ASAN
#endif

// For calls through a pointer whose real type only the caller's other side
// knows (clang's -fsanitize=function checks the type; g++ has no such check).
#if defined(__clang__)
#define MGMT_NO_SANITIZE_FUNCTION_TYPE __attribute__((no_sanitize("function")))
#else
#define MGMT_NO_SANITIZE_FUNCTION_TYPE
#endif
