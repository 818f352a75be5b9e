// What the fuzz targets share: turning leading fuzz octets into reader options, copying the rest
// into a heap block of its own (so that AddressSanitizer sees a read one octet past the end), and
// comparing trees through their canonical encoding, aborting with a short report on a mismatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/canonical.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"
#include "tarnel/value.h"

namespace tarnel::fuzz {

/// Inputs past this size are skipped: bigger ones find nothing new and slow the search down.
inline constexpr std::size_t max_input = 1 << 16;

/// The input's octets in an exact-size heap block (one octet for an empty input, so that the
/// pointer is never null and any read of it is still out of bounds for ASan).
class HeapCopy {
 public:
  explicit HeapCopy(std::span<const std::uint8_t> in)
      : block_(new std::uint8_t[in.empty() ? 1 : in.size()]), size_(in.size()) {
    if (!in.empty()) std::memcpy(block_.get(), in.data(), in.size());
  }

  std::span<const std::uint8_t> view() const noexcept { return {block_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t size_;
};

[[noreturn]] inline void fail(const char* what, std::span<const std::uint8_t> a = {},
                              std::span<const std::uint8_t> b = {}) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  auto show = [](const char* label, std::span<const std::uint8_t> s) {
    if (s.empty()) return;
    std::fprintf(stderr, "  %s (%zu octets): ", label, s.size());
    for (std::size_t i = 0; i < s.size() && i < 200; ++i) {
      const unsigned c = s[i];
      if (c >= 0x20 && c < 0x7F) {
        std::fputc(static_cast<int>(c), stderr);
      } else {
        std::fprintf(stderr, "\\x%02x", c);
      }
    }
    std::fputc('\n', stderr);
  };
  show("first", a);
  show("second", b);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

inline bool same_octets(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

/// Reader options from the four octets at `h`, the same for every target, so that one corpus file
/// means the same options to each. Octet 0: one bit per flag, set where the construct is
/// forbidden. Octet 1: bit 0 forbids lengths; bits 1-2 pick the depth limit, bits 3-4 the atom
/// limit, bits 5-6 the input limit, each among none, a small value from octet 2 or 3, a larger one
/// and an extreme; bit 7 allows raw octets in quoted strings.
inline ReaderOptions options_from(const std::uint8_t* h) {
  ReaderOptions o;
  const unsigned flags = h[0];
  o.allow_advanced = (flags & 0x01) == 0;
  o.allow_transport = (flags & 0x02) == 0;
  o.allow_display_hints = (flags & 0x04) == 0;
  o.allow_empty_atoms = (flags & 0x08) == 0;
  o.allow_empty_lists = (flags & 0x10) == 0;
  o.allow_list_as_first_element = (flags & 0x20) == 0;
  o.allow_hexadecimal = (flags & 0x40) == 0;
  o.allow_base64 = (flags & 0x80) == 0;
  const unsigned modes = h[1];
  o.allow_lengths = (modes & 0x01) == 0;
  o.allow_raw_octets = (modes & 0x80) != 0;
  const std::uint64_t depth = h[2];
  const std::uint64_t length = h[3];
  const std::uint64_t depths[] = {default_max_depth, depth % 8, depth * 64, no_limit};
  const std::uint64_t atoms[] = {no_limit, length % 8, length * 4, 0};
  const std::uint64_t inputs[] = {no_limit, length, length * 256, 0};
  o.max_depth = depths[(modes >> 1) & 3];
  o.max_atom_len = atoms[(modes >> 3) & 3];
  o.max_input_len = inputs[(modes >> 5) & 3];
  return o;
}

/// Options with no depth limit and everything allowed: reading back what a writer wrote must
/// not depend on how deep the tree is.
inline ReaderOptions read_back_options() {
  ReaderOptions o;
  o.max_depth = no_limit;
  return o;
}

/// Reads `text` (a writer's output) back and checks that its canonical form is `canonical`.
inline void expect_reads_back(const ReaderOptions& options, std::span<const std::uint8_t> text,
                              std::span<const std::uint8_t> canonical, const char* what) {
  Result<Value, ReadError> again = read_whole(options, text);
  if (!again) fail(what, text);
  const Buffer round = encode_canonical(*again);
  if (!same_octets(round.view(), canonical)) fail(what, canonical, round.view());
}

/// Piece ends for cutting `size` octets, from a seed: pieces of 1 to 2^k octets, k from the
/// seed's low three bits.
inline std::vector<std::uint64_t> piece_ends(std::uint32_t seed, std::uint64_t size) {
  std::vector<std::uint64_t> ends;
  const unsigned spread = seed & 7;
  std::uint32_t state = seed | 1;
  for (std::uint64_t at = 0; at < size;) {
    state = state * 1664525u + 1013904223u;
    at += 1 + ((state >> 16) & ((1u << spread) - 1));
    ends.push_back(at);
  }
  return ends;
}

}  // namespace tarnel::fuzz
