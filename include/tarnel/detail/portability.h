// The few compiler-specific facilities the core uses, each with a portable fallback, so that the
// rest of the code builds unchanged with GCC, clang, Apple clang and MSVC.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>
#endif

// Inlines a function where the compiler would not: for the few small steps that run once per
// element of the input, whose call would cost as much as the step. And the other way: a rare
// path kept out of line, so that it does not weigh on the code it is called from.
#if defined(__GNUC__) || defined(__clang__)
#define TARNEL_ALWAYS_INLINE __attribute__((always_inline)) inline
#define TARNEL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define TARNEL_ALWAYS_INLINE __forceinline
#define TARNEL_NOINLINE __declspec(noinline)
#else
#define TARNEL_ALWAYS_INLINE inline
#define TARNEL_NOINLINE
#endif

namespace tarnel {

/// The octets of `value` in reverse order.
inline std::uint32_t byte_swap(std::uint32_t value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(value);
#elif defined(_MSC_VER)
  return _byteswap_ulong(value);
#else
  return (value >> 24) | ((value >> 8) & 0xff00u) | ((value << 8) & 0xff0000u) | (value << 24);
#endif
}

/// The octets of `value` in reverse order.
inline std::uint64_t byte_swap(std::uint64_t value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(value);
#elif defined(_MSC_VER)
  return _byteswap_uint64(value);
#else
  return (std::uint64_t{byte_swap(static_cast<std::uint32_t>(value))} << 32) |
         byte_swap(static_cast<std::uint32_t>(value >> 32));
#endif
}

}  // namespace tarnel
