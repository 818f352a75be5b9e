// The laid-out writer: the layout of a known key, what every layout must keep (the text is the
// one-line advanced text with some spaces turned into indented line breaks, it reads back, its
// lines fit where a single element does not overflow them), the converter's laid-out form against
// the writer over a `Value` whatever the piece size, and trees a hundred thousand deep.
#include "tarnel/pretty.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/converter.h"
#include "tarnel/reader.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

using testing_trees::chain;
using testing_trees::random_tree;

std::span<const std::uint8_t> octets_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string pretty(const Value& v, std::uint64_t width, std::uint64_t indent = 2) {
  return std::string(encode_pretty(v, {width, indent}).text());
}

Value parsed(std::string_view text) {
  Result<Value, ReadError> v = read_whole(default_options, octets_of(text));
  EXPECT_TRUE(v.ok()) << text;
  return v.ok() ? std::move(*v) : Value();
}

TEST(Pretty, LaysOutAKey) {
  const Value key = parsed(
      "(public-key (rsa (n #00c5a1aa33bb44#) (e #010001#)) (hash sha256 "
      "#8c2574892063f995fdf756bce07f46c1a5193e54cd52837ed91e32008ccf41ac#) (note \"a b\") ())");
  const std::string rest =
      "  (hash sha256\n"
      "    #8c2574892063f995fdf756bce07f46c1a5193e54cd52837ed91e32008ccf41ac#)\n"
      "  (note \"a b\")\n"
      "  ())";
  // (rsa ...) takes 39 columns after an indentation of 2.
  EXPECT_EQ(pretty(key, 41), "(public-key\n  (rsa (n #00c5a1aa33bb44#) (e #010001#))\n" + rest);
  EXPECT_EQ(pretty(key, 40),
            "(public-key\n  (rsa\n    (n #00c5a1aa33bb44#)\n    (e #010001#))\n" + rest);
  EXPECT_EQ(pretty(key, 1000), std::string(encode_advanced(key).text()));
  // The parentheses that close on its line count: (b c) fits in 7 columns only without them.
  const Value nested = parsed("(a (b c))");
  EXPECT_EQ(pretty(nested, 8), "(a\n  (b c))");
  EXPECT_EQ(pretty(nested, 7), "(a\n  (b\n   c))");
}

// Joins each line break and the indentation after it back into one space.
std::string one_line(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') {
      out.push_back(text[i]);
      continue;
    }
    out.push_back(' ');
    while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
  }
  return out;
}

// Every layout of random trees, at every width and indentation: the one-line text with spaces
// turned into breaks (advanced text holds no line break of its own), read back to the same value,
// indentation at most half the width, and a line past the width only where it holds one element.
TEST(Pretty, KeepsTheTextAndFitsTheWidth) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 250; ++round) {
    const Value v = random_tree(rng, 60);
    const std::string flat(encode_advanced(v).text());
    const Buffer canonical = encode_canonical(v);
    for (std::uint64_t width : {1, 2, 7, 16, 30, 72, 200}) {
      for (std::uint64_t indent : {0, 1, 3, 40}) {
        const std::string text = pretty(v, width, indent);
        SCOPED_TRACE(::testing::Message()
                     << "round " << round << " width " << width << " indent " << indent << "\n"
                     << text);
        ASSERT_EQ(one_line(text), flat);
        ASSERT_EQ(encode_canonical(parsed(text)).text(), canonical.text());
        std::size_t line_start = 0;
        while (line_start <= text.size()) {
          std::size_t end = text.find('\n', line_start);
          if (end == std::string::npos) end = text.size();
          const std::string_view line(text.data() + line_start, end - line_start);
          const std::size_t spaces = line.find_first_not_of(' ');
          if (line_start != 0) {
            ASSERT_LE(spaces, width / 2);
          }
          if (line.size() > width) {
            // Only a line holding a single atom, with the brackets around it, overflows.
            std::string_view core = line.substr(spaces);
            core.remove_prefix(std::min(core.find_first_not_of('('), core.size()));
            while (!core.empty() && core.back() == ')') core.remove_suffix(1);
            ASSERT_TRUE(core.empty() || parsed(core).is_atom()) << line;
          }
          line_start = end + 1;
        }
      }
    }
  }
}

// Hands the converter's output over in pieces of a few octets.
class Pieces final : public OutputSink {
 public:
  bool write(std::span<const std::uint8_t> octets) override {
    EXPECT_FALSE(octets.empty());
    text.append(reinterpret_cast<const char*>(octets.data()), octets.size());
    return true;
  }

  std::string text;
};

// The converter lays out what it reads, canonical or advanced, as the writer lays out the value
// read, in pieces of any size, through one scratch reused from one conversion to the next.
TEST(Pretty, ConverterLaysOutAsItReads) {
  std::mt19937_64 rng(9);
  ConvertScratch scratch;
  for (int round = 0; round < 300; ++round) {
    const Value v = random_tree(rng, 80);
    const std::uint64_t width = 1 + rng() % 60;
    const std::uint64_t indent = rng() % 5;
    const std::string expected = pretty(v, width, indent);
    for (const Buffer& input : {encode_canonical(v), encode_advanced(v)}) {
      Pieces sink;
      const std::size_t piece = 1 + rng() % 7;
      Built built = convert_prefix(default_options, input.view(), PrettyOptions{width, indent},
                                   sink, piece, &scratch);
      ASSERT_TRUE(built.ok());
      EXPECT_EQ(*built, input.size());
      EXPECT_EQ(sink.text, expected) << "round " << round;
      Buffer whole;
      whole.append(std::string_view("junk"));
      ASSERT_TRUE(
          convert_prefix(default_options, input.view(), {width, indent}, whole, &scratch).ok());
      EXPECT_EQ(whole.text(), "junk" + expected);
    }
  }
  // A refusal half way leaves nothing behind, and the next conversion starts afresh.
  Buffer out;
  const Result<std::uint64_t, ReadError> refused =
      convert_prefix(default_options, octets_of("(a (b c) (d"), {4, 2}, out, &scratch);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), (ReadError{11, ErrorKind::UnexpectedEnd}));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(convert_prefix(default_options, octets_of("(a b)"), {4, 2}, out, &scratch).ok());
  EXPECT_EQ(out.text(), "(a\n  b)");
}

// A hundred thousand lists deep: no recursion, and lines indented no further than half the width.
TEST(Pretty, DeepTrees) {
  const Value deep = chain(100000, true);
  const std::string text = pretty(deep, 20, 3);
  std::size_t lines = 1;
  std::size_t widest = 0;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
    widest = std::max(widest, at - from);
    ++lines;
  }
  EXPECT_EQ(lines, 100000u);
  EXPECT_LE(widest, 10u + 2);  // indentation, then "(a" or "a"
  EXPECT_EQ(one_line(text), std::string(encode_advanced(deep).text()));
}

}  // namespace
}  // namespace tarnel
