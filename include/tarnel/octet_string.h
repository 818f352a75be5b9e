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
// The rules of each form (octet classes, escapes, digits, the checks and their order) are those
// of detail/grammar.h, which the framer follows too; its octet classes (`is_whitespace`,
// `is_token_char`) are the stream engine's as well. A builder of one's own (build.h) reads octet
// strings through this unit. Everything here is pure: call it from any thread.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/detail/grammar.h"
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

}  // namespace tarnel
