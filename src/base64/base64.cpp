#include "tarnel/base64.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "tarnel/detail/portability.h"

namespace tarnel {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding classes beyond the sextets 0-63. Every class is at least 64, so OR-ing four looked-up
// octets tells at once whether all four are alphabet characters.
constexpr std::uint8_t skip = 64;      // whitespace: HT, LF, VT, FF, CR, SP
constexpr std::uint8_t pad = 65;       // '='
constexpr std::uint8_t invalid = 255;  // anything else

constexpr std::array<std::uint8_t, 256> decode_table = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(invalid);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
  for (unsigned char c : {'\t', '\n', '\v', '\f', '\r', ' '}) table[c] = skip;
  table['='] = pad;
  return table;
}();

// The decode table again, once for each place in a group of four: an alphabet character's sextet
// shifted to where it goes among the group's 24 bits, anything else (whitespace and pads too) the
// top bit, so that OR-ing the four looked-up words gives the group's bits or says at once that it
// needs the octet-at-a-time path.
constexpr std::uint32_t not_sextet = 0x80000000u;

constexpr std::array<std::uint32_t, 256> placed_table(unsigned shift) {
  std::array<std::uint32_t, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) {
    table[c] = decode_table[c] < 64 ? std::uint32_t{decode_table[c]} << shift : not_sextet;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> placed_first = placed_table(18);
constexpr std::array<std::uint32_t, 256> placed_second = placed_table(12);
constexpr std::array<std::uint32_t, 256> placed_third = placed_table(6);
constexpr std::array<std::uint32_t, 256> placed_fourth = placed_table(0);

inline std::uint32_t group_bits(const std::uint8_t* in) noexcept {
  return placed_first[in[0]] | placed_second[in[1]] | placed_third[in[2]] | placed_fourth[in[3]];
}

// Writes a group's three octets and one octet more, which the next group overwrites: one store
// instead of three.
inline void put_octets_and_one(std::uint8_t* out, std::uint32_t bits) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint32_t word = byte_swap(bits << 8);
    std::memcpy(out, &word, 4);
  } else {
    const std::uint32_t word = bits << 8;
    std::memcpy(out, &word, 4);
  }
}

// Writes two groups' six octets and two octets more, which the next group overwrites.
inline void put_two_groups(std::uint8_t* out, std::uint32_t first, std::uint32_t second) noexcept {
  const std::uint64_t bits = std::uint64_t{first} << 40 | std::uint64_t{second} << 16;
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t word = byte_swap(bits);
    std::memcpy(out, &word, 8);
  } else {
    std::memcpy(out, &bits, 8);
  }
}

// Two alphabet characters for each 12-bit value, so that one lookup writes half a group.
constexpr std::array<std::array<char, 2>, 4096> pair_table = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (std::size_t v = 0; v < 4096; ++v) table[v] = {alphabet[v >> 6], alphabet[v & 63]};
  return table;
}();

inline void put_group(std::uint8_t* out, std::uint32_t bits) noexcept {
  const std::array<char, 2>& high = pair_table[bits >> 12];
  const std::array<char, 2>& low = pair_table[bits & 0xFFF];
  out[0] = static_cast<std::uint8_t>(high[0]);
  out[1] = static_cast<std::uint8_t>(high[1]);
  out[2] = static_cast<std::uint8_t>(low[0]);
  out[3] = static_cast<std::uint8_t>(low[1]);
}

inline void put_octets(std::uint8_t* out, std::uint32_t bits) noexcept {
  out[0] = static_cast<std::uint8_t>(bits >> 16);
  out[1] = static_cast<std::uint8_t>(bits >> 8);
  out[2] = static_cast<std::uint8_t>(bits);
}

// Appends what a final group of `held` sextets carries; false where its unused low bits are not
// zero or it cannot carry an octet at all.
bool finish_group(const std::uint8_t (&sextets)[4], unsigned held, Buffer& out) {
  switch (held) {
    case 0:
      return true;
    case 2:
      if ((sextets[1] & 0x0F) != 0) return false;
      out.push_back(static_cast<std::uint8_t>(sextets[0] << 2 | sextets[1] >> 4));
      return true;
    case 3: {
      if ((sextets[2] & 0x03) != 0) return false;
      std::uint8_t* p = out.extend(2);
      p[0] = static_cast<std::uint8_t>(sextets[0] << 2 | sextets[1] >> 4);
      p[1] = static_cast<std::uint8_t>((sextets[1] & 0x0F) << 4 | sextets[2] >> 2);
      return true;
    }
    default:
      return false;  // a lone sextet holds only six bits
  }
}

// The last group of a text, where it is two or three alphabet characters and nothing else, or
// those and the pads that make them four: appends its one or two octets. Anything else (a fault
// too) is left to the octet-at-a-time loop, with nothing appended.
inline bool final_group(const std::uint8_t* group, std::size_t rest, Buffer& out) {
  if (rest < 2 || rest > 4) return false;
  std::size_t sextets = rest;
  if (rest == 4) {
    if (group[3] != '=') return false;
    sextets = group[2] == '=' ? 2 : 3;
  }
  const std::uint8_t first = decode_table[group[0]];
  const std::uint8_t second = decode_table[group[1]];
  if (sextets == 2) {
    if ((first | second) >= 64 || (second & 0x0F) != 0) return false;
    out.push_back(static_cast<std::uint8_t>(first << 2 | second >> 4));
    return true;
  }
  const std::uint8_t third = decode_table[group[2]];
  if ((first | second | third) >= 64 || (third & 0x03) != 0) return false;
  std::uint8_t* p = out.extend(2);
  p[0] = static_cast<std::uint8_t>(first << 2 | second >> 4);
  p[1] = static_cast<std::uint8_t>((second & 0x0F) << 4 | third >> 2);
  return true;
}

}  // namespace

