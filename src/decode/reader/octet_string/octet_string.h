// Reads one octet string at the cursor, in whichever written form it takes: verbatim (length and
// colon), token, quoted string, hexadecimal or base-64, the last three with an optional length.
// The form is recognised by its first octet; the options' restrictions on octet strings are
// checked as soon as a form is recognised, then the body is decoded, and finally the decoded
// length is checked against the written length, the empty-atom flag and `max_atom_len`.
//
// No allocation is ever sized from a length written in the input: a verbatim string is copied
// only once the input is known to hold all of it, and the other forms grow with what they decode.
#pragma once

#include <cstdint>
#include <span>

#include "buffer.h"
#include "decode/reader/options.h"
#include "result.h"
#include "value.h"

namespace tarnel {

/// The state of one read, shared by the reader's driver and the octet-string reader.
struct ReadCursor {
  const ReaderOptions& options;
  std::span<const std::uint8_t> input;
  std::uint64_t position = 0;
};

/// Reads one octet string at the cursor; on success the cursor stands just past it.
Result<Octets> read_octet_string(ReadCursor& cursor);

/// As `read_octet_string`, but lends the octets instead of copying them: the view points into
/// the input where they stand there as they are (verbatim, token, quoted without escapes), and
/// otherwise into `scratch`, whose earlier contents are replaced. It is valid until the input or
/// `scratch` changes.
Result<std::span<const std::uint8_t>> read_octet_view(ReadCursor& cursor, Buffer& scratch);

/// Whether `octet` may begin a token.
constexpr bool is_token_start(std::uint8_t octet) noexcept {
  return (octet >= 'A' && octet <= 'Z') || (octet >= 'a' && octet <= 'z') || octet == '*' ||
         octet == '+' || octet == '-' || octet == '.' || octet == '/' || octet == ':' ||
         octet == '=' || octet == '_';
}

/// Whether `octet` may continue a token.
constexpr bool is_token_char(std::uint8_t octet) noexcept {
  return is_token_start(octet) || (octet >= '0' && octet <= '9');
}

/// Whether `octet` is one of the six whitespace octets (HT, LF, VT, FF, CR, SP).
constexpr bool is_whitespace(std::uint8_t octet) noexcept {
  return octet == ' ' || (octet >= 0x09 && octet <= 0x0D);
}

}  // namespace tarnel
