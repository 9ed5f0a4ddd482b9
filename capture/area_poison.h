// The byte area is one large array, so AddressSanitizer alone cannot see a read that runs
// past one datagram into the bytes behind it. In AddressSanitizer builds the store marks
// everything past its last datagram as unaddressable; elsewhere these compile to nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define TROVIX_AREA_POISONING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TROVIX_AREA_POISONING 1
#endif
#endif

#ifdef TROVIX_AREA_POISONING
#include <sanitizer/asan_interface.h>
#endif

namespace trovix {

#ifdef TROVIX_AREA_POISONING
inline constexpr bool kAreaPoisoning = true;
inline void PoisonBytes(const void* at, size_t size) noexcept { ASAN_POISON_MEMORY_REGION(at, size); }
inline void UnpoisonBytes(const void* at, size_t size) noexcept { ASAN_UNPOISON_MEMORY_REGION(at, size); }
#else
inline constexpr bool kAreaPoisoning = false;
inline void PoisonBytes(const void*, size_t) noexcept {}
inline void UnpoisonBytes(const void*, size_t) noexcept {}
#endif

}  // namespace trovix
