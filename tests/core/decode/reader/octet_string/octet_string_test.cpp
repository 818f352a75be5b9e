// The octet-string reader on its own: every written form decoded with the cursor left just past
// it, every refusal with its kind and offset, the order in which the checks of one string are
// made, and the character classes the forms are built from.
#include "tarnel/octet_string.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

#include "decode/reader/read_helpers.h"

namespace tarnel {
namespace {

using read_testing::octets_of;
using read_testing::with_max_atom_len;
using read_testing::without;
using E = ErrorKind;
using O = ReaderOptions;

// "octets@end" on success (end being the cursor's position afterwards), else "kind@offset".
std::string read_string(std::string_view input, const ReaderOptions& options) {
  ReadCursor cursor{options, octets_of(input), 0};
  Result<Octets, ReadError> r = read_octet_string(cursor);
  if (!r) return read_testing::error_text(r.error());
  return std::string(r->text()) + "@" + std::to_string(cursor.position);
}

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    }
  }
  return out;
}

struct Decodes {
  std::string_view input;
  std::string_view octets;
  std::uint64_t end;
};

void PrintTo(const Decodes& row, std::ostream* os) { *os << printable(row.input); }

class DecodesForm : public ::testing::TestWithParam<Decodes> {};

TEST_P(DecodesForm, ToItsOctetsAndStopsJustPastIt) {
  const Decodes& row = GetParam();
  EXPECT_EQ(read_string(row.input, default_options),
            std::string(row.octets) + "@" + std::to_string(row.end));
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(Verbatim, DecodesForm,
                         ::testing::Values(Decodes{"3:abc", "abc", 5}, Decodes{"0:", "", 2},
                                           Decodes{"3:a)c", "a)c", 5},
                                           Decodes{"3:\0\xff\"xyz"sv, "\0\xff\""sv, 5},
                                           Decodes{"10:0123456789", "0123456789", 13},
                                           Decodes{"1:a1:b", "a", 3}));

INSTANTIATE_TEST_SUITE_P(Token, DecodesForm,
                         ::testing::Values(Decodes{"abc-1.2", "abc-1.2", 7}, Decodes{"-", "-", 1},
                                           Decodes{":", ":", 1}, Decodes{"abc(", "abc", 3},
                                           Decodes{"a b", "a", 1}, Decodes{"x\"y\"", "x", 1},
                                           Decodes{"*+-./:=_AZaz09", "*+-./:=_AZaz09", 14},
                                           Decodes{"ab\x80", "ab", 2}));

INSTANTIATE_TEST_SUITE_P(
    Quoted, DecodesForm,
    ::testing::Values(Decodes{R"("a\x41\101\n")", "aAA\n", 13}, Decodes{R"("")", "", 2},
                      Decodes{R"("abc"def)", "abc", 5}, Decodes{R"(3"abc")", "abc", 6},
                      Decodes{R"(0"")", "", 3},
                      Decodes{R"("\a\b\t\n\v\f\r\"\'\?\\")", "\a\b\t\n\v\f\r\"'?\\", 24},
                      Decodes{R"("\377\000\1234")", "\xff\0S4"sv, 15},
                      Decodes{R"("\xfF\x0a\xA0")", "\xff\n\xa0", 14},
                      Decodes{"\" ~()[]{}|#;\"", " ~()[]{}|#;", 13},
                      // Line continuations: LF, CR, CR LF and LF CR each add nothing.
                      Decodes{"\"a\\\nb\"", "ab", 6}, Decodes{"\"a\\\rb\"", "ab", 6},
                      Decodes{"\"a\\\r\nb\"", "ab", 7}, Decodes{"\"a\\\n\rb\"", "ab", 7},
                      Decodes{"\"a\\\n\\\nb\"", "ab", 8}, Decodes{"\"\\\n\"", "", 4},
                      // A written length counts decoded octets, not written ones.
                      Decodes{R"(2"\x41\n")", "A\n", 9}, Decodes{"1\"\\\na\"", "a", 6}));

INSTANTIATE_TEST_SUITE_P(Hexadecimal, DecodesForm,
                         ::testing::Values(Decodes{"#616263#", "abc", 8},
                                           Decodes{"#61 62 63#", "abc", 10},
                                           Decodes{"# 6\t1\n6\x0b"
                                                   "2\x0c\r#",
                                                   "ab", 12},
                                           Decodes{"##", "", 2}, Decodes{"#ABcd#", "\xab\xcd", 6},
                                           Decodes{"3#616263#x", "abc", 9}, Decodes{"0##", "", 3}));

