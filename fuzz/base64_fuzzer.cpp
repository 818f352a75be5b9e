// The base-64 codec. For any octets x, decode(encode(x)) == x. For any text s the decoder is
// compared with a plain one-character-at-a-time decoder written from the codec's rules (the fast
// path for whole groups must change nothing: not the output, not the acceptance, not the offset
// of a refusal). And text the decoder accepts re-encodes to its canonical form: s with the
// whitespace taken out and a final group that came without its pads given them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "tarnel/base64.h"
#include "tarnel/buffer.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;
using tarnel::fuzz::fail;
using tarnel::fuzz::same_octets;

bool is_space(std::uint8_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

int sextet(std::uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

struct Reference {
  bool ok = true;
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> out;
};

// The decoding rules, one octet at a time, with no fast path.
Reference reference_decode(std::span<const std::uint8_t> s) {
  Reference r;
  int held[4] = {0, 0, 0, 0};
  unsigned count = 0, pads = 0;
  bool closed = false;
  std::uint64_t last_alpha = 0;
  auto refuse = [&r](std::uint64_t at) {
    r.ok = false;
    r.offset = at;
    r.out.clear();
  };
  auto finish = [&]() {
    if (count == 0) return true;
    if (count == 1) return false;
    if (count == 2) {
      if ((held[1] & 0x0F) != 0) return false;
      r.out.push_back(static_cast<std::uint8_t>(held[0] << 2 | held[1] >> 4));
      return true;
    }
    if ((held[2] & 0x03) != 0) return false;
    r.out.push_back(static_cast<std::uint8_t>(held[0] << 2 | held[1] >> 4));
    r.out.push_back(static_cast<std::uint8_t>((held[1] & 0x0F) << 4 | held[2] >> 2));
    return true;
  };
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    const std::uint8_t c = s[i];
    if (is_space(c)) continue;
    if (closed) return refuse(i), r;
    if (c == '=') {
      if (count + pads < 2) return refuse(i), r;
      ++pads;
      if (count + pads == 4) {
        if (!finish()) return refuse(last_alpha), r;
        closed = true;
        count = 0;
        pads = 0;
      }
      continue;
    }
    if (pads != 0) return refuse(i), r;
    const int v = sextet(c);
    if (v < 0) return refuse(i), r;
    held[count++] = v;
    last_alpha = i;
    if (count == 4) {
      r.out.push_back(static_cast<std::uint8_t>(held[0] << 2 | held[1] >> 4));
      r.out.push_back(static_cast<std::uint8_t>((held[1] & 0x0F) << 4 | held[2] >> 2));
      r.out.push_back(static_cast<std::uint8_t>((held[2] & 0x03) << 6 | held[3]));
      count = 0;
    }
  }
  if (pads != 0) return refuse(s.size()), r;
  if (!finish()) return refuse(last_alpha), r;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > fuzz::max_input) return -1;
  const fuzz::HeapCopy copy(std::span(data, size));
  const std::span<const std::uint8_t> in = copy.view();

  // Octets to text and back. Junk ahead of the encoding shows an encoder that overwrites.
  Buffer encoded;
  encoded.append(std::string_view("junk"));
  base64_encode(in, encoded);
  const std::span<const std::uint8_t> text = encoded.view().subspan(4);
  check(text.size() == base64_encoded_size(in.size()), "encoded size is not 4 * ceil(n / 3)");
  {
    const fuzz::HeapCopy text_copy(text);
    Result<Buffer, std::uint64_t> back = base64_decode(text_copy.view());
    if (!back) fail("the decoder refuses the encoder's output", text);
    if (!same_octets(back->view(), in)) fail("decode(encode(x)) != x", in, back->view());
  }

  // Text to octets, against the reference.
  Result<Buffer, std::uint64_t> decoded = base64_decode(in);
  const Reference expected = reference_decode(in);
  if (decoded.ok() != expected.ok) fail("decoder and reference disagree on acceptance", in);
  if (!decoded) {
    check(decoded.error() == expected.offset, "decoder and reference refuse at different offsets");
    check(decoded.error() <= in.size(), "refusal offset beyond the end of the text");
    return 0;
  }
  if (!same_octets(decoded->view(), expected.out)) {
    fail("decoder and reference decode differently", decoded->view(), expected.out);
  }

  // Accepted text re-encodes to its canonical form.
  std::vector<std::uint8_t> canonical;
  for (std::uint8_t c : in) {
    if (!is_space(c)) canonical.push_back(c);
  }
  while (canonical.size() % 4 != 0) canonical.push_back('=');
  Buffer again;
  base64_encode(decoded->view(), again);
  if (!same_octets(again.view(), canonical)) {
    fail("accepted text does not re-encode to its canonical padding", canonical, again.view());
  }
  return 0;
}
