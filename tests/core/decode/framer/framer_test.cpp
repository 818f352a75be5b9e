// The framer against the reader: every split of a stream into pieces must frame it as reading it
// whole does (framing_reference.h), first on the splits that cut through each construct, then on
// random streams under random options.
#include "tarnel/framer.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "framing_reference.h"
#include "tarnel/options.h"

namespace tarnel {
namespace {

using framing::describe;
using framing::frame_in_pieces;
using framing::frame_whole;
using framing::Outcome;

std::span<const std::uint8_t> octets_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Every split into two pieces, every split into pieces of one octet, and the whole at once agree
// with reading whole; returns what reading whole gave.
std::string expect_every_split_agrees(std::string_view text, const ReaderOptions& options) {
  const auto stream = octets_of(text);
  const Outcome whole = frame_whole(options, stream);
  EXPECT_EQ(describe(frame_in_pieces(options, stream, {})), describe(whole)) << text;
  std::vector<std::uint64_t> singles;
  for (std::uint64_t i = 1; i <= text.size(); ++i) singles.push_back(i);
  EXPECT_EQ(describe(frame_in_pieces(options, stream, singles)), describe(whole))
      << text << " in pieces of one octet";
  for (std::uint64_t cut = 1; cut < text.size(); ++cut) {
    EXPECT_EQ(describe(frame_in_pieces(options, stream, {cut})), describe(whole))
        << text << " cut at " << cut;
  }
  return describe(whole);
}

ReaderOptions limited(std::uint64_t depth, std::uint64_t atom, std::uint64_t input) {
  ReaderOptions o;
  o.max_depth = depth;
  o.max_atom_len = atom;
  o.max_input_len = input;
  return o;
}

TEST(FramerTest, SplitsThroughEachConstructFrameAsReadingWhole) {
  struct Case {
    std::string_view text;
    ReaderOptions options;
    std::string_view expected;
  };

  ReaderOptions no_empty;
  no_empty.allow_empty_atoms = false;
  const Case cases[] = {
      // lengths, verbatim octets, hints, transport braces
      {"(12:abcdefghijkl)(0:)", default_options, "0-17 17-21 end"},
      {"[10:text/plain]5:hello 3:abc", default_options, "0-22 23-28 end"},
      {" {KDE6YSk=}\n{KDE6YSk=}", default_options, "1-11 12-22 end"},
      {"{KDE6YSk}", default_options, "0-9 end"},
      {"{KDE6YSk=", default_options, "unexpected_end@9"},
      {"{KDE6YSl=}", default_options, "invalid_base64@7"},
      {"{KDE6YSkp}", default_options, "trailing_octets@0"},
      // escapes, the line continuations and their CR LF, hexadecimal pairs, base-64 groups
      {"(\"a\\x41b\\101\\\r\nc\\\n\")", default_options, "0-20 end"},
      {"(\"a\\x4g\")", default_options, "invalid_escape@3"},
      {"(\"\\400\")", default_options, "invalid_escape@2"},
      {"(#4 1# |YW Jj| 3#616263# 2|YWI=|)", default_options, "0-33 end"},
      {"(#41 2#)", default_options, "odd_hex_digits@1"},
      {"(#41 2x#)", default_options, "invalid_hex_digit@6"},
      {"(|YW!j|)", default_options, "invalid_base64@4"},
      {"(4\"abc\")", default_options, "length_mismatch@1"},
      // tokens wait for the octet after them
      {"abc def\tghi", default_options, "0-3 4-7 8-11 end"},
      {"[h]abc(x)", default_options, "0-6 6-9 end"},
      // refusals at the octet where reading whole makes them
      {"(a)(b]", default_options, "0-3 unexpected_octet@5"},
      {"(a))", default_options, "0-3 unmatched_parenthesis@3"},
      {"([1:h](", default_options, "hint_on_list@6"},
      {"[1:a][", default_options, "unexpected_octet@5"},
      {"([1:h]]", default_options, "unexpected_octet@6"},
      {"({YQ==})", default_options, "unexpected_octet@1"},
      {"(0012:a)", default_options, "length_leading_zero@1"},
      {"(99999999999999999999:a)", default_options, "length_overflow@1"},
      {"(1:a)(abc", canonical_options, "0-5 advanced_not_allowed@6"},
      {"(a \"\")", no_empty, "empty_atom_not_allowed@3"},
      // limits, also where the piece boundaries fall around them
      {"((((a))))(((b)))", limited(3, no_limit, no_limit), "too_deep@3"},
      {"(abcd)  (abcdef)", limited(9, 4, no_limit), "0-6 atom_too_long@9"},
      {"(1:a)      (1:b) (1:cc)", limited(9, 9, 5), "0-5 11-16 input_too_long@22"},
      {"abcde abcdef", limited(9, 9, 5), "0-5 input_too_long@11"},
      {"abcde", limited(9, 9, 5), "0-5 end"},
      {"(1:ab", limited(9, 9, 5), "unexpected_end@5"},
      {"(1:ab ", limited(9, 9, 5), "input_too_long@5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(expect_every_split_agrees(c.text, c.options), c.expected) << c.text;
  }
}

// Fragments that random streams are made of: whole constructs, their pieces, and octets that
// break them.
constexpr std::string_view fragments[] = {
    "(",      ")",   " ",       "\n",   "3:abc",       "0:",         "1:",
    "12",     ":",   "abc",     "x",    "\"ab",        "\"",         "\\x4",
    "1",      "\\",  "\r",      "\r\n", "#",           "4 1",        "|YW",
    "Jj|",    "=",   "[",       "]",    "4:text",      "{",          "KDE6YSk=",
    "}",      "(a)", "\x80",    "00",   "99999999999", "\"a\\101\"", "#616#",
    "|YQ==|", "\t",  "2\"ab\"", "*",    "\x01",        "\x7f",       "\"\xf2\xd1-\"",
    "\"\xa1"};

ReaderOptions random_options(std::mt19937_64& rng) {
  ReaderOptions o;
  const std::uint64_t bits = rng();
  o.allow_advanced = (bits & 0x7) != 0;
  o.allow_transport = (bits & 0x18) != 0;
  o.allow_display_hints = (bits & 0x60) != 0;
  o.allow_empty_atoms = (bits & 0x180) != 0;
  o.allow_empty_lists = (bits & 0x600) != 0;
  o.allow_list_as_first_element = (bits & 0x1800) != 0;
  o.allow_hexadecimal = (bits & 0x6000) != 0;
  o.allow_base64 = (bits & 0x18000) != 0;
  o.allow_lengths = (bits & 0x60000) != 0;
  o.allow_raw_octets = (bits & 0x80000) != 0;
  const std::uint64_t pick[] = {no_limit, 0, 1, 2, 3, 5, 8, 13};
  o.max_depth = (bits >> 20 & 1) ? pick[bits >> 21 & 7] : default_max_depth;
  o.max_atom_len = (bits >> 24 & 1) ? pick[bits >> 25 & 7] : no_limit;
  o.max_input_len = (bits >> 28 & 1) ? pick[bits >> 29 & 7] + (bits >> 32 & 15) : no_limit;
  return o;
}

TEST(FramerTest, RandomStreamsInRandomPiecesFrameAsReadingWhole) {
  const std::uint64_t seed = std::random_device{}();
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int parts = static_cast<int>(rng() % 24);
    for (int i = 0; i < parts; ++i) text += fragments[rng() % std::size(fragments)];
    const ReaderOptions options = random_options(rng);
    std::vector<std::uint64_t> ends;
    for (std::uint64_t at = 0; at < text.size();) {
      at += 1 + rng() % 6;
      ends.push_back(at);
    }
    const auto stream = octets_of(text);
    const std::string whole = describe(frame_whole(options, stream));
    ASSERT_EQ(describe(frame_in_pieces(options, stream, ends)), whole)
        << "seed " << seed << " round " << round << ": " << text;
  }
}

TEST(FramerTest, FramesReadBackToExactlyTheirOctets) {
  // A Complete frame is what read_prefix reads from the S-expression's first octet.
  const std::string_view text = "(a (b #61#) |YQ==|) [h]\"q\" tok {KDE6YSk=} 3:xyz";
  const auto stream = octets_of(text);
  const Outcome o = frame_in_pieces(default_options, stream, {3, 9, 20, 30});
  ASSERT_EQ(o.last.status, FrameStatus::Ended);
  ASSERT_EQ(o.frames.size(), 5u);
  for (const auto& [start, end] : o.frames) {
    Result<Prefix, ReadError> read = read_prefix(default_options, stream.subspan(start));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->consumed, end - start);
  }
}

TEST(FramerTest, DeepAndLongStreamsNeedOnlyOneScanPerPiece) {
  // 100,000 open lists then as many closes, and a long verbatim string, in small pieces: each
  // piece is one scan, and the framer answers without looking back over the stream.
  std::string text(100000, '(');
  text += "1:a";
  text += std::string(100000, ')');
  text += "200000:" + std::string(200000, 'z');
  std::vector<std::uint64_t> ends;
  for (std::uint64_t i = 1000; i <= text.size(); i += 1000) ends.push_back(i);
  std::uint64_t calls = 0;
  const Outcome o =
      frame_in_pieces(limited(no_limit, no_limit, no_limit), octets_of(text), ends, &calls);
  EXPECT_EQ(describe(o), "0-200003 200003-400010 end");
  EXPECT_LE(calls, ends.size() + 4);
}

}  // namespace
}  // namespace tarnel
