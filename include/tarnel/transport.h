// The basic transport representation of §6.3: the canonical octets in padded base-64 between
// braces, on one unbroken line, for channels that carry only printable text. Cannot fail but for
// memory; two exact-size allocations (the canonical octets, then the text).
//
// Thread safety: the functions only read their input; any number may run at once.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/export.h"
#include "tarnel/value.h"

namespace tarnel {

/// The transport form of `value`: '{', base-64 of its canonical form, '}'. Throws
/// std::bad_alloc when memory runs out.
TARNEL_EXPORT Buffer encode_transport(const Value& value);

/// The transport form of the S-expression whose canonical form is `canonical` (not checked: any
/// octets are encoded). Throws std::bad_alloc when memory runs out.
TARNEL_EXPORT Buffer encode_transport_of_canonical(std::span<const std::uint8_t> canonical);

}  // namespace tarnel
