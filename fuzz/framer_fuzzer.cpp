// The framer on arbitrary streams, under options taken from the first four octets and split into
// pieces by the next two: every split must frame the stream as reading it whole with the reader
// does (tests/core/decode/framer/framing_reference.h): the same S-expressions at the same
// offsets, then the same refusal at the same offset, or the same clean end. Each window the
// framer is shown is a heap block of its own, so a look outside it trips AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "framing_reference.h"
#include "fuzz_support.h"
#include "tarnel/framer.h"
#include "tarnel/octet_string.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"

namespace {

using namespace tarnel;

constexpr std::size_t header = 6;

// The stream reader's shortcut: an S-expression read straight from the octets at hand, before the
// framer has seen them. Where that read settles the S-expression (it ends before the last octet
// at hand, or at it with a closing octet, or the read refuses before running out), the answer
// must be the one reading the whole stream gives for the S-expression starting at `start`.
void check_direct_reads(const ReaderOptions& options, std::span<const std::uint8_t> stream,
                        const framing::Outcome& whole, std::uint32_t seed) {
  ReaderOptions unlimited = options;
  unlimited.max_input_len = no_limit;
  std::vector<std::uint64_t> starts;
  for (const auto& frame : whole.frames) starts.push_back(frame.first);
  std::uint64_t after = whole.frames.empty() ? 0 : whole.frames.back().second;
  while (after < stream.size() && is_whitespace(stream[after])) ++after;
  if (after < stream.size()) starts.push_back(after);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::uint64_t start = starts[i];
    const bool last = i == whole.frames.size();
    seed = seed * 1664525u + 1013904223u;
    const std::uint64_t held = 1 + (seed >> 8) % (stream.size() - start);
    const auto rest = stream.subspan(start, held);
    const bool at_end = start + held == stream.size();
    const bool cut = rest.size() > options.max_input_len;
    const auto tried = cut ? rest.first(options.max_input_len) : rest;
    Result<Prefix, ReadError> read = read_prefix(unlimited, tried);
    if (read) {
      const std::uint64_t n = read->consumed;
      const bool settled =
          n < tried.size() || (at_end && !cut) ||
          (!cut && (tried[0] == '(' || tried[0] == '{' || !is_token_char(tried[n - 1])));
      if (settled && (last || whole.frames[i].second != start + n)) {
        fuzz::fail("a direct read ends an S-expression elsewhere than reading whole", rest);
      }
      continue;
    }
    const ReadError e = read.error();
    const bool ran_out = e.kind == ErrorKind::UnexpectedEnd && e.offset == tried.size();
    if (ran_out && !cut && !at_end) continue;
    const ReadError expected =
        ran_out && cut ? ReadError{start + options.max_input_len, ErrorKind::InputTooLong}
                       : ReadError{start + e.offset, e.kind};
    if (!last || whole.last.status != FrameStatus::Refused || !(whole.last.error == expected)) {
      fuzz::fail("a direct read refuses other than reading whole", rest);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header || size > fuzz::max_input + header) return -1;
  const ReaderOptions options = fuzz::options_from(data);
  const std::uint32_t seed = static_cast<std::uint32_t>(data[4]) << 8 | data[5];
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> stream = copy.view();

  const framing::Outcome whole = framing::frame_whole(options, stream);
  if (!(framing::frame_in_pieces(options, stream, {}) == whole)) {
    fuzz::fail("the framer on the whole stream differs from reading it whole", stream);
  }
  const std::vector<std::uint64_t> ends = fuzz::piece_ends(seed, stream.size());
  if (!(framing::frame_in_pieces(options, stream, ends) == whole)) {
    fuzz::fail("the framer on the stream in pieces differs from reading it whole", stream);
  }
  check_direct_reads(options, stream, whole, seed);
  return 0;
}
