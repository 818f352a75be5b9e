// Runs of one class of octets, found a word or a vector at a time: how many of the octets at `p`
// belong to the class before the first that does not. The classes are those of grammar.h (token
// characters, octets that stand for themselves in quotes, hexadecimal digits) and every octet but
// one; `decode_hex` turns pairs of hexadecimal digits already known to be digits
// into octets, eight or sixteen digits a step.
//
// Two implementations give the same results: `portable`, eight octets at a time in a 64-bit word
// (SWAR), on any platform and either byte order, and `sse2`, sixteen at a time, where the target
// has SSE2 (every x86-64 processor does). `native` is the faster one the target allows, unless
// TARNEL_SCAN_PORTABLE is defined. Nothing is read outside [p, p + n): the octets after the last
// whole word or vector are copied into a zeroed block of that size first, and the octet 0x00
// belongs to no class, so the copy's padding ends every run.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tarnel/detail/grammar.h"
#include "tarnel/detail/portability.h"

#if !defined(TARNEL_SCAN_PORTABLE) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define TARNEL_SCAN_SSE2 1
#include <emmintrin.h>
#endif

namespace tarnel::scan {

/// 64-bit words read and written as if little-endian, so that the octet at the lowest address is
/// always the lowest in the word.
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = byte_swap(word);
  return word;
}

inline void store_le32(std::uint8_t* p, std::uint32_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = byte_swap(word);
  std::memcpy(p, &word, sizeof word);
}

/// Byte-wise tests on a word: each sets the top bit of every octet that passes, and nothing
/// else. The operand `y` must have every top bit clear (the octets 0x00-0x7F), so that no octet
/// carries into the next; callers mask `ascii` in for the rest.
namespace swar {

inline constexpr std::uint64_t ones = 0x0101010101010101u;
inline constexpr std::uint64_t high = 0x8080808080808080u;
inline constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Fu;

constexpr std::uint64_t repeat(std::uint8_t octet) noexcept { return ones * octet; }

// The octets of y that are >= lo (lo at most 0x80).
constexpr std::uint64_t at_least(std::uint64_t y, std::uint8_t lo) noexcept {
  return (y + repeat(static_cast<std::uint8_t>(0x80 - lo))) & high;
}

// The octets of y that are > hi (hi at most 0x7F).
constexpr std::uint64_t above(std::uint64_t y, std::uint8_t hi) noexcept {
  return (y + repeat(static_cast<std::uint8_t>(0x7F - hi))) & high;
}

constexpr std::uint64_t within(std::uint64_t y, std::uint8_t lo, std::uint8_t hi) noexcept {
  return at_least(y, lo) & ~above(y, hi);
}

constexpr std::uint64_t equal(std::uint64_t y, std::uint8_t octet) noexcept {
  return ~((y ^ repeat(octet)) + low7) & high;
}

}  // namespace swar

/// The top bit of each octet of `word` that is not a decimal digit, exact up to the first such
/// octet (an octet's carry may mark the ones above it): a digit is 0x30-0x39, so XOR-ing 0x30
/// leaves at most 9 in it, and adding 0x76 carries into its top bit anything above 9.
inline std::uint64_t first_non_digits(std::uint64_t word) noexcept {
  const std::uint64_t t = word ^ swar::repeat(0x30);
  return ((t + swar::repeat(0x76)) | t) & swar::high;
}

/// The value of the decimal number written in the first `count` octets (1 to 7) of `word`, all
/// of them digits: moved to the top of the word, then added up in pairs, fours and eights.
inline std::uint64_t decimal_value(std::uint64_t word, std::size_t count) noexcept {
  std::uint64_t v = (word & swar::repeat(0x0F)) << (8 * (8 - count));
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFu;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFu;
  return (v * 10000 + (v >> 32)) & 0xFFFFFFFFu;
}

