#include "tarnel/siphash.h"

#include <cstring>

namespace tarnel {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void compress(std::uint64_t m, int rounds) noexcept {
    v3 ^= m;
    for (int i = 0; i < rounds; ++i) round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

std::uint64_t siphash(std::span<const std::uint8_t> octets, std::uint64_t k0, std::uint64_t k1,
                      int compression_rounds, int finalization_rounds) noexcept {
  State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
          k1 ^ 0x7465646279746573ULL};
  const std::uint8_t* p = octets.data();
  std::size_t n = octets.size();
  std::size_t whole = n - n % 8;
  for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le64(p + i), compression_rounds);
  std::uint64_t last = static_cast<std::uint64_t>(n & 0xFF) << 56;
  for (std::size_t i = 0; i < n % 8; ++i) {
    last |= static_cast<std::uint64_t>(p[whole + i]) << (8 * i);
  }
  s.compress(last, compression_rounds);
  s.v2 ^= 0xFF;
  for (int i = 0; i < finalization_rounds; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace tarnel
