#pragma once

// Sanitizer allocators hold freed memory in quarantine, so in those builds the resident size
// says nothing about what the program gave back.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kResidentMemoryIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kResidentMemoryIsMeaningful = false;
#else
inline constexpr bool kResidentMemoryIsMeaningful = true;
#endif
#else
inline constexpr bool kResidentMemoryIsMeaningful = true;
#endif
