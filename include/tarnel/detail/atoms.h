// Octet strings in the forms most input is made of, each taken in one step: a verbatim string
// whose length has at most seven digits and no leading zero, a token, a quoted string (its
// escapes decoded by the table of grammar.h), a hexadecimal string without whitespace, a base-64
// string. The reader's driver takes each atom this way before anything else, and so does the
// framer with the octets it holds at hand; both read through the runs of runs.h.
//
// `quick_atom` takes a string only where the octets at hand hold it whole and nothing in it is
// refused: then its octets and where it ends are exactly what the full reader
// (read_octet_view) gives. Anything else it declines, having changed nothing but the scratch
// buffer, and the caller reads the string the full way, which refuses it exactly or reads what the
// quick way leaves (whitespace inside a string, lengths before the advanced forms, long lengths,
// strings past the atom limit). So it changes nothing but the speed; the tests and the scan fuzz
// target hold it to the full reader. Short strings are read without a branch on their length
// where the octets after them may be read too: a length from one word, up to 32 hexadecimal
// digits and (with SSE2) 31 base-64 characters as two vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "tarnel/detail/grammar.h"
#include "tarnel/detail/runs.h"
#include "tarnel/detail/portability.h"
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

/// The octets from `p` on (of `n`) that stand for themselves in a quoted string.
TARNEL_ALWAYS_INLINE std::size_t quoted_run(const ReaderOptions& options, const std::uint8_t* p,
                                            std::size_t n) {
  return options.allow_raw_octets ? native::run<QuotedOrRawChars>(p, n)
                                  : native::run<QuotedChars>(p, n);
}

/// Appends the `n` octets at `from` to `out`; where at least 16 may be read there and `out` has
/// room for 16 more, a short run is copied as 16 in one step, the extra ones left beyond its end.
TARNEL_ALWAYS_INLINE void append_run(Buffer& out, const std::uint8_t* from, std::size_t n,
                                     std::size_t readable) {
  if (n <= 16 && readable >= 16 && out.capacity() - out.size() >= 16) {
    std::memcpy(out.data() + out.size(), from, 16);
    out.extend(n);
  } else {
    out.append(from, n);
  }
}

/// A quoted string at `p` whose first run of plain octets ends at `at`, on a backslash: its runs
/// and escapes, where every escape is one the rules of grammar.h accept and the string closes
/// within the octets at hand. Its decoded octets go to `scratch`.
template <Take take>
TARNEL_NOINLINE std::size_t quick_escaped(const ReaderOptions& options, const std::uint8_t* p,
                                          std::size_t avail, std::size_t at, Buffer& scratch,
                                          std::span<const std::uint8_t>& octets) {
  scratch.clear();
  std::size_t from = 1;  // the run in hand is [from, at)
  std::uint64_t count = 0;
  for (;;) {
    if (at == avail) return 0;
    count += at - from;
    // Past the atom limit the full reader keeps no more octets: it takes the string over.
    if (count > options.max_atom_len) return 0;
    if constexpr (take == Take::Decode) append_run(scratch, p + from, at - from, avail - from);
    if (p[at] == '"') break;
    if (p[at] != '\\' || ++at == avail) return 0;
    const Escape escape = escapes[p[at++]];
    switch (escape.kind) {
      case EscapeKind::Octet:
        if constexpr (take == Take::Decode) scratch.push_back(escape.value);
        ++count;
        break;
      case EscapeKind::Hexadecimal:
      case EscapeKind::Octal: {
        if (avail - at < escape_digits) return 0;
        const unsigned base = escape_base(escape.kind);
        const int high = escape_digit(base, p[at]);
        const int low = escape_digit(base, p[at + 1]);
        if (high < 0 || low < 0) return 0;
        const unsigned value =
            (escape.value * base + static_cast<unsigned>(high)) * base + static_cast<unsigned>(low);
        if (!escape_value_fits(value)) return 0;
        if constexpr (take == Take::Decode) scratch.push_back(static_cast<std::uint8_t>(value));
        ++count;
        at += escape_digits;
        break;
      }
      case EscapeKind::LineBreak:
        if (at == avail) return 0;
        if (p[at] == escape.value) ++at;
        break;
      case EscapeKind::Invalid:
        return 0;
    }
    from = at;
    at += quoted_run(options, p + at, avail - at);
  }
  if (decoded_fault(options, false, 0, count)) return 0;
  if constexpr (take == Take::Decode) octets = scratch.view();
  return at + 1;
}