std::uint8_t* base64_encode_to(std::span<const std::uint8_t> octets, std::uint8_t* out) noexcept {
  const std::size_t n = octets.size();
  const std::uint8_t* in = octets.data();
  std::uint8_t* w = out;
  const std::size_t full = n / 3 * 3;
  std::size_t i = 0;
  // Two groups a step: six octets in, eight characters out in one store.
  for (; i + 6 <= full; i += 6, w += 8) {
    const std::uint32_t first =
        std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    const std::uint32_t second =
        std::uint32_t{in[i + 3]} << 16 | std::uint32_t{in[i + 4]} << 8 | in[i + 5];
    char text[8];
    std::memcpy(text, pair_table[first >> 12].data(), 2);
    std::memcpy(text + 2, pair_table[first & 0xFFF].data(), 2);
    std::memcpy(text + 4, pair_table[second >> 12].data(), 2);
    std::memcpy(text + 6, pair_table[second & 0xFFF].data(), 2);
    std::memcpy(w, text, 8);
  }
  for (; i < full; i += 3, w += 4) {
    put_group(w, std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2]);
  }
  switch (n - full) {
    case 1:
      put_group(w, std::uint32_t{in[full]} << 16);
      w[2] = '=';
      w[3] = '=';
      return w + 4;
    case 2:
      put_group(w, std::uint32_t{in[full]} << 16 | std::uint32_t{in[full + 1]} << 8);
      w[3] = '=';
      return w + 4;
    default:
      return w;
  }
}

void base64_encode(std::span<const std::uint8_t> octets, Buffer& out) {
  const std::size_t n = octets.size();
  if (n == 0) return;
  base64_encode_to(octets, out.extend(static_cast<std::size_t>(base64_encoded_size(n))));
}

Result<Buffer, std::uint64_t> base64_decode(std::span<const std::uint8_t> text) {
  Buffer out;
  Result<bool, std::uint64_t> decoded = base64_decode_into(text, out);
  if (!decoded) return decoded.error();
  return out;
}

Result<bool, std::uint64_t> base64_decode_into(std::span<const std::uint8_t> text, Buffer& out) {
  const std::uint8_t* in = text.data();
  const std::size_t n = text.size();
  // Output passes this only when the last group comes without its pads.
  if (n >= 4) out.reserve(out.size() + n / 4 * 3);

  std::uint8_t sextets[4];
  unsigned held = 0;           // sextets of the current group
  unsigned pads = 0;           // '=' seen in the current group
  bool closed = false;         // a group ended by '=' is complete; only whitespace may follow
  std::size_t last_alpha = 0;  // offset of the most recent alphabet character

  std::size_t i = 0;
  while (i < n) {
    // Fast path: whole groups of four alphabet characters at a group boundary. The room taken
    // stays within the reservation, since each group consumes four octets of input for three out.
    if (held == 0 && pads == 0 && !closed && n - i >= 4) {
      const std::size_t groups = (n - i) / 4;
      std::uint8_t* w = out.extend(groups * 3);
      std::size_t done = 0;
      // Stores run past a group's three octets into the next group's room, never past the last
      // group's: two groups at a time while a third follows, then one while another follows,
      // and the last group stores exactly its three.
      for (; done + 2 < groups; done += 2, i += 8, w += 6) {
        const std::uint32_t first = group_bits(in + i);
        const std::uint32_t second = group_bits(in + i + 4);
        if ((first | second) & not_sextet) break;
        put_two_groups(w, first, second);
      }
      for (; done + 1 < groups; ++done, i += 4, w += 3) {
        const std::uint32_t bits = group_bits(in + i);
        if (bits & not_sextet) break;
        put_octets_and_one(w, bits);
      }
      if (done + 1 == groups) {
        const std::uint32_t bits = group_bits(in + i);
        if (!(bits & not_sextet)) {
          put_octets(w, bits);
          ++done;
          i += 4;
        }
      }
      out.shrink_by((groups - done) * 3);
      if (done != 0) last_alpha = i - 1;
      if (i == n) break;
    }
    if (held == 0 && pads == 0 && !closed && final_group(in + i, n - i, out)) return true;

    const std::uint8_t cls = decode_table[in[i]];
    if (cls == skip) {
      ++i;
      continue;
    }
    if (closed) return std::uint64_t{i};
    if (cls == pad) {
      if (held + pads < 2) return std::uint64_t{i};
      if (held + ++pads == 4) {
        if (!finish_group(sextets, held, out)) return std::uint64_t{last_alpha};
        closed = true;
        held = 0;
        pads = 0;
      }
      ++i;
      continue;
    }
    if (pads != 0 || cls == invalid) return std::uint64_t{i};
    sextets[held++] = cls;
    last_alpha = i;
    if (held == 4) {
      put_octets(out.extend(3), std::uint32_t{sextets[0]} << 18 | std::uint32_t{sextets[1]} << 12 |
                                    std::uint32_t{sextets[2]} << 6 | sextets[3]);
      held = 0;
    }
    ++i;
  }

  if (pads != 0) return std::uint64_t{n};
  if (!finish_group(sextets, held, out)) return std::uint64_t{last_alpha};
  return true;
}

}  // namespace tarnel
