// Text and std::byte input read exactly as octets do: the same value or refusal from read_whole
// and read_prefix, the same output or refusal from the converter and the same frames from the
// framer, over seeded random texts in every representation, whole, cut short, with one octet
// changed and with more after them. Each view is of a heap block of its own, so that a look past
// its end shows under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/converter.h"
#include "tarnel/framer.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

std::string refusal(const ReadError& e) {
  return std::string(error_kind_name(e.kind)) + "@" + std::to_string(e.offset);
}

// Everything the input-taking entry points make of one input, as text.
template <class Input>
std::string outcome(const ReaderOptions& options, Input input) {
  std::string out;
  Result<Value, ReadError> whole = read_whole(options, input);
  out += whole ? std::string(encode_canonical(*whole).text()) : refusal(whole.error());
  Result<Prefix, ReadError> prefix = read_prefix(options, input);
  out += prefix ? " prefix " + std::to_string(prefix->consumed) : " " + refusal(prefix.error());
  Buffer converted;
  Result<std::uint64_t, ReadError> n =
      convert_prefix(options, input, OutputForm::Advanced, converted);
  out += n ? " converted " + std::string(converted.text()) : " " + refusal(n.error());
  Framer framer(options);
  for (;;) {
    const Frame frame = framer.scan(input, 0, /*at_end=*/true);
    if (frame.status == FrameStatus::Complete) {
      out += " frame " + std::to_string(frame.start) + "-" + std::to_string(frame.end);
    } else {
      out += frame.status == FrameStatus::Refused ? " " + refusal(frame.error) : " end";
      break;
    }
  }
  return out;
}

TEST(InputViews, TextAndBytesReadAsOctetsDo) {
  Buffer (*const writers[])(const Value&) = {encode_canonical, encode_advanced, encode_transport};
  ReaderOptions limited = default_options;
  limited.max_depth = 8;
  limited.max_atom_len = 12;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    std::mt19937_64 rng(seed);
    const Value tree = testing_trees::random_tree(rng, 40);
    std::string text(writers[seed % 3](tree).text());
    switch (rng() % 4) {
      case 0:
        text.resize(rng() % (text.size() + 1));
        break;
      case 1:
        text[rng() % text.size()] = static_cast<char>(rng() & 0xFF);
        break;
      case 2:
        text += rng() % 2 == 0 ? " (b)\n" : "(c";
        break;
      default:
        break;
    }
    const ReaderOptions& options = seed % 5 == 0 ? limited : default_options;
    const std::vector<std::uint8_t> octets(text.begin(), text.end());
    std::vector<std::byte> bytes(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<std::byte>(text[i]);
    const std::string expected = outcome(options, std::span<const std::uint8_t>(octets));
    EXPECT_EQ(outcome(options, std::string_view(text)), expected) << "seed " << seed;
    EXPECT_EQ(outcome(options, std::span<const std::byte>(bytes)), expected) << "seed " << seed;
  }
}

}  // namespace
}  // namespace tarnel
