// The advanced representation of §6.4, as one line of printable ASCII for people to read. Each
// octet string is written as a token where it is one, in hexadecimal where it holds an octet that
// is neither printable nor one of the escapable controls 0x07-0x0D, and as a quoted string
// otherwise. Hints go in brackets before their data; list elements are separated by single
// spaces. Never writes the verbatim or base-64 forms. Cannot fail but for memory.
//
// One writer, `AdvancedWriter`, takes a tree one list bracket or atom at a time, in document
// order, from whoever walks it: `encode_advanced` walks a `Value` (`write_tree`, with a heap
// stack), the Python module walks its own objects.
//
// Thread safety: the functions only read their input, so any number may run at once on one
// value; a writer appends to its own buffer, which only one thread may use at a time.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/export.h"
#include "tarnel/value.h"

namespace tarnel {

/// Appends `octets` to `out` as a token, a hexadecimal string or a quoted string, by the fixed
/// rule above. Throws std::bad_alloc when memory runs out.
TARNEL_EXPORT void write_octet_string(std::span<const std::uint8_t> octets, Buffer& out);

/// The number of characters `write_octet_string` appends for `octets`, found without writing them.
TARNEL_EXPORT std::uint64_t octet_string_text_size(std::span<const std::uint8_t> octets) noexcept;

/// The advanced form of `value`, one line with no line break at its end. Throws std::bad_alloc
/// when memory runs out.
TARNEL_EXPORT Buffer encode_advanced(const Value& value);

/// Appends the advanced form of a tree handed over in document order to a buffer, putting the
/// single spaces between the elements of each list. Each call throws std::bad_alloc when memory
/// runs out; the caller makes the calls nest as the tree does.
class TARNEL_EXPORT AdvancedWriter {
 public:
  /// A writer appending to `out`, which must outlive it.
  explicit AdvancedWriter(Buffer& out) noexcept : out_(out) {}

  /// The start of a list.
  void open_list() {
    separate();
    out_.push_back('(');
    first_ = true;
  }

  /// The end of the innermost open list.
  void close_list() {
    out_.push_back(')');
    first_ = false;
  }

  /// An atom: `[hint]` where `hint` is non-null (a present hint, possibly empty), then `data`.
  void atom(std::span<const std::uint8_t> data, const Octets* hint);

 private:
  void separate() {
    if (!first_) out_.push_back(' ');
  }

  Buffer& out_;
  bool first_ = true;  // nothing written yet in the innermost open list (or at all)
};

}  // namespace tarnel
