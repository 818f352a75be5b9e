// How much memory laying out takes as the converter reads: for inputs of 0.5 and 4 MB (a flat
// list of short atoms, many small lists, a list of long atoms, records four lists deep), the peak
// of a laid-out conversion to a sink that drops its pieces does not grow with the input, and stays
// within a few pieces: the layout holds back about a line, whatever the size of the input.
// Measured with the counting allocator of this executable.
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <span>
#include <string>

#include "memory/counting_malloc.h"
#include "tarnel/converter.h"
#include "tarnel/pretty.h"

namespace tarnel {
namespace {

using memory_testing::live_octets;
using memory_testing::peak_octets;
using memory_testing::reset_peak;

constexpr std::int64_t allowance = 64 * 1024;

class Dropping final : public OutputSink {
 public:
  bool write(std::span<const std::uint8_t> octets) override {
    written += octets.size();
    return true;
  }

  std::uint64_t written = 0;
};

std::string filled(std::string_view unit, std::size_t size) {
  std::string out = "(";
  while (out.size() + unit.size() + 1 < size) out += unit;
  return out + ")";
}

// The peak beyond what was live before, with the octets written.
template <class Form>
std::pair<std::int64_t, std::uint64_t> peak_of(const std::string& input, const Form& form) {
  const std::int64_t before = reset_peak();
  Dropping sink;
  {
    ConvertScratch scratch;
    const std::span<const std::uint8_t> octets(reinterpret_cast<const std::uint8_t*>(input.data()),
                                               input.size());
    EXPECT_TRUE(
        convert_prefix(default_options, octets, form, sink, default_piece_size, &scratch).ok());
  }
  EXPECT_EQ(live_octets(), before);
  return {peak_octets() - before, sink.written};
}

TEST(PrettyMemory, HoldsBackAboutALineWhateverTheInput) {
  const std::string long_atom = "|" + std::string(4096, 'A') + "| ";
  for (const std::string_view unit :
       {std::string_view("abc "), std::string_view("(key #a1b2c3# \"some text\") "),
        std::string_view(long_atom),
        std::string_view("(record (id i1234) (key #00112233445566778899aabbccddeeff#) "
                         "(n (a (b (c d))))) ")}) {
    for (const PrettyOptions layout : {PrettyOptions{72, 2}, PrettyOptions{8, 1}}) {
      const auto [small, small_text] = peak_of(filled(unit, 512 << 10), layout);
      const auto [large, large_text] = peak_of(filled(unit, 4 << 20), layout);
      std::printf("[ peak     ] %.24s... width %2llu: %lld octets for 0.5 MB, %lld for 4 MB\n",
                  unit.data(), static_cast<unsigned long long>(layout.width),
                  static_cast<long long>(small), static_cast<long long>(large));
      EXPECT_GT(large_text, 7 * small_text);
      EXPECT_LE(large, small + 4096);
      EXPECT_LE(large, static_cast<std::int64_t>(3 * default_piece_size) + allowance);
    }
  }
}

}  // namespace
}  // namespace tarnel
