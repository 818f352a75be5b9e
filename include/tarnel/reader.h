// The reader: input octets to one `Value`, in the canonical (§6.2), basic transport (§6.3) and
// advanced (§6.4) representations, mixed freely as far as the options allow. Each element is
// recognised by its first octet; open lists are kept on a heap stack bounded by `max_depth`, so
// nothing recurses however deep the input. The first refusal ends the read as a `ReadError`, and
// everything built so far is released. The result owns copies of its octets: the input may go as
// soon as a read returns. Input may be given as octets, text (`std::string_view`) or
// `std::byte`s; all three read the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/options.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel {

/// A value read from the start of an input, and how many octets it occupied.
struct Prefix {
  /// The S-expression read.
  Value value;
  /// The number of input octets it occupied, from the first; what follows was not examined.
  std::uint64_t consumed = 0;
};

/// Reads one S-expression that makes up the whole input (trailing whitespace allowed where the
/// advanced representation is).
///
/// - `options`: what the read accepts and its limits; only read, during the call.
/// - `input`: the octets; only read, during the call (the value owns copies of what it needs).
/// - Returns the value, or the first refusal: its kind and the offset of the offending octet
///   from the start of `input` (`TrailingOctets` where a whole S-expression is followed by more
///   than whitespace). Nothing built is left behind after a refusal.
/// - Throws std::bad_alloc when memory runs out; nothing else.
/// - Thread safety: any number of reads may run at once, sharing options and input.
TARNEL_EXPORT Result<Value, ReadError> read_whole(const ReaderOptions& options,
                                                  std::span<const std::uint8_t> input);

/// As above, over the octets of `text`, such as a `std::string` holding a file.
inline Result<Value, ReadError> read_whole(const ReaderOptions& options, std::string_view text) {
  return read_whole(options, as_octets(text));
}

/// As above, over `std::byte`s.
inline Result<Value, ReadError> read_whole(const ReaderOptions& options,
                                           std::span<const std::byte> bytes) {
  return read_whole(options, as_octets(bytes));
}

/// Reads one S-expression from the start of the input; what follows is not examined, so one
/// input may hold several, read one after another from `consumed` on.
///
/// - `options`, `input`: as for `read_whole`.
/// - Returns the value and the number of octets it occupied, or the first refusal, with its
///   offset from the start of `input`. An input that ends before the S-expression does is
///   refused as `UnexpectedEnd`.
/// - Throws std::bad_alloc when memory runs out; nothing else.
/// - Thread safety: as for `read_whole`.
TARNEL_EXPORT Result<Prefix, ReadError> read_prefix(const ReaderOptions& options,
                                                    std::span<const std::uint8_t> input);

/// As above, over the octets of `text`.
inline Result<Prefix, ReadError> read_prefix(const ReaderOptions& options, std::string_view text) {
  return read_prefix(options, as_octets(text));
}

/// As above, over `std::byte`s.
inline Result<Prefix, ReadError> read_prefix(const ReaderOptions& options,
                                             std::span<const std::byte> bytes) {
  return read_prefix(options, as_octets(bytes));
}

}  // namespace tarnel
