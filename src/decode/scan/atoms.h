// Octet strings in the forms most input is made of, each taken in one step: a verbatim string
// whose length has at most nine digits and no leading zero, a token, a quoted string without
// escapes, a hexadecimal string without whitespace, a base-64 string. The reader takes each atom
// this way before anything else, and so does the framer with the octets it holds at hand; both
// read through the runs of runs.h and the rules of grammar.h.
//
// `quick_atom` takes a string only where the octets at hand hold it whole and nothing in it is
// refused: then its octets and where it ends are exactly what the full reader
// (read_octet_view) gives. Anything else it declines, having changed nothing but the scratch
// buffer, and the caller reads the string the full way, which refuses it exactly or reads what the
// quick way leaves (escapes, whitespace inside a string, lengths before the advanced forms, long
// lengths). So it changes nothing but the speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "decode/scan/grammar.h"
#include "decode/scan/runs.h"
#include "portability.h"
#include "tarnel/base64.h"
#include "tarnel/buffer.h"
#include "tarnel/options.h"

namespace tarnel::scan {

/// How a caller wants an octet string taken: decoded (the reader) or only followed to its end
/// (the framer, which needs no octets; base-64 strings are decoded all the same, into scratch,
/// since that is how they are checked).
enum class Take : bool { Follow, Decode };

/// A verbatim string at `p` (whose first octet is a digit), where its length has at most seven
/// digits and no leading zero and the octets at hand hold all of it: the number of octets it
/// occupies, with its octets in `octets`, or 0.
TARNEL_ALWAYS_INLINE std::size_t quick_verbatim(const ReaderOptions& options, const std::uint8_t* p,
                                                std::size_t avail,
                                                std::span<const std::uint8_t>& octets) {
  if (p[0] == '0') return 0;
  std::uint64_t length;
  std::size_t at;
  if (avail >= 8) {
    // The digits and the colon in one word, the length's value from it without a loop.
    const std::uint64_t word = load_le64(p);
    const std::uint64_t others = first_non_digits(word);
    if (others == 0) return 0;
    at = static_cast<std::size_t>(std::countr_zero(others)) / 8;
    if (p[at] != ':') return 0;
    // One or two digits without a branch, as most lengths are; more from the whole word.
    const std::uint64_t first = word & 0x0F;
    const std::uint64_t second = (word >> 8) & 0x0F;
    length = first + static_cast<std::uint64_t>(at >= 2) * (first * 9 + second);
    if (at > 2) length = decimal_value(word, at);
  } else {
    length = p[0] - std::uint64_t{'0'};
    at = 1;
    while (at < avail && is_digit(p[at])) length = length * 10 + (p[at++] - '0');
    if (at >= avail || p[at] != ':') return 0;
  }
  ++at;
  if (length > avail - at || length > options.max_atom_len) return 0;
  octets = {p + at, static_cast<std::size_t>(length)};
  return at + static_cast<std::size_t>(length);
}

/// A token, quoted, hexadecimal or base-64 string at `p` (whose first octet is not a digit), as
/// `quick_atom` takes it.
template <Take take>
TARNEL_ALWAYS_INLINE std::size_t quick_advanced(const ReaderOptions& options, const std::uint8_t* p,
                                                std::size_t avail, bool ends_here, Buffer& scratch,
                                                std::span<const std::uint8_t>& octets) {
  const std::uint8_t first = p[0];
  if (!options.allow_advanced) return 0;
  if (is_token_start(first)) {
    const std::size_t end = 1 + native::run<TokenChars>(p + 1, avail - 1);
    // A token that runs to the last octet at hand may go on.
    if ((end == avail && !ends_here) || end > options.max_atom_len) return 0;
    if constexpr (take == Take::Decode) octets = {p, end};
    return end;
  }
  if (first == '"') {
    const std::size_t count = options.allow_raw_octets
                                  ? native::run<QuotedOrRawChars>(p + 1, avail - 1)
                                  : native::run<QuotedChars>(p + 1, avail - 1);
    const std::size_t close = 1 + count;
    if (close == avail || p[close] != '"' || decoded_fault(options, false, 0, count)) return 0;
    if constexpr (take == Take::Decode) octets = {p + 1, count};
    return close + 1;
  }
  if (first == '#') {
    if (!options.allow_hexadecimal) return 0;
    const std::size_t digits = native::run<HexDigits>(p + 1, avail - 1);
    const std::size_t close = 1 + digits;
    if (close == avail || p[close] != '#' || digits % 2 != 0 ||
        decoded_fault(options, false, 0, digits / 2)) {
      return 0;
    }
    if constexpr (take == Take::Decode) {
      scratch.clear();
      native::decode_hex(p + 1, digits / 2, scratch.extend(digits / 2));
      octets = scratch.view();
    }
    return close + 1;
  }
  if (first == '|') {
    if (!options.allow_base64) return 0;
    // Any '|' closes the string; the codec has the last word on what lies between.
    const std::size_t close = 1 + native::run<AllBut<'|'>>(p + 1, avail - 1);
    if (close == avail || p[close] != '|') return 0;
    scratch.clear();
    if (!base64_decode_into({p + 1, close - 1}, scratch) ||
        decoded_fault(options, false, 0, scratch.size())) {
      return 0;
    }
    if constexpr (take == Take::Decode) octets = scratch.view();
    return close + 1;
  }
  return 0;
}

/// The octet string that begins at `p`, of whose octets `avail` (at least one) are at hand:
/// the number of octets it occupies, or 0 where it is declined. `ends_here` says that no octet
/// follows the ones at hand (which ends a token that runs to the last of them). With
/// `Take::Decode`, `octets` receives its octets, pointing into the input where they stand there
/// as they are and into `scratch` otherwise. `scratch` may be changed either way.
template <Take take>
TARNEL_ALWAYS_INLINE std::size_t quick_atom(const ReaderOptions& options, const std::uint8_t* p,
                                            std::size_t avail, bool ends_here, Buffer& scratch,
                                            std::span<const std::uint8_t>& octets) {
  if (is_digit(p[0])) return quick_verbatim(options, p, avail, octets);
  return quick_advanced<take>(options, p, avail, ends_here, scratch, octets);
}

}  // namespace tarnel::scan
