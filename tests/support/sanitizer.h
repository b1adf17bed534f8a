// KEVA_UNDER_ASAN is defined when the tests are built with AddressSanitizer
// (gcc and clang spell the question differently).
#pragma once
#if defined(__SANITIZE_ADDRESS__)
#define KEVA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEVA_UNDER_ASAN 1
#endif
#endif
