// The stream engine on arbitrary streams, under options taken from the first four octets, split
// into pieces by the next two, which also pick the output (values, a builder, or octets converted
// to each representation or laid out, to a buffer or a sink) and whether the pieces are pushed
// or pulled. Any split must give what reading the stream whole gives (tests/core/decode/stream/
// stream_driver.h): the same S-expressions, read or converted, at the same offsets, then the same
// refusal (kind and offset) or the same clean end; and the engine must never ask for more where
// the octets it holds settle the S-expression under way. Each piece is a heap block of its own,
// freed once the engine asks for the next, so a read of a piece it should have copied trips
// AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "stream_driver.h"
#include "tarnel/options.h"

namespace {

using namespace tarnel;

constexpr std::size_t header = 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header || size > fuzz::max_input + header) return -1;
  const ReaderOptions options = fuzz::options_from(data);
  const std::uint32_t seed = static_cast<std::uint32_t>(data[4]) << 8 | data[5];
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> stream = copy.view();

  using stream_testing::Output;
  const Output output = stream_testing::all_outputs[(seed >> 3) % 8];
  const bool pull = (seed >> 6) & 1;
  const stream_testing::Run want = stream_testing::expected(options, stream, output);
  const stream_testing::Run whole = stream_testing::run_engine(options, stream, {}, output, pull);
  if (!(whole == want))
    fuzz::fail("the engine on the whole stream differs from reading it whole", stream);
  const stream_testing::Run split =
      stream_testing::run_engine(options, stream, fuzz::piece_ends(seed, stream.size()), output,
                                 pull);
  if (!split.fault.empty()) fuzz::fail(split.fault.c_str(), stream);
  if (!(split == want))
    fuzz::fail("the engine on the stream in pieces differs from reading it whole", stream);
  return 0;
}
