// The advanced representation of §6.4, as one line of printable ASCII for people to read. Each
// octet string is written as a token where it is one, in hexadecimal where it holds an octet that
// is neither printable nor one of the escapable controls 0x07-0x0D, and as a quoted string
// otherwise. Hints go in brackets before their data; list elements are separated by single
// spaces. Never writes the verbatim or base-64 forms. Cannot fail; walks with a heap stack.
#pragma once

#include <span>

#include "buffer.h"
#include "value.h"

namespace tarnel {

/// Appends `octets` as a token, a hexadecimal string or a quoted string, by the fixed rule.
void write_octet_string(std::span<const std::uint8_t> octets, Buffer& out);

/// The advanced form of `value`.
Buffer encode_advanced(const Value& value);

}  // namespace tarnel