#if defined(TARNEL_SCAN_SSE2)
/// The same tests on sixteen octets: 0xFF in every octet that passes. Signed comparisons leave
/// the octets 0x80-0xFF (negative) out of every range, whose bounds lie in 0x00-0x7E.
namespace vec {

inline __m128i within(__m128i x, char lo, char hi) noexcept {
  return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

inline __m128i equal(__m128i x, char octet) noexcept {
  return _mm_cmpeq_epi8(x, _mm_set1_epi8(octet));
}

// Letters of either case: setting bit 5 folds A-Z onto a-z and moves nothing else into a-z.
inline __m128i letters(__m128i x) noexcept {
  return within(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z');
}

}  // namespace vec
#endif

/// The classes a run is made of. Each says, for a word, which of its octets belong
/// (`word`), and the same for a vector (`vector`); `test` is the class of one octet, as the
/// tables of grammar.h define it, for the tests to hold the other two to.
struct TokenChars {
  static bool test(std::uint8_t c) noexcept { return is_token_char(c); }

  static std::uint64_t word(std::uint64_t x) noexcept {
    using namespace swar;
    const std::uint64_t y = x & low7;
    const std::uint64_t folded = y | repeat(0x20);
    return (within(folded, 'a', 'z') | within(y, '-', ':') | within(y, '*', '+') | equal(y, '=') |
            equal(y, '_')) &
           ~x;
  }

#if defined(TARNEL_SCAN_SSE2)
  static __m128i vector(__m128i x) noexcept {
    using namespace vec;
    return _mm_or_si128(
        _mm_or_si128(letters(x), within(x, '-', ':')),
        _mm_or_si128(within(x, '*', '+'), _mm_or_si128(equal(x, '='), equal(x, '_'))));
  }
#endif
};

/// The octets that stand for themselves in a quoted string: printable ASCII but '"' and '\'.
struct QuotedChars {
  static bool test(std::uint8_t c) noexcept {
    return stands_in_quotes(c, octet_class::plain_quoted);
  }

  static std::uint64_t word(std::uint64_t x) noexcept {
    using namespace swar;
    const std::uint64_t y = x & low7;
    return within(y, 0x20, 0x7E) & ~equal(y, '"') & ~equal(y, '\\') & ~x;
  }

#if defined(TARNEL_SCAN_SSE2)
  static __m128i vector(__m128i x) noexcept {
    using namespace vec;
    return _mm_andnot_si128(_mm_or_si128(equal(x, '"'), equal(x, '\\')), within(x, 0x20, 0x7E));
  }
#endif
};

/// As QuotedChars, and the octets 0x80-0xFF too (`allow_raw_octets`).
struct QuotedOrRawChars {
  static bool test(std::uint8_t c) noexcept {
    return stands_in_quotes(c, octet_class::plain_quoted | octet_class::raw);
  }

  static std::uint64_t word(std::uint64_t x) noexcept {
    return QuotedChars::word(x) | (x & swar::high);
  }

#if defined(TARNEL_SCAN_SSE2)
  static __m128i vector(__m128i x) noexcept {
    return _mm_or_si128(QuotedChars::vector(x), _mm_cmplt_epi8(x, _mm_setzero_si128()));
  }
#endif
};

/// Hexadecimal digits of either case.
struct HexDigits {
  static bool test(std::uint8_t c) noexcept { return is_hex_digit(c); }

  static std::uint64_t word(std::uint64_t x) noexcept {
    using namespace swar;
    const std::uint64_t y = x & low7;
    return (within(y, '0', '9') | within(y | repeat(0x20), 'a', 'f')) & ~x;
  }

#if defined(TARNEL_SCAN_SSE2)
  static __m128i vector(__m128i x) noexcept {
    using namespace vec;
    return _mm_or_si128(within(x, '0', '9'),
                        within(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'f'));
  }
#endif
};

/// Every octet but `Closer` (which 0x00 must not be): the body of a form that ends at the first
/// such octet.
template <std::uint8_t Closer>
struct AllBut {
  static_assert(Closer != 0);

  static bool test(std::uint8_t c) noexcept { return c != Closer && c != 0; }

  static std::uint64_t word(std::uint64_t x) noexcept {
    // Exact for every octet: the top bits are tested apart from the low seven.
    using namespace swar;
    const std::uint64_t y = x & low7;
    const std::uint64_t top = x & high;
    const std::uint64_t closer = equal(y, Closer & 0x7F) & (Closer >= 0x80 ? top : ~top);
    const std::uint64_t zero = equal(y, 0) & ~top;
    return ~(closer | zero) & high;
  }

#if defined(TARNEL_SCAN_SSE2)
  static __m128i vector(__m128i x) noexcept {
    const __m128i stop = _mm_or_si128(vec::equal(x, static_cast<char>(Closer)),
                                      _mm_cmpeq_epi8(x, _mm_setzero_si128()));
    return _mm_xor_si128(stop, _mm_set1_epi8(-1));
  }
#endif
};

namespace portable {

// The run's end among the last octets, fewer than a word: copied into a zeroed word first. Kept
// out of line, as it runs at most once per run and only at the end of what is at hand.
template <class Class>
TARNEL_NOINLINE std::size_t run_tail(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint8_t tail[8] = {};
  std::memcpy(tail, p, n);
  const std::uint64_t stop = ~Class::word(load_le64(tail)) & swar::high;
  return static_cast<std::size_t>(std::countr_zero(stop)) / 8;
}

/// The number of octets at `p` (of `n`) that belong to `Class` before the first that does not.
template <class Class>
TARNEL_ALWAYS_INLINE std::size_t run(const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; n - i >= 8; i += 8) {
    const std::uint64_t stop = ~Class::word(load_le64(p + i)) & swar::high;
    if (stop != 0) return i + static_cast<std::size_t>(std::countr_zero(stop)) / 8;
  }
  return i == n ? n : i + run_tail<Class>(p + i, n - i);
}

/// Decodes `pairs` pairs of hexadecimal digits at `digits`, every one of them a digit, into
/// `pairs` octets at `out`.
TARNEL_ALWAYS_INLINE void decode_hex(const std::uint8_t* digits, std::size_t pairs,
                                     std::uint8_t* out) noexcept {
  std::size_t i = 0;
  for (; pairs - i >= 4; i += 4) {
    const std::uint64_t x = load_le64(digits + 2 * i);
    // A digit's value is its low four bits, plus 9 for a letter (bit 6 set).
    const std::uint64_t v = (x & swar::repeat(0x0F)) + ((x >> 6) & swar::ones) * 9;
    // Each 16-bit lane holds a pair, its first digit in the low octet: make the octet there.
    constexpr std::uint64_t lanes = 0x00FF00FF00FF00FFu;
    std::uint64_t t = (v & lanes) << 4 | ((v >> 8) & lanes);
    t = (t | t >> 8) & 0x0000FFFF0000FFFFu;
    t = (t | t >> 16) & 0xFFFFFFFFu;
    store_le32(out + i, static_cast<std::uint32_t>(t));
  }
  const std::uint8_t* pair = digits + 2 * i;
  for (std::uint8_t* octet = out + i; octet != out + pairs; ++octet, pair += 2) {
    *octet = static_cast<std::uint8_t>(hex_values[pair[0]] << 4 | hex_values[pair[1]]);
  }
}

/// As `run`, for runs that often pass sixteen octets (hexadecimal digits).
template <class Class>
TARNEL_ALWAYS_INLINE std::size_t run_wide(const std::uint8_t* p, std::size_t n) noexcept {
  return run<Class>(p, n);
}

/// Decodes the 32 octets at `digits` as sixteen pairs into `out`, whatever they are: where fewer
/// are digits, the octets past the digits' are meaningless. All 32 must be there to read.
TARNEL_ALWAYS_INLINE void decode_hex_block(const std::uint8_t* digits, std::uint8_t* out) noexcept {
  decode_hex(digits, 16, out);
}

}  // namespace portable

#if defined(TARNEL_SCAN_SSE2)
namespace sse2 {

template <class Class>
TARNEL_NOINLINE std::size_t run_tail(const std::uint8_t* p, std::size_t n) noexcept {
  alignas(16) std::uint8_t tail[16] = {};
  std::memcpy(tail, p, n);
  const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
  return static_cast<std::size_t>(
      std::countr_one(static_cast<unsigned>(_mm_movemask_epi8(Class::vector(x)))));
}

template <class Class>
TARNEL_ALWAYS_INLINE std::size_t run(const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; n - i >= 16; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const unsigned members = static_cast<unsigned>(_mm_movemask_epi8(Class::vector(x)));
    if (members != 0xFFFF) return i + static_cast<std::size_t>(std::countr_one(members));
  }
  return i == n ? n : i + run_tail<Class>(p + i, n - i);
}

TARNEL_ALWAYS_INLINE void decode_hex(const std::uint8_t* digits, std::size_t pairs,
                                     std::uint8_t* out) noexcept {
  std::size_t i = 0;
  for (; pairs - i >= 8; i += 8) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 2 * i));
    const __m128i letter = _mm_and_si128(_mm_srli_epi16(x, 6), _mm_set1_epi8(1));
    const __m128i v = _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0F)),
                                   _mm_add_epi8(_mm_slli_epi16(letter, 3), letter));
    const __m128i first = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
    const __m128i octets = _mm_or_si128(_mm_slli_epi16(first, 4), _mm_srli_epi16(v, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(octets, octets));
  }
  portable::decode_hex(digits + 2 * i, pairs - i, out + i);
}

