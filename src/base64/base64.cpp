#include "base64/base64.h"

#include <array>
#include <cstddef>

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

}  // namespace

void base64_encode(std::span<const std::uint8_t> octets, Buffer& out) {
  const std::size_t n = octets.size();
  if (n == 0) return;
  const std::uint8_t* in = octets.data();
  std::uint8_t* w = out.extend(static_cast<std::size_t>(base64_encoded_size(n)));
  const std::size_t full = n / 3 * 3;
  for (std::size_t i = 0; i < full; i += 3, w += 4) {
    put_group(w, std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2]);
  }
  switch (n - full) {
    case 1:
      put_group(w, std::uint32_t{in[full]} << 16);
      w[2] = '=';
      w[3] = '=';
      break;
    case 2:
      put_group(w, std::uint32_t{in[full]} << 16 | std::uint32_t{in[full + 1]} << 8);
      w[3] = '=';
      break;
    default:
      break;
  }
}

Result<Buffer, std::uint64_t> base64_decode(std::span<const std::uint8_t> text) {
  const std::uint8_t* in = text.data();
  const std::size_t n = text.size();
  Buffer out;
  // Output passes this only when the last group comes without its pads.
  if (n >= 4) out.reserve(n / 4 * 3);

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
      for (; done < groups; ++done, i += 4, w += 3) {
        const std::uint8_t a = decode_table[in[i]];
        const std::uint8_t b = decode_table[in[i + 1]];
        const std::uint8_t c = decode_table[in[i + 2]];
        const std::uint8_t d = decode_table[in[i + 3]];
        if ((a | b | c | d) >= 64) break;
        put_octets(w, std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | std::uint32_t{c} << 6 | d);
      }
      out.shrink_by((groups - done) * 3);
      if (done != 0) last_alpha = i - 1;
      if (i == n) break;
    }

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
  return out;
}

}  // namespace tarnel