INSTANTIATE_TEST_SUITE_P(Base64, DecodesForm,
                         ::testing::Values(Decodes{"|YWJj|", "abc", 6},
                                           Decodes{"|YW Jj|", "abc", 7}, Decodes{"|YQ|", "a", 4},
                                           Decodes{"|YQ==|", "a", 6}, Decodes{"|YWI|", "ab", 5},
                                           Decodes{"||", "", 2}, Decodes{"3|YWJj|", "abc", 7},
                                           Decodes{"1|YQ|)", "a", 5},
                                           Decodes{"| Y W\nJ j |", "abc", 11}));

// A refusal: the input, the options it is read with, and the kind and offset expected.
struct Refusal {
  std::string_view input;
  ErrorKind kind;
  std::uint64_t offset;
  ReaderOptions options = default_options;
};

void PrintTo(const Refusal& row, std::ostream* os) { *os << printable(row.input); }

class RefusesString : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusesString, WithKindAndOffset) {
  const Refusal& row = GetParam();
  EXPECT_EQ(read_string(row.input, row.options),
            read_testing::expected_error(row.kind, row.offset));
}

constexpr std::string_view twenty_nines = "99999999999999999999:";
// 2^64-1, then the largest length whose end (just past the colon, offset 21) still fits, and the
// one above it.
constexpr std::string_view max_length = "18446744073709551615:";
constexpr std::string_view largest_end_fits = "18446744073709551594:";
constexpr std::string_view end_overflows = "18446744073709551595:";

INSTANTIATE_TEST_SUITE_P(
    Lengths, RefusesString,
    ::testing::Values(Refusal{"", E::UnexpectedEnd, 0}, Refusal{"00:", E::LengthLeadingZero, 0},
                      Refusal{"01", E::LengthLeadingZero, 0}, Refusal{"0", E::UnexpectedEnd, 1},
                      Refusal{"10:abc", E::UnexpectedEnd, 6},
                      //             ^ three octets where ten were promised
                      Refusal{twenty_nines, E::LengthOverflow, 0},
                      Refusal{"18446744073709551616:", E::LengthOverflow, 0},
                      Refusal{"184467440737095516150", E::LengthOverflow, 0},
                      Refusal{max_length, E::LengthOverflow, 21},
                      Refusal{end_overflows, E::LengthOverflow, 21},
                      Refusal{largest_end_fits, E::UnexpectedEnd, 21},
                      Refusal{"99999999999:abc", E::UnexpectedEnd, 15},
                      Refusal{"3abc", E::UnexpectedOctet, 1}, Refusal{"3", E::UnexpectedEnd, 1},
                      Refusal{"12", E::UnexpectedEnd, 2}, Refusal{"3 :abc", E::UnexpectedOctet, 1},
                      Refusal{"3(", E::UnexpectedOctet, 1}, Refusal{"3[", E::UnexpectedOctet, 1},
                      Refusal{"1{", E::UnexpectedOctet, 1}));

INSTANTIATE_TEST_SUITE_P(
    NoElementStartsSo, RefusesString,
    ::testing::Values(Refusal{")", E::UnexpectedOctet, 0}, Refusal{"]", E::UnexpectedOctet, 0},
                      Refusal{"(", E::UnexpectedOctet, 0}, Refusal{"[", E::UnexpectedOctet, 0},
                      Refusal{"{", E::UnexpectedOctet, 0}, Refusal{"}", E::UnexpectedOctet, 0},
                      Refusal{" a", E::UnexpectedOctet, 0}, Refusal{"\x80", E::UnexpectedOctet, 0},
                      Refusal{"\xff", E::UnexpectedOctet, 0},
                      Refusal{"\0"sv, E::UnexpectedOctet, 0}, Refusal{";", E::UnexpectedOctet, 0},
                      Refusal{"'a'", E::UnexpectedOctet, 0}));