// The first 32 octets in one step, with no branch on where the run ends among them.
template <class Class>
TARNEL_ALWAYS_INLINE std::size_t run_wide(const std::uint8_t* p, std::size_t n) noexcept {
  if (n < 32) return run<Class>(p, n);
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const std::uint32_t members = static_cast<std::uint32_t>(_mm_movemask_epi8(Class::vector(low))) |
                                static_cast<std::uint32_t>(_mm_movemask_epi8(Class::vector(high)))
                                    << 16;
  if (members != 0xFFFFFFFFu) return static_cast<std::size_t>(std::countr_one(members));
  return 32 + run<Class>(p + 32, n - 32);
}

TARNEL_ALWAYS_INLINE void decode_hex_block(const std::uint8_t* digits, std::uint8_t* out) noexcept {
  decode_hex(digits, 16, out);
}

/// Sixteen octets of base-64 text at `text`: which of them are alphabet characters (bit i for
/// octet i), their sextets in `sextets` (meaningless for the others), and what their four groups
/// decode to, twelve octets at `out`, which must have room for fourteen (the last two are
/// meaningless, and so is every octet that depends on one that is not in the alphabet).
TARNEL_ALWAYS_INLINE unsigned decode_base64_block(const std::uint8_t* text, std::uint8_t* out,
                                                  std::uint8_t* sextets) noexcept {
  using namespace vec;
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i upper = within(x, 'A', 'Z');
  const __m128i lower = within(x, 'a', 'z');
  const __m128i digit = within(x, '0', '9');
  const __m128i plus = equal(x, '+');
  const __m128i slash = equal(x, '/');
  // What to add to each character to make its sextet: A-Z 0-25, a-z 26-51, 0-9 52-61, + 62, / 63.
  const __m128i offset =
      _mm_or_si128(_mm_or_si128(_mm_and_si128(upper, _mm_set1_epi8(-65)),
                                _mm_and_si128(lower, _mm_set1_epi8(-71))),
                   _mm_or_si128(_mm_and_si128(digit, _mm_set1_epi8(4)),
                                _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi8(19)),
                                             _mm_and_si128(slash, _mm_set1_epi8(16)))));
  const __m128i values = _mm_and_si128(_mm_add_epi8(x, offset), _mm_set1_epi8(0x3F));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(sextets), values);
  // Two sextets to 12 bits in each 16-bit lane, two of those to a group's 24 bits in each 32-bit
  // lane (the first character's bits highest), then the group's octets in the order they go out.
  const __m128i pairs = _mm_or_si128(
      _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 6), _mm_srli_epi16(values, 8));
  const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
  const __m128i ordered =
      _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(groups, _mm_set1_epi32(0xFF)), 16),
                                _mm_and_si128(groups, _mm_set1_epi32(0xFF00))),
                   _mm_and_si128(_mm_srli_epi32(groups, 16), _mm_set1_epi32(0xFF)));
  // The two groups of each 64-bit half side by side in its low six octets.
  const __m128i joined =
      _mm_or_si128(_mm_and_si128(ordered, _mm_set1_epi64x(0x00FFFFFF)),
                   _mm_and_si128(_mm_srli_epi64(ordered, 8), _mm_set1_epi64x(0xFFFFFF000000)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), joined);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_srli_si128(joined, 8));
  const __m128i alphabet =
      _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
  return static_cast<unsigned>(_mm_movemask_epi8(alphabet));
}

}  // namespace sse2

namespace native = sse2;
#else
namespace native = portable;
#endif

}  // namespace tarnel::scan
