// The canonical representation of §6.2: every octet string as a decimal length, a colon and the
// octets; display hints in brackets; lists in parentheses; no whitespace. Each S-expression has
// exactly one canonical form, which is what gets hashed and signed.
//
// One writer, `CanonicalWriter`, takes a tree one list bracket or atom at a time, in document
// order, from whoever walks it: `encode_canonical` walks a `Value` (after measuring its output to
// reserve it once), the Python module walks its own objects. It cannot fail but for memory, and
// nothing here recurses.
//
// Thread safety: the functions only read their value, so any number may run at once on one
// value; a writer appends to its own buffer, which only one thread may use at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/export.h"
#include "tarnel/value.h"

namespace tarnel {

/// The exact length of the canonical form of `value`, saturating at 2^64-1. Throws
/// std::bad_alloc when memory for the walk's stack runs out.
TARNEL_EXPORT std::uint64_t canonical_size(const Value& value);

/// The canonical form of `value`, in a buffer reserved once at its exact size. Throws
/// std::bad_alloc when memory runs out.
TARNEL_EXPORT Buffer encode_canonical(const Value& value);

/// Appends the canonical form of a tree handed over in document order to a buffer. Each call
/// throws std::bad_alloc when memory runs out, and appends nothing else; the caller makes the
/// calls nest as the tree does.
class TARNEL_EXPORT CanonicalWriter {
 public:
  /// A writer appending to `out`, which must outlive it.
  explicit CanonicalWriter(Buffer& out) noexcept : out_(out) {}

  /// The start of a list.
  void open_list() { out_.push_back('('); }

  /// The end of the innermost open list.
  void close_list() { out_.push_back(')'); }

  /// An atom: `[hint]` where `hint` is non-null (a present hint, possibly empty), then `data`.
  void atom(std::span<const std::uint8_t> data, const Octets* hint) {
    // Most atoms are short and unhinted: their length is one or two digits, written in place.
    const std::size_t n = data.size();
    if (hint != nullptr || n >= 100) {
      any_atom(data, hint);
      return;
    }
    std::uint8_t* w = out_.extend(n + (n < 10 ? 2 : 3));
    if (n >= 10) *w++ = static_cast<std::uint8_t>('0' + n / 10);
    w[0] = static_cast<std::uint8_t>('0' + n % 10);
    w[1] = ':';
    copy_short(w + 2, data.data(), n);
  }

  /// Only the length and colon that precede `length` data octets, for a caller that appends the
  /// octets itself right after.
  void length_prefix(std::uint64_t length);

  /// Copies `n` octets (fewer than 100, the data of an atom written in place): up to 16 with two
  /// fixed-size moves that overlap in the middle rather than a call, since most atoms are that
  /// short.
  static void copy_short(std::uint8_t* to, const std::uint8_t* from, std::size_t n) noexcept {
    if (n > 16) {
      std::memcpy(to, from, n);
    } else if (n >= 8) {
      std::uint64_t head;
      std::uint64_t tail;
      std::memcpy(&head, from, 8);
      std::memcpy(&tail, from + n - 8, 8);
      std::memcpy(to, &head, 8);
      std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4) {
      std::uint32_t head;
      std::uint32_t tail;
      std::memcpy(&head, from, 4);
      std::memcpy(&tail, from + n - 4, 4);
      std::memcpy(to, &head, 4);
      std::memcpy(to + n - 4, &tail, 4);
    } else if (n != 0) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    }
  }

 private:
  void any_atom(std::span<const std::uint8_t> data, const Octets* hint);

  Buffer& out_;
};

}  // namespace tarnel
