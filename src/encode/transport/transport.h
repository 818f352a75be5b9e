// The basic transport representation of §6.3: the canonical octets in padded base-64 between
// braces, on one unbroken line, for channels that carry only printable text. Cannot fail; two
// exact-size allocations (the canonical octets, then the text).
#pragma once

#include "buffer.h"
#include "value.h"

namespace tarnel {

/// The transport form of `value`: '{', base-64 of its canonical form, '}'.
Buffer encode_transport(const Value& value);

}  // namespace tarnel
