// SipHash with selectable round counts: SipHash-1-3 hashes atoms, and the same code run as
// SipHash-2-4 is what the published reference vectors check. A keyed, deterministic 64-bit hash;
// nothing here allocates. Python's `Atom.__hash__` is SipHash-1-3 of an atom's layout.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/export.h"

namespace tarnel {

/// SipHash-c-d of `octets` under the 128-bit key (k0, k1), each half read little-endian.
TARNEL_EXPORT std::uint64_t siphash(std::span<const std::uint8_t> octets, std::uint64_t k0,
                                    std::uint64_t k1, int compression_rounds,
                                    int finalization_rounds) noexcept;

/// SipHash-1-3 under the all-zero key.
inline std::uint64_t siphash13_zero_key(std::span<const std::uint8_t> octets) noexcept {
  return siphash(octets, 0, 0, 1, 3);
}

}  // namespace tarnel
