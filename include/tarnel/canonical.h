// The canonical representation of §6.2: every octet string as a decimal length, a colon and the
// octets; display hints in brackets; lists in parentheses; no whitespace. Each S-expression has
// exactly one canonical form, which is what gets hashed and signed.
//
// The writer cannot fail. It measures the output with a separate counting pass and reserves it
// once; both passes walk the tree with a heap stack, never by recursion. `CanonicalWriter` writes
// the same octets for a caller that walks some other tree itself (the Python binding walks its
// objects), one list bracket or atom at a time.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/export.h"
#include "tarnel/value.h"

namespace tarnel {

/// The exact length of the canonical form of `value`, saturating at 2^64-1.
TARNEL_EXPORT std::uint64_t canonical_size(const Value& value);

/// Writes exactly `canonical_size(value)` octets to `out`, which must have room for them.
TARNEL_EXPORT void encode_canonical_into(const Value& value, std::uint8_t* out);

/// The canonical form of `value`, in a buffer reserved once at its exact size.
TARNEL_EXPORT Buffer encode_canonical(const Value& value);

/// Appends the canonical form of a tree handed over in document order to a buffer.
class TARNEL_EXPORT CanonicalWriter {
 public:
  explicit CanonicalWriter(Buffer& out) noexcept : out_(out) {}

  void open_list() { out_.push_back('('); }

  void close_list() { out_.push_back(')'); }

  /// An atom: `[hint]` where `hint` is non-null, then the data.
  void atom(std::span<const std::uint8_t> data, const Octets* hint);

  /// Only the length and colon that precede `length` data octets, for a caller that places the
  /// octets itself.
  void length_prefix(std::uint64_t length);

 private:
  Buffer& out_;
};

}  // namespace tarnel
