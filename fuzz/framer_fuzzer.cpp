// The framer on arbitrary streams, under options taken from the first four octets and split into
// pieces by the next two: every split must frame the stream as reading it whole with the reader
// does (tests/core/decode/framer/framing_reference.h): the same S-expressions at the same
// offsets, then the same refusal at the same offset, or the same clean end. Each window the
// framer is shown is a heap block of its own, so a look outside it trips AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/framer/framer.h"
#include "decode/reader/options.h"
#include "framing_reference.h"
#include "fuzz_support.h"

namespace {

using namespace tarnel;

constexpr std::size_t header = 6;

// Octet 0: one bit per flag, set where the construct is forbidden. Octet 1: bit 0 forbids
// lengths; bits 1-2 pick the depth limit, bits 3-4 the atom limit, bits 5-6 the input limit,
// each among none, a small value from octet 2 or 3, and a larger one.
ReaderOptions options_from(const std::uint8_t* h) {
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
  const std::uint64_t small = h[2];
  const std::uint64_t length = h[3];
  const std::uint64_t depths[] = {default_max_depth, small % 8, small * 64, no_limit};
  const std::uint64_t atoms[] = {no_limit, length % 8, length * 4, 0};
  const std::uint64_t inputs[] = {no_limit, length % 32, length * 16, small};
  o.max_depth = depths[(modes >> 1) & 3];
  o.max_atom_len = atoms[(modes >> 3) & 3];
  o.max_input_len = inputs[(modes >> 5) & 3];
  return o;
}

// Piece ends from a seed: pieces of 1 to 2^k octets, k from the seed's low bits.
std::vector<std::uint64_t> pieces(std::uint32_t seed, std::uint64_t size) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header || size > fuzz::max_input + header) return -1;
  const ReaderOptions options = options_from(data);
  const std::uint32_t seed = static_cast<std::uint32_t>(data[4]) << 8 | data[5];
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> stream = copy.view();

  const framing::Outcome whole = framing::frame_whole(options, stream);
  if (!(framing::frame_in_pieces(options, stream, {}) == whole)) {
    fuzz::fail("the framer on the whole stream differs from reading it whole", stream);
  }
  if (!(framing::frame_in_pieces(options, stream, pieces(seed, stream.size())) == whole)) {
    fuzz::fail("the framer on the stream in pieces differs from reading it whole", stream);
  }
  return 0;
}
