// The word- and vector-at-a-time scanner against the rules it stands for: every run, at every
// length up to a few words past a vector, with each of the 256 octets at each position, must end
// where an octet-at-a-time loop over the tables of grammar.h ends, on both implementations (the
// tails copied into zeroed words included); pairs of hexadecimal digits and short decimal lengths
// must decode as a digit at a time does; with SSE2, base-64 blocks as the codec decodes them.
#include "tarnel/detail/runs.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "tarnel/base64.h"

namespace tarnel::scan {
namespace {

template <class Class>
std::size_t reference_run(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && Class::test(p[i])) ++i;
  return i;
}

// Octets in and out of the class, to fill a buffer around the octet under test.
template <class Class>
std::uint8_t member() {
  for (unsigned c = 1; c < 256; ++c) {
    if (Class::test(static_cast<std::uint8_t>(c))) return static_cast<std::uint8_t>(c);
  }
  return 0;
}

// Each octet at each position of a run of members `length` long; the input is cut at every
// length around it, so that runs end inside a word, at its edge, in the copied tail or with the
// input. The octets are copied into a block of exactly their size, so a read past them trips
// AddressSanitizer.
template <class Class>
void expect_runs_agree(const char* name) {
  const std::uint8_t fill = member<Class>();
  ASSERT_NE(fill, 0) << name;
  constexpr std::size_t longest = 41;
  for (std::size_t length = 0; length <= longest; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      for (unsigned c = 0; c < 256; ++c) {
        std::vector<std::uint8_t> octets(length, fill);
        if (at < length) octets[at] = static_cast<std::uint8_t>(c);
        const std::size_t expected = reference_run<Class>(octets.data(), length);
        ASSERT_EQ(portable::run<Class>(octets.data(), length), expected)
            << name << " portable, length " << length << ", octet " << c << " at " << at;
        ASSERT_EQ(portable::run_wide<Class>(octets.data(), length), expected) << name;
#if defined(TARNEL_SCAN_SSE2)
        ASSERT_EQ(sse2::run<Class>(octets.data(), length), expected)
            << name << " sse2, length " << length << ", octet " << c << " at " << at;
        ASSERT_EQ(sse2::run_wide<Class>(octets.data(), length), expected) << name;
#endif
        if (at == length) break;  // no octet under test
      }
    }
  }
}

TEST(ScanRuns, EveryClassEndsWhereAnOctetAtATimeLoopEnds) {
  expect_runs_agree<TokenChars>("token");
  expect_runs_agree<QuotedChars>("quoted");
  expect_runs_agree<QuotedOrRawChars>("quoted or raw");
  expect_runs_agree<HexDigits>("hexadecimal");
  expect_runs_agree<AllBut<'|'>>("all but a bar");
}

TEST(ScanRuns, HexadecimalPairsDecodeAsOneDigitAtATime) {
  std::mt19937 random(23);
  const std::string digits = "0123456789abcdefABCDEF";
  for (std::size_t pairs = 0; pairs <= 40; ++pairs) {
    std::string text;
    for (std::size_t i = 0; i < 2 * pairs; ++i) text += digits[random() % digits.size()];
    const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
    std::vector<std::uint8_t> expected(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
      expected[i] = static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
    }
    // Junk in the output first: every octet must be written.
    std::vector<std::uint8_t> out(pairs, 0xA5);
    portable::decode_hex(in, pairs, out.data());
    EXPECT_EQ(out, expected) << text;
#if defined(TARNEL_SCAN_SSE2)
    std::fill(out.begin(), out.end(), 0x5A);
    sse2::decode_hex(in, pairs, out.data());
    EXPECT_EQ(out, expected) << text;
#endif
    if (pairs >= 16) {
      std::vector<std::uint8_t> block(16, 0xA5);
      portable::decode_hex_block(in, block.data());
      EXPECT_TRUE(std::equal(block.begin(), block.end(), expected.begin())) << text;
#if defined(TARNEL_SCAN_SSE2)
      sse2::decode_hex_block(in, block.data());
      EXPECT_TRUE(std::equal(block.begin(), block.end(), expected.begin())) << text;
#endif
    }
  }
}

// Every length of one to seven digits, followed by each octet that is not a digit, at the value's
// extremes and in between.
TEST(ScanRuns, ShortDecimalLengthsReadFromOneWord) {
  std::mt19937 random(5);
  for (std::size_t count = 1; count <= 7; ++count) {
    for (int trial = 0; trial < 200; ++trial) {
      std::string text;
      for (std::size_t i = 0; i < count; ++i) {
        text += static_cast<char>('0' + (trial == 0 ? 9 : trial == 1 ? 0 : random() % 10));
      }
      for (unsigned after = 0; after < 256; ++after) {
        if (after >= '0' && after <= '9') continue;
        std::string word = text + static_cast<char>(after) + std::string(8 - count - 1, '7');
        const std::uint64_t w = load_le64(reinterpret_cast<const std::uint8_t*>(word.data()));
        const std::uint64_t others = first_non_digits(w);
        ASSERT_NE(others, 0u);
        ASSERT_EQ(static_cast<std::size_t>(std::countr_zero(others)) / 8, count) << word;
        ASSERT_EQ(decimal_value(w, count), std::stoull(text)) << word;
      }
    }
  }
}

#if defined(TARNEL_SCAN_SSE2)
// Two blocks of random text over the alphabet, with one octet replaced by each of the 256: the
// mask of alphabet characters is exact, and the groups wholly made of them decode as the codec
// decodes them.
TEST(ScanRuns, Base64BlocksDecodeAsTheCodec) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 random(64);
  for (unsigned c = 0; c < 256; ++c) {
    std::string text;
    for (int i = 0; i < 16; ++i) text += alphabet[random() % 64];
    const std::size_t at = random() % 16;
    text[at] = static_cast<char>(c);
    const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
    std::uint8_t out[14];
    std::uint8_t sextets[16];
    const unsigned mask = sse2::decode_base64_block(in, out, sextets);
    const bool in_alphabet = alphabet.find(static_cast<char>(c)) != std::string::npos;
    EXPECT_EQ(mask, in_alphabet ? 0xFFFFu : 0xFFFFu & ~(1u << at)) << c;
    for (std::size_t group = 0; group < 4; ++group) {
      if (!in_alphabet && at / 4 == group) continue;
      Result<Buffer, std::uint64_t> expected = base64_decode({in + 4 * group, 4});
      ASSERT_TRUE(expected.ok());
      EXPECT_TRUE(std::equal(out + 3 * group, out + 3 * group + 3, expected->data()))
          << text << " group " << group;
      for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sextets[4 * group + i], alphabet.find(text[4 * group + i])) << text;
      }
    }
  }
}
#endif

}  // namespace
}  // namespace tarnel::scan
