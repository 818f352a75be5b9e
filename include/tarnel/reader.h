// The reader: input octets to one `Value`, in the canonical (§6.2), basic transport (§6.3) and
// advanced (§6.4) representations, mixed freely as far as the options allow. Each element is
// recognised by its first octet; open lists are kept on a heap stack bounded by `max_depth`, so
// nothing recurses however deep the input. The first refusal ends the read as a `ReadError`, and
// everything built so far is released. The result owns copies of its octets: the input may go as
// soon as a read returns.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/options.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel {

/// A value read from the start of an input, and how many octets it occupied.
struct Prefix {
  Value value;
  std::uint64_t consumed = 0;
};

/// Reads one S-expression that makes up the whole input (trailing whitespace allowed where the
/// advanced representation is).
TARNEL_EXPORT Result<Value, ReadError> read_whole(const ReaderOptions& options,
                                                  std::span<const std::uint8_t> input);

/// Reads one S-expression from the start of the input; what follows is not examined.
TARNEL_EXPORT Result<Prefix, ReadError> read_prefix(const ReaderOptions& options,
                                                    std::span<const std::uint8_t> input);

}  // namespace tarnel