#if defined(TARNEL_SCAN_SSE2)
/// A base-64 string at `p` whose body is at most 31 alphabet characters and the pads that
/// complete them, decoded two vectors at a time with no branch on its length; 34 octets after
/// the opening bar must be there to read. Where the codec (base64.h) would read anything else,
/// or refuse, this declines.
template <Take take>
TARNEL_ALWAYS_INLINE std::size_t quick_base64_block(const ReaderOptions& options,
                                                    const std::uint8_t* p, Buffer& scratch,
                                                    std::span<const std::uint8_t>& octets) {
  const std::uint8_t* body = p + 1;
  alignas(16) std::uint8_t sextets[32];
  scratch.clear();
  std::uint8_t* out = scratch.extend(26);
  const std::uint32_t alphabet = sse2::decode_base64_block(body, out, sextets) |
                                 sse2::decode_base64_block(body + 16, out + 12, sextets + 16) << 16;
  const std::size_t count = static_cast<std::size_t>(std::countr_one(alphabet));
  if (count == 32) return 0;
  std::size_t close = count;
  if (body[close] == '=') close += body[close + 1] == '=' ? 2 : 1;
  if (body[close] != '|') return 0;
  // The last group: whole, or two or three characters with no pads or all of theirs, and no
  // bits set that no octet takes.
  const std::size_t held = count % 4;
  const std::size_t pads = close - count;
  if (held == 0 ? pads != 0 : held == 1 || (pads != 0 && pads != 4 - held)) return 0;
  if (held != 0 && (sextets[count - 1] & (held == 2 ? 0x0F : 0x03)) != 0) return 0;
  const std::size_t size = count / 4 * 3 + (held == 0 ? 0 : held - 1);
  if (decoded_fault(options, false, 0, size)) return 0;
  scratch.shrink_by(26 - size);
  if constexpr (take == Take::Decode) octets = scratch.view();
  return close + 2;
}
#endif

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
    const std::size_t count = quoted_run(options, p + 1, avail - 1);
    const std::size_t close = 1 + count;
    if (close < avail && p[close] == '\\') {
      return quick_escaped<take>(options, p, avail, close, scratch, octets);
    }
    if (close == avail || p[close] != '"' || decoded_fault(options, false, 0, count)) return 0;
    if constexpr (take == Take::Decode) octets = {p + 1, count};
    return close + 1;
  }
  if (first == '#') {
    if (!options.allow_hexadecimal) return 0;
    const std::size_t digits = native::run_wide<HexDigits>(p + 1, avail - 1);
    const std::size_t close = 1 + digits;
    if (close == avail || p[close] != '#' || digits % 2 != 0 ||
        decoded_fault(options, false, 0, digits / 2)) {
      return 0;
    }
    if constexpr (take == Take::Decode) {
      const std::size_t count = digits / 2;
      scratch.clear();
      if (count <= 16 && avail - 1 >= 32) {
        // Short strings as one block of 32 digits, with no branch on their length; what the
        // octets past the string decode to is dropped.
        native::decode_hex_block(p + 1, scratch.extend(16));
        scratch.shrink_by(16 - count);
      } else {
        native::decode_hex(p + 1, count, scratch.extend(count));
      }
      octets = scratch.view();
    }
    return close + 1;
  }
  if (first == '|') {
    if (!options.allow_base64) return 0;
#if defined(TARNEL_SCAN_SSE2)
    if (avail - 1 >= 34) {
      const std::size_t taken = quick_base64_block<take>(options, p, scratch, octets);
      if (taken != 0) return taken;
    }
#endif
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
