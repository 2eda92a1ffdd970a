#pragma once

// AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing about
// leaks there (LeakSanitizer checks those at exit instead), and code runs several times slower.
#if defined(__SANITIZE_ADDRESS__)
#define VANTRELO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTRELO_ASAN 1
#endif
#endif

#ifdef VANTRELO_ASAN
inline constexpr bool underAddressSanitizer = true;
#else
inline constexpr bool underAddressSanitizer = false;
#endif

#ifdef __OPTIMIZE__
inline constexpr bool optimised = true;
#else
inline constexpr bool optimised = false;
#endif