INSTANTIATE_TEST_SUITE_P(
    Quoted, RefusesString,
    ::testing::Values(
        Refusal{R"("\400")", E::InvalidEscape, 1}, Refusal{R"("\777")", E::InvalidEscape, 1},
        Refusal{R"("\8")", E::InvalidEscape, 1}, Refusal{R"("\e")", E::InvalidEscape, 1},
        Refusal{R"("ab\q")", E::InvalidEscape, 3},
        //           ^ the backslash, not the q
        Refusal{R"("\x4g")", E::InvalidEscape, 1}, Refusal{R"("\xg4")", E::InvalidEscape, 1},
        Refusal{R"("\18")", E::InvalidEscape, 1}, Refusal{R"("\108")", E::InvalidEscape, 1},
        Refusal{R"("\X41")", E::InvalidEscape, 1}, Refusal{"\"\\ \"", E::InvalidEscape, 1},
        Refusal{"\"\\\t\"", E::InvalidEscape, 1}, Refusal{"\"", E::UnexpectedEnd, 1},
        Refusal{"\"ab", E::UnexpectedEnd, 3}, Refusal{"\"ab\\", E::UnexpectedEnd, 4},
        Refusal{"\"\\x", E::UnexpectedEnd, 3}, Refusal{"\"\\x4", E::UnexpectedEnd, 4},
        Refusal{"\"\\1", E::UnexpectedEnd, 3}, Refusal{"\"\\12", E::UnexpectedEnd, 4},
        Refusal{"\"\\4", E::UnexpectedEnd, 3}, Refusal{"\"a\\\n", E::UnexpectedEnd, 4},
        Refusal{"\"a\tb\"", E::UnexpectedOctet, 2}, Refusal{"\"a\nb\"", E::UnexpectedOctet, 2},
        Refusal{"\"a\rb\"", E::UnexpectedOctet, 2}, Refusal{"\"\x7f\"", E::UnexpectedOctet, 1},
        Refusal{"\"ab\x80\"", E::UnexpectedOctet, 3}, Refusal{"\"\0\""sv, E::UnexpectedOctet, 1},
        // After a continuation a further raw line break is not skipped.
        Refusal{"\"a\\\n\nb\"", E::UnexpectedOctet, 4},
        Refusal{"\"a\\\r\rb\"", E::UnexpectedOctet, 4}, Refusal{R"(5"abc")", E::LengthMismatch, 0},
        Refusal{R"(2"abc")", E::LengthMismatch, 0},
        // The written length never bounds the body: it runs to its quote.
        Refusal{R"(1"abc)", E::UnexpectedEnd, 5}));

INSTANTIATE_TEST_SUITE_P(Hexadecimal, RefusesString,
                         ::testing::Values(Refusal{"#616#", E::OddHexDigits, 0},
                                           Refusal{"#6#", E::OddHexDigits, 0},
                                           Refusal{"#61x2#", E::InvalidHexDigit, 3},
                                           //          ^
                                           Refusal{"#6g#", E::InvalidHexDigit, 2},
                                           Refusal{"#61\x80#", E::InvalidHexDigit, 3},
                                           Refusal{"#61|", E::InvalidHexDigit, 3},
                                           Refusal{"#", E::UnexpectedEnd, 1},
                                           Refusal{"#616", E::UnexpectedEnd, 4},
                                           Refusal{"2#616263#", E::LengthMismatch, 0},
                                           Refusal{"4#616263#", E::LengthMismatch, 0},
                                           Refusal{"1#61", E::UnexpectedEnd, 4}));

INSTANTIATE_TEST_SUITE_P(
    Base64, RefusesString,
    ::testing::Values(Refusal{"|YQ=|", E::InvalidBase64, 4},
                      //           ^ the closing bar: the pads are short
                      Refusal{"|Y|", E::InvalidBase64, 1}, Refusal{"|YW-j|", E::InvalidBase64, 3},
                      Refusal{"2|YQ=|", E::InvalidBase64, 5},
                      Refusal{"|YQ==YQ==|", E::InvalidBase64, 5}, Refusal{"|", E::UnexpectedEnd, 1},
                      Refusal{"|YWJj", E::UnexpectedEnd, 5}, Refusal{"3|YQ|", E::LengthMismatch, 0},
                      Refusal{"0|YQ|", E::LengthMismatch, 0}));

const O no_advanced = without({&O::allow_advanced});
const O no_hex = without({&O::allow_hexadecimal});
const O no_base64 = without({&O::allow_base64});
const O no_lengths = without({&O::allow_lengths});
const O nothing_but_verbatim =
    without({&O::allow_advanced, &O::allow_hexadecimal, &O::allow_base64, &O::allow_lengths});
const O no_hex_nor_lengths = without({&O::allow_hexadecimal, &O::allow_lengths});
const O no_base64_nor_lengths = without({&O::allow_base64, &O::allow_lengths});
const O no_empty = without({&O::allow_empty_atoms});

INSTANTIATE_TEST_SUITE_P(
    Restrictions, RefusesString,
    ::testing::Values(Refusal{"abc", E::AdvancedNotAllowed, 0, no_advanced},
                      Refusal{R"("abc")", E::AdvancedNotAllowed, 0, no_advanced},
                      Refusal{R"(3"abc")", E::AdvancedNotAllowed, 0, no_advanced},
                      Refusal{"#61#", E::AdvancedNotAllowed, 0, no_advanced},
                      Refusal{"|YQ|", E::AdvancedNotAllowed, 0, no_advanced},
                      Refusal{"1#61#", E::AdvancedNotAllowed, 0, nothing_but_verbatim},
                      Refusal{"1|YQ|", E::AdvancedNotAllowed, 0, nothing_but_verbatim},
                      Refusal{"#61#", E::HexadecimalNotAllowed, 0, no_hex},
                      Refusal{"1#61#", E::HexadecimalNotAllowed, 0, no_hex},
                      Refusal{"1#61#", E::HexadecimalNotAllowed, 0, no_hex_nor_lengths},
                      Refusal{"|YQ|", E::Base64NotAllowed, 0, no_base64},
                      Refusal{"1|YQ|", E::Base64NotAllowed, 0, no_base64_nor_lengths},
                      Refusal{R"(3"abc")", E::LengthNotAllowed, 0, no_lengths},
                      Refusal{"1#61#", E::LengthNotAllowed, 0, no_lengths},
                      Refusal{"1|YQ|", E::LengthNotAllowed, 0, no_lengths},
                      Refusal{"12|YQ|", E::LengthNotAllowed, 0, no_lengths},
                      // A forbidden form that is malformed inside reports the restriction.
                      Refusal{R"("\q)", E::AdvancedNotAllowed, 0, no_advanced},
                      Refusal{"#zz", E::HexadecimalNotAllowed, 0, no_hex},
                      Refusal{"|!!", E::Base64NotAllowed, 0, no_base64},
                      Refusal{"9#6", E::LengthNotAllowed, 0, no_lengths},
                      // The digits' own faults come before any restriction.
                      Refusal{R"(00"a")", E::LengthLeadingZero, 0, nothing_but_verbatim},
                      Refusal{"99999999999999999999#", E::LengthOverflow, 0, no_hex},
                      Refusal{"12", E::UnexpectedEnd, 2, no_lengths},
                      // Not a form at all, whatever is allowed.
                      Refusal{"3!", E::UnexpectedOctet, 1, nothing_but_verbatim}));

INSTANTIATE_TEST_SUITE_P(
    EmptyAndTooLong, RefusesString,
    ::testing::Values(Refusal{"0:", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{R"("")", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{"##", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{"||", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{"#  #", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{"\"\\\n\"", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{R"(0"")", E::EmptyAtomNotAllowed, 0, no_empty},
                      Refusal{"3:abc", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{"abc", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{R"("abc")", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{R"("a\x62c")", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{"#616263#", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{"|YWJj|", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{"3|YWJj|", E::AtomTooLong, 0, with_max_atom_len(2)},
                      Refusal{"1:a", E::AtomTooLong, 0, with_max_atom_len(0)},
                      // Empty comes before too long, even where both apply.
                      Refusal{"0:", E::EmptyAtomNotAllowed, 0, with_max_atom_len(0, no_empty)}));

// Each pair of checks whose order is fixed, with an input that fails both: the earlier wins.
INSTANTIATE_TEST_SUITE_P(CheckOrder, RefusesString,
                         ::testing::Values(
                             // Body before the atom limit: the string is read to its end first.
                             Refusal{R"("abc\q")", E::InvalidEscape, 4, with_max_atom_len(1)},
                             Refusal{"\"abcdef", E::UnexpectedEnd, 7, with_max_atom_len(1)},
                             Refusal{"#616263", E::UnexpectedEnd, 7, with_max_atom_len(1)},
                             Refusal{"#616263x#", E::InvalidHexDigit, 7, with_max_atom_len(1)},
                             Refusal{"|YWJjZ|", E::InvalidBase64, 5, with_max_atom_len(1)},
                             Refusal{"5:abc", E::UnexpectedEnd, 5, with_max_atom_len(1)},
                             // Body before the odd-digit check.
                             Refusal{"#6x#", E::InvalidHexDigit, 2},
                             // Odd digits before the written length.
                             Refusal{"3#616#", E::OddHexDigits, 0},
                             // Written length before empty and before too long.
                             Refusal{R"(1"")", E::LengthMismatch, 0, no_empty},
                             Refusal{"0#61#", E::LengthMismatch, 0, no_empty},
                             Refusal{R"(3"ab")", E::LengthMismatch, 0, with_max_atom_len(1)},
                             // Recognising the form before its body.
                             Refusal{"5\"\\q", E::LengthNotAllowed, 0, no_lengths}));

TEST(OctetString, AtomLimitCountsDecodedOctetsNotWrittenOnes) {
  for (std::string_view input : {"#616263#", "# 61 62 63 #", "|YWJj|", R"("\x61\142c")"}) {
    EXPECT_EQ(read_string(input, with_max_atom_len(3)).substr(0, 4), "abc@") << input;
  }
  // Limit - 1, limit, limit + 1 on each form.
  for (std::uint64_t limit : {2u, 3u, 4u}) {
    const bool fits = limit >= 3;
    for (std::string_view input : {"3:abc", "abc", R"("abc")", "#616263#", "|YWJj|", "3#616263#"}) {
      std::string got = read_string(input, with_max_atom_len(limit));
      EXPECT_EQ(got.rfind("atom_too_long", 0) != 0, fits) << input << " limit " << limit << got;
    }
  }
}

TEST(OctetString, LongBodyOverTheLimitIsReadToItsEnd) {
  // Past the limit the body is still read through, since a fault in it is reported first.
  std::string body(100000, 'a');
  std::string input = "\"" + body + "\\q\"";
  EXPECT_EQ(read_string(input, with_max_atom_len(4)),
            read_testing::expected_error(E::InvalidEscape, 1 + body.size()));
  input = "\"" + body + "\\n\"";
  EXPECT_EQ(read_string(input, with_max_atom_len(4)),
            read_testing::expected_error(E::AtomTooLong, 0));
  EXPECT_EQ(read_string(input, with_max_atom_len(body.size() + 1)),
            body + "\n@" + std::to_string(input.size()));
}

TEST(OctetString, VerbatimIsReadUnderEveryRestriction) {
  for (const O& options : {no_advanced, nothing_but_verbatim, no_lengths, canonical_options}) {
    EXPECT_EQ(read_string("3:a\"c", options), "a\"c@5");
  }
}

TEST(OctetString, ReadsFromTheCursorNotFromTheStart) {
  std::string_view input = "xx3:abc#6162#";
  ReadCursor cursor{default_options, octets_of(input), 2};
  Result<Octets, ReadError> first = read_octet_string(cursor);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->text(), "abc");
  EXPECT_EQ(cursor.position, 7u);
  Result<Octets, ReadError> second = read_octet_string(cursor);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->text(), "ab");
  Result<Octets, ReadError> third = read_octet_string(cursor);
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error(), (ReadError{13, E::UnexpectedEnd}));

  // Offsets are absolute: a fault after the cursor's start is reported where it stands.
  ReadCursor later{default_options, octets_of("....\"\\q\""), 4};
  Result<Octets, ReadError> bad = read_octet_string(later);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), (ReadError{5, E::InvalidEscape}));
}

TEST(OctetString, LongStringsEveryFormHoldTheirOctetsExactly) {
  // Past the inline size, through each form: the heap path and buffer growth.
  std::string data;
  for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>('a' + i % 26));
  std::string hex = "#";
  std::string quoted = "\"";
  for (unsigned char c : data) {
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
    quoted += c == 'q' ? std::string("\\x71") : std::string(1, static_cast<char>(c));
  }
  hex += "#";
  quoted += "\"";
  std::string verbatim = std::to_string(data.size()) + ":" + data;
  for (const std::string& input : {verbatim, hex, quoted, std::string(data)}) {
    EXPECT_EQ(read_string(input, default_options), data + "@" + std::to_string(input.size()));
  }
}

// Hexadecimal strings are read two ways: digit pairs straight into room taken once, when the
// closing '#' is in sight and the digits fit under the atom limit, and an octet at a time
// otherwise. A limit of exactly the decoded count sends any body with whitespace down the second
// way; on random bodies both ways must give the same octets or the same refusal.
TEST(OctetString, HexadecimalReadsAlikeWithAndWithoutRoomTakenAhead) {
  constexpr std::string_view alphabet = "0123456789abcdefABCDEF0123456789 \t\n#g|";
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  auto next = [&state](std::uint64_t bound) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state % bound;
  };
  int slow_paths = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string input = "#";
    const std::uint64_t length = next(40);
    for (std::uint64_t i = 0; i < length; ++i) input += alphabet[next(alphabet.size())];
    if (next(4) != 0) input += '#';
    ReadCursor cursor{default_options, octets_of(input), 0};
    Result<Octets, ReadError> fast = read_octet_string(cursor);
    const std::uint64_t limit = fast ? fast->size() : 0;
    slow_paths += input.find_first_of(" \t\n") != std::string::npos;
    EXPECT_EQ(read_string(input, with_max_atom_len(limit)), read_string(input, default_options))
        << printable(input);
  }
  EXPECT_GT(slow_paths, 1000);
}

// Every octet inside a quoted string, in a run read in place and in one after an escape (copied
// through the scratch buffer): with raw octets allowed, 0x80-0xFF stand for themselves and every
// other octet reads exactly as it does without them.
TEST(OctetString, RawOctetsStandForThemselvesInQuotesOnlyWhereAllowed) {
  O raw;
  raw.allow_raw_octets = true;
  for (int c = 0; c < 256; ++c) {
    const char octet = static_cast<char>(c);
    for (const std::string& input :
         {"\"a" + std::string(1, octet) + "b\"", "\"\\tc" + std::string(1, octet) + "b\""}) {
      const std::string strict = read_string(input, default_options);
      if (c < 0x80) {
        EXPECT_EQ(read_string(input, raw), strict) << printable(input);
        continue;
      }
      EXPECT_EQ(strict, read_testing::expected_error(E::UnexpectedOctet, input.size() - 3));
      const std::string decoded = input[1] == 'a' ? "a" : "\tc";
      EXPECT_EQ(read_string(input, raw), decoded + octet + "b@" + std::to_string(input.size()))
          << printable(input);
    }
  }
  // The written length and the atom limit count each raw octet once; escapes are unchanged.
  EXPECT_EQ(read_string("3\"\xf2\xd1-\"", raw), "\xf2\xd1-@6");
  EXPECT_EQ(read_string("2\"\xf2\xd1-\"", raw), read_testing::expected_error(E::LengthMismatch, 0));
  EXPECT_EQ(read_string("\"\xf2\xd1-\"", with_max_atom_len(2, raw)),
            read_testing::expected_error(E::AtomTooLong, 0));
  EXPECT_EQ(read_string("\"\xf2\\q\"", raw), read_testing::expected_error(E::InvalidEscape, 2));
  EXPECT_EQ(read_string("\"\xf2\\xf2\"", raw), "\xf2\xf2@7");
  // Nowhere else: not as a token, nor outside quotes.
  EXPECT_EQ(read_string("\xf2", raw), read_testing::expected_error(E::UnexpectedOctet, 0));
  EXPECT_EQ(read_string("#\xf2#", raw), read_testing::expected_error(E::InvalidHexDigit, 1));
}

// The character classes, octet by octet over all 256 values, against the sets as written.
TEST(OctetString, CharacterClassesMatchTheirSetsExactly) {
  const std::string_view token_specials = "*+-./:=_";
  for (int c = 0; c < 256; ++c) {
    const auto octet = static_cast<std::uint8_t>(c);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool digit = c >= '0' && c <= '9';
    const bool special = token_specials.find(static_cast<char>(c)) != std::string_view::npos;
    EXPECT_EQ(is_token_start(octet), letter || special) << c;
    EXPECT_EQ(is_token_char(octet), letter || special || digit) << c;
    const bool space = c == 0x09 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x20;
    EXPECT_EQ(is_whitespace(octet), space) << c;
  }
}

}  // namespace
}  // namespace tarnel
