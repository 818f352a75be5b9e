// Reads one octet string at the cursor, in whichever written form it takes: verbatim (length and
// colon), token, quoted string, hexadecimal or base-64, the last three with an optional length.
// The form is recognised by its first octet; the options' restrictions on octet strings are
// checked as soon as a form is recognised, then the body is decoded, and finally the decoded
// length is checked against the written length, the empty-atom flag and `max_atom_len`. Inside a
// quoted string printable ASCII stands for itself, and 0x80-0xFF too where `allow_raw_octets`
// says so; every other octet must be written as an escape.
//
// No allocation is ever sized from a length written in the input: a verbatim string is copied
// only once the input is known to hold all of it, and the other forms grow with what they decode.
//
// Also here: the classes of octets the grammar tells apart (token, whitespace, quoted), which the
// reader, the framer and the stream engine share. A builder of one's own (build.h) reads octet
// strings through this unit. Everything here is pure: call it from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/options.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel {

/// The state of one read, shared by the reader's driver and the octet-string reader.
struct ReadCursor {
  const ReaderOptions& options;
  std::span<const std::uint8_t> input;
  std::uint64_t position = 0;
};

/// Reads one octet string at the cursor; on success the cursor stands just past it.
TARNEL_EXPORT Result<Octets, ReadError> read_octet_string(ReadCursor& cursor);

/// As `read_octet_string`, but lends the octets instead of copying them: the view points into
/// the input where they stand there as they are (verbatim, token, quoted without escapes), and
/// otherwise into `scratch`, whose earlier contents are replaced. It is valid until the input or
/// `scratch` changes.
TARNEL_EXPORT Result<std::span<const std::uint8_t>, ReadError> read_octet_view(ReadCursor& cursor,
                                                                               Buffer& scratch);

/// The classes of octets the reader tells apart, as bits of `octet_classes`.
namespace octet_class {
inline constexpr std::uint8_t token_start = 1;   // may begin a token
inline constexpr std::uint8_t token_char = 2;    // may continue a token
inline constexpr std::uint8_t whitespace = 4;    // HT, LF, VT, FF, CR, SP
inline constexpr std::uint8_t plain_quoted = 8;  // stands for itself inside a quoted string
inline constexpr std::uint8_t raw = 16;          // 0x80-0xFF: in quotes with allow_raw_octets
}  // namespace octet_class

/// The class bits of every octet: one lookup instead of a chain of comparisons on the paths that
/// run once per octet of advanced text.
inline constexpr std::array<std::uint8_t, 256> octet_classes = [] {
  std::array<std::uint8_t, 256> table{};
  auto mark = [&table](unsigned first, unsigned last, std::uint8_t bits) {
    for (unsigned c = first; c <= last; ++c) table[c] |= bits;
  };
  constexpr std::uint8_t token = octet_class::token_start | octet_class::token_char;
  mark('A', 'Z', token);
  mark('a', 'z', token);
  for (unsigned char c : {'*', '+', '-', '.', '/', ':', '=', '_'}) table[c] |= token;
  mark('0', '9', octet_class::token_char);
  mark(0x09, 0x0D, octet_class::whitespace);
  mark(' ', ' ', octet_class::whitespace);
  mark(0x20, 0x7E, octet_class::plain_quoted);
  table['"'] &= static_cast<std::uint8_t>(~octet_class::plain_quoted);
  table['\\'] &= static_cast<std::uint8_t>(~octet_class::plain_quoted);
  mark(0x80, 0xFF, octet_class::raw);
  return table;
}();

/// Whether `octet` may begin a token.
constexpr bool is_token_start(std::uint8_t octet) noexcept {
  return (octet_classes[octet] & octet_class::token_start) != 0;
}

/// Whether `octet` may continue a token.
constexpr bool is_token_char(std::uint8_t octet) noexcept {
  return (octet_classes[octet] & octet_class::token_char) != 0;
}

/// Whether `octet` is one of the six whitespace octets (HT, LF, VT, FF, CR, SP).
constexpr bool is_whitespace(std::uint8_t octet) noexcept {
  return (octet_classes[octet] & octet_class::whitespace) != 0;
}

/// The class bits of the octets that stand for themselves inside a quoted string read under
/// `options`: printable ASCII but '"' and '\', and 0x80-0xFF too with `allow_raw_octets`.
constexpr std::uint8_t quoted_classes(const ReaderOptions& options) noexcept {
  return options.allow_raw_octets ? octet_class::plain_quoted | octet_class::raw
                                  : octet_class::plain_quoted;
}

/// Whether `octet` stands for itself inside a quoted string, given `quoted_classes` of the
/// options: one lookup and one test, whichever the options.
constexpr bool stands_in_quotes(std::uint8_t octet, std::uint8_t quoted) noexcept {
  return (octet_classes[octet] & quoted) != 0;
}

}  // namespace tarnel
