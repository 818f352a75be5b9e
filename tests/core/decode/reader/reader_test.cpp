// The reader's driver: lists, display hints, whitespace, the basic transport form and its
// re-based errors, whole inputs against prefixes, the limits at their edges, hostile inputs
// (huge declared lengths, deep and wide nesting, long strings) read in linear time, and round
// trips of every small canonical input and of seeded random trees.
#include "tarnel/reader.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "decode/reader/read_helpers.h"
#include "decode/reader/read_one.h"
#include "tarnel/base64.h"
#include "tarnel/canonical.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

using read_testing::canonical_text;
using read_testing::expected_error;
using read_testing::octets_of;
using read_testing::read_text;
using read_testing::with_max_atom_len;
using read_testing::with_max_depth;
using read_testing::with_max_input_len;
using read_testing::without;
using E = ErrorKind;
using O = ReaderOptions;
using namespace std::string_view_literals;

const O no_advanced = without({&O::allow_advanced});
const O no_transport = without({&O::allow_transport});
const O no_hints = without({&O::allow_display_hints});
const O no_empty_atoms = without({&O::allow_empty_atoms});
const O no_empty_lists = without({&O::allow_empty_lists});
const O no_list_first = without({&O::allow_list_as_first_element});
const O canonical_with_transport = without({&O::allow_advanced});

// The basic transport form of `content`.
std::string braces(std::string_view content) {
  Buffer encoded;
  base64_encode(octets_of(content), encoded);
  return "{" + std::string(encoded.text()) + "}";
}

struct Reads {
  std::string_view input;
  std::string_view canonical;
  ReaderOptions options = default_options;
};

void PrintTo(const Reads& row, std::ostream* os) { *os << row.input; }

class ReadsWhole : public ::testing::TestWithParam<Reads> {};

TEST_P(ReadsWhole, ToTheValueWithThisCanonicalForm) {
  const Reads& row = GetParam();
  EXPECT_EQ(read_text(row.input, row.options), row.canonical);
}

INSTANTIATE_TEST_SUITE_P(Lists, ReadsWhole,
                         ::testing::Values(Reads{"()", "()"}, Reads{"(1:a)", "(1:a)"},
                                           Reads{"3:abc", "3:abc"},
                                           Reads{"(1:a(1:b)())", "(1:a(1:b)())"},
                                           Reads{"((()))", "((()))"},
                                           Reads{"(a(b)c)", "(1:a(1:b)1:c)"},
                                           Reads{"(\"a\"#62#|Yw==|d 1:e)", "(1:a1:b1:c1:d1:e)"},
                                           Reads{"(1:a(1:b))", "(1:a(1:b))", no_list_first},
                                           Reads{"((1:a))", "((1:a))", with_max_depth(2)},
                                           Reads{"3:abc", "3:abc", with_max_depth(0)},
                                           Reads{"(1:a)", "(1:a)", with_max_depth(1)}));

INSTANTIATE_TEST_SUITE_P(Whitespace, ReadsWhole,
                         ::testing::Values(Reads{" (1:a) ", "(1:a)"},
                                           Reads{"\t\n\v\f\r (\t1:a\n)\r", "(1:a)"},
                                           Reads{"( a  b\n(c ) )", "(1:a1:b(1:c))"},
                                           Reads{"( ) ", "()"}, Reads{"abc \n", "3:abc"}));

INSTANTIATE_TEST_SUITE_P(
    Hints, ReadsWhole,
    ::testing::Values(Reads{"[4:text]5:hello", "[4:text]5:hello"},
                      Reads{"[ 4:text ] 5:hello", "[4:text]5:hello"},
                      Reads{"[text]\"hello\"", "[4:text]5:hello"}, Reads{"[0:]1:a", "[0:]1:a"},
                      Reads{"(1:a[1:h]1:b)", "(1:a[1:h]1:b)", canonical_options},
                      Reads{"[#00#]|AA==|", "[1:\0]1:\0"sv}));

INSTANTIATE_TEST_SUITE_P(
    Transport, ReadsWhole,
    ::testing::Values(Reads{"{KDE6YSk=}", "(1:a)"}, Reads{"{ KDE6\nYSk= }", "(1:a)"},
                      Reads{"  {KDE6YSk=}\n", "(1:a)"}, Reads{"{KDE6YSk}", "(1:a)"},
                      Reads{"{KDE6YSk=}", "(1:a)", canonical_with_transport},
                      Reads{"{WzE6aF0xOmE=}", "[1:h]1:a"}, Reads{"{MzphYmM=}", "3:abc"}));

// A refusal by the driver: the input, its options, and the kind and offset expected.
struct Refusal {
  std::string_view input;
  ErrorKind kind;
  std::uint64_t offset;
  ReaderOptions options = default_options;
};

void PrintTo(const Refusal& row, std::ostream* os) { *os << row.input; }

class RefusesWhole : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusesWhole, WithKindAndOffset) {
  const Refusal& row = GetParam();
  EXPECT_EQ(read_text(row.input, row.options), expected_error(row.kind, row.offset));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RefusesWhole,
    ::testing::Values(
        Refusal{"", E::UnexpectedEnd, 0}, Refusal{"(3:abc", E::UnexpectedEnd, 6},
        //             ^ the input ends inside the list, not at its '('
        Refusal{"(1:a", E::UnexpectedEnd, 4}, Refusal{"((1:a)", E::UnexpectedEnd, 6},
        Refusal{" ", E::UnexpectedEnd, 1}, Refusal{")", E::UnmatchedParenthesis, 0},
        Refusal{"(1:a))", E::TrailingOctets, 5},
        //            ^ a complete expression comes first, so this is trailing, not unmatched
        Refusal{"(1:a)(1:b)", E::TrailingOctets, 5}, Refusal{"(1:a) x", E::TrailingOctets, 6},
        Refusal{"(1:a]", E::UnexpectedOctet, 4}, Refusal{"(1:a}", E::UnexpectedOctet, 4},
        Refusal{"({KDE6YSk=})", E::UnexpectedOctet, 1},
        //        ^ a transport form only as the whole expression
        Refusal{"(\x80)", E::UnexpectedOctet, 1},
        Refusal{"()", E::EmptyListNotAllowed, 0, no_empty_lists},
        Refusal{"(() 1:b)", E::EmptyListNotAllowed, 1, no_empty_lists},
        Refusal{"(1:a ())", E::EmptyListNotAllowed, 5, no_empty_lists},
        Refusal{"((1:a) 1:b)", E::ListAsFirstElementNotAllowed, 0, no_list_first},
        Refusal{"(1:a((1:b)))", E::ListAsFirstElementNotAllowed, 4, no_list_first},
        Refusal{"(()())", E::ListAsFirstElementNotAllowed, 0, no_list_first},
        // Both checks happen only at the ')': an unclosed list is unfinished, nothing more.
        Refusal{"(()", E::EmptyListNotAllowed, 1, no_empty_lists},
        Refusal{"(", E::UnexpectedEnd, 1, no_empty_lists},
        Refusal{"((1:a)", E::UnexpectedEnd, 6, no_list_first}));

INSTANTIATE_TEST_SUITE_P(
    Hints, RefusesWhole,
    ::testing::Values(
        Refusal{"[4:text](1:a)", E::HintOnList, 8}, Refusal{"[1:h] (1:a)", E::HintOnList, 6},
        Refusal{"(1:a[1:h]())", E::HintOnList, 9}, Refusal{"[4:text]", E::UnexpectedEnd, 8},
        Refusal{"[4:text5:hello", E::UnexpectedOctet, 7},
        //              ^ ']' expected here
        Refusal{"[1:h", E::UnexpectedEnd, 4}, Refusal{"[", E::UnexpectedEnd, 1},
        Refusal{"[]5:hello", E::UnexpectedOctet, 1}, Refusal{"[(1:a)]1:b", E::UnexpectedOctet, 1},
        Refusal{"[1:h][1:g]1:a", E::UnexpectedOctet, 5}, Refusal{"[1:h])", E::UnexpectedOctet, 5},
        Refusal{"[ 4:text ] 5:hello", E::UnexpectedOctet, 1, canonical_options},
        Refusal{"[4:text] 5:hello", E::UnexpectedOctet, 8, canonical_options},
        Refusal{"[1:h]1:a", E::HintNotAllowed, 0, no_hints},
        Refusal{"(1:a [1:h]1:b)", E::HintNotAllowed, 5, no_hints},
        Refusal{"[1:h](", E::HintNotAllowed, 0, no_hints},
        Refusal{"[0:]1:a", E::EmptyAtomNotAllowed, 1, no_empty_atoms},
        Refusal{"[1:h]0:", E::EmptyAtomNotAllowed, 5, no_empty_atoms},
        Refusal{"[3:abc]1:x", E::AtomTooLong, 1, with_max_atom_len(2)},
        Refusal{"[1:h]3:abc", E::AtomTooLong, 5, with_max_atom_len(2)},
        Refusal{"[h]abc", E::AdvancedNotAllowed, 1, canonical_options}));

INSTANTIATE_TEST_SUITE_P(
    CanonicalWhitespace, RefusesWhole,
    ::testing::Values(Refusal{"(1:a) ", E::TrailingOctets, 5, canonical_options},
                      Refusal{" (1:a)", E::UnexpectedOctet, 0, canonical_options},
                      Refusal{"(1:a 1:b)", E::UnexpectedOctet, 4, canonical_options},
                      Refusal{"( 1:a)", E::UnexpectedOctet, 1, canonical_options},
                      Refusal{"(1:a\n)", E::UnexpectedOctet, 4, canonical_options},
                      Refusal{" {KDE6YSk=}", E::UnexpectedOctet, 0, canonical_with_transport},
                      Refusal{"{KDE6YSk=} ", E::TrailingOctets, 10, canonical_with_transport},
                      Refusal{"3 :abc", E::UnexpectedOctet, 1},
                      Refusal{"(1:a)\x80", E::TrailingOctets, 5}));

INSTANTIATE_TEST_SUITE_P(Depth, RefusesWhole,
                         ::testing::Values(Refusal{"()", E::TooDeep, 0, with_max_depth(0)},
                                           Refusal{" (1:a)", E::TooDeep, 1, with_max_depth(0)},
                                           Refusal{"((1:a))", E::TooDeep, 1, with_max_depth(1)},
                                           Refusal{"(((1:a)))", E::TooDeep, 2, with_max_depth(2)},
                                           Refusal{"(()(()))", E::TooDeep, 4, with_max_depth(2)},
                                           Refusal{"{KCgxOmEpKQ==}", E::TooDeep, 0,
                                                   with_max_depth(1)}));

INSTANTIATE_TEST_SUITE_P(
    InputLimit, RefusesWhole,
    ::testing::Values(Refusal{"(3:abc1:d)x", E::InputTooLong, 10, with_max_input_len(10)},
                      Refusal{"(3:abc1:d)", E::InputTooLong, 9, with_max_input_len(9)},
                      // The limit is checked before anything is read.
                      Refusal{")))))))))))", E::InputTooLong, 10, with_max_input_len(10)},
                      Refusal{"x", E::InputTooLong, 0, with_max_input_len(0)},
                      Refusal{"", E::UnexpectedEnd, 0, with_max_input_len(0)}));

INSTANTIATE_TEST_SUITE_P(
    Transport, RefusesWhole,
    ::testing::Values(
        Refusal{"{KDE6YSk=}", E::TransportNotAllowed, 0, no_transport},
        Refusal{"  {KDE6YSk=}", E::TransportNotAllowed, 2, no_transport},
        Refusal{"{KDE6YSk=", E::UnexpectedEnd, 9}, Refusal{"{", E::UnexpectedEnd, 1},
        Refusal{"{}", E::UnexpectedEnd, 0},
        //       ^ the content is empty: its fault is reported at the '{'
        Refusal{"{   }", E::UnexpectedEnd, 0}, Refusal{"{KD-6}", E::InvalidBase64, 3},
        Refusal{"  {KD-6}", E::InvalidBase64, 5}, Refusal{"{KDE6YSk==}", E::InvalidBase64, 9},
        Refusal{"{KDE6YSk=}x", E::TrailingOctets, 10},
        Refusal{"{KDE6YSk=}{KDE6YSk=}", E::TrailingOctets, 10},
        Refusal{"{KCk=}", E::EmptyListNotAllowed, 0, no_empty_lists},
        Refusal{"  {KCk=}", E::EmptyListNotAllowed, 2, no_empty_lists},
        Refusal{"{e0tERTZZU2s9fQ==}", E::TransportNotAllowed, 0},
        Refusal{"{KDE6YSkg}", E::TrailingOctets, 0}, Refusal{"{KDE6YQ==}", E::UnexpectedEnd, 0},
        Refusal{"{YWJj}", E::AdvancedNotAllowed, 0},
        Refusal{"{KDE6YSAxOmIp}", E::UnexpectedOctet, 0},
        Refusal{" {MzphYmM=}", E::AtomTooLong, 1, with_max_atom_len(2)},
        Refusal{"{WzE6aF0xOmE=}", E::HintNotAllowed, 0, no_hints},
        // Flags of the outer set carry inward: hexadecimal is refused before anything else.
        Refusal{"{IzYxIw==}", E::AdvancedNotAllowed, 0}));

TEST(Reader, TransportRebasesEveryInnerFaultToItsBrace) {
  // Inner inputs with a fault deep inside; each is reported at the '{', wherever that stands.
  struct Row {
    std::string_view content;
    ErrorKind kind;
    ReaderOptions options;
  };

  const Row rows[] = {
      {"(1:a(1:b)", E::UnexpectedEnd, default_options},
      {"(1:a))", E::TrailingOctets, default_options},
      {"(1:a 1:b)", E::UnexpectedOctet, default_options},
      {"(1:a(((1:b))))", E::TooDeep, with_max_depth(3)},
      {"(1:a(1:b()))", E::EmptyListNotAllowed, no_empty_lists},
      {"(1:a((1:b)))", E::ListAsFirstElementNotAllowed, no_list_first},
      {"(1:a(4:abcd))", E::AtomTooLong, with_max_atom_len(3)},
      {"(1:a(0:))", E::EmptyAtomNotAllowed, no_empty_atoms},
      {"(1:a[1:h](", E::HintOnList, default_options},
      {"(1:a 00:)", E::UnexpectedOctet, default_options},
      {"(1:a00:)", E::LengthLeadingZero, default_options},
      {"(1:a99999999999999999999:)", E::LengthOverflow, default_options},
      {"(1:a)  ", E::TrailingOctets, default_options},
      {"(1:a{KDE6YSk=})", E::UnexpectedOctet, default_options},
      {")", E::UnmatchedParenthesis, default_options},
      {"(1:a2\"ab\")", E::AdvancedNotAllowed, default_options},
  };
  for (const Row& row : rows) {
    for (std::string_view lead : {"", " ", "\n\t  "}) {
      std::string input = std::string(lead) + braces(row.content);
      EXPECT_EQ(read_text(input, row.options), expected_error(row.kind, lead.size()))
          << row.content << " after " << lead.size() << " whitespace octets";
    }
  }
}

TEST(Reader, InputLimitAtLimitMinusOneLimitAndPlusOne) {
  const std::string input = "(3:abc(1:d))";
  const std::uint64_t n = input.size();
  for (std::uint64_t limit : {n - 1, n, n + 1}) {
    const O options = with_max_input_len(limit);
    const bool fits = n <= limit;
    EXPECT_EQ(read_text(input, options), fits ? input : expected_error(E::InputTooLong, limit));
    // A prefix read checks the whole input too, even where the expression is shorter.
    Result<Prefix, ReadError> prefix = read_prefix(options, octets_of(input));
    EXPECT_EQ(prefix.ok(), fits);
    Result<Prefix, ReadError> shorter =
        read_prefix(options, octets_of("3:abc" + std::string(n - 5, ')')));
    EXPECT_EQ(shorter.ok(), fits);
    if (!shorter) {
      EXPECT_EQ(shorter.error(), (ReadError{limit, E::InputTooLong}));
    }
  }
}

TEST(Reader, DepthLimitAtLimitMinusOneLimitAndPlusOne) {
  for (std::uint64_t depth : {1u, 2u, 7u, 64u}) {
    const std::string nested = std::string(depth, '(') + std::string(depth, ')');
    for (std::uint64_t limit : {depth - 1, depth, depth + 1}) {
      const std::string got = read_text(nested, with_max_depth(limit));
      // The '(' that opens one list too many stands at the offset equal to the limit.
      EXPECT_EQ(got, depth <= limit ? nested : expected_error(E::TooDeep, limit))
          << depth << " deep, limit " << limit;
    }
  }
}

TEST(Reader, EmptyHintIsPresentAndDistinctFromNoHint) {
  Result<Value, ReadError> with_empty = read_whole(default_options, octets_of("[0:]1:a"));
  ASSERT_TRUE(with_empty);
  ASSERT_TRUE(with_empty->is_atom());
  ASSERT_NE(with_empty->hint(), nullptr);
  EXPECT_TRUE(with_empty->hint()->empty());
  EXPECT_EQ(with_empty->data().text(), "a");

  Result<Value, ReadError> without_hint = read_whole(default_options, octets_of("1:a"));
  ASSERT_TRUE(without_hint);
  EXPECT_EQ(without_hint->hint(), nullptr);

  Result<Value, ReadError> hinted = read_whole(default_options, octets_of("([text/plain]|aGk=|)"));
  ASSERT_TRUE(hinted);
  ASSERT_EQ(hinted->elements().size(), 1u);
  const Value& atom = hinted->elements()[0];
  ASSERT_NE(atom.hint(), nullptr);
  EXPECT_EQ(atom.hint()->text(), "text/plain");
  EXPECT_EQ(atom.data().text(), "hi");
}

struct PrefixRow {
  std::string_view input;
  std::string_view canonical;
  std::uint64_t consumed;
  ReaderOptions options = default_options;
};

void PrintTo(const PrefixRow& row, std::ostream* os) { *os << row.input; }

class ReadsPrefix : public ::testing::TestWithParam<PrefixRow> {};

TEST_P(ReadsPrefix, ConsumesExactlyTheExpression) {
  const PrefixRow& row = GetParam();
  Result<Prefix, ReadError> prefix = read_prefix(row.options, octets_of(row.input));
  ASSERT_TRUE(prefix) << read_testing::error_text(prefix.error());
  EXPECT_EQ(canonical_text(prefix->value), row.canonical);
  EXPECT_EQ(prefix->consumed, row.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadsPrefix,
    ::testing::Values(PrefixRow{" (1:a) ", "(1:a)", 6}, PrefixRow{"(1:a)(1:b)", "(1:a)", 5},
                      PrefixRow{"(1:a))", "(1:a)", 5}, PrefixRow{"3:abc3:def", "3:abc", 5},
                      PrefixRow{"abc(", "3:abc", 3}, PrefixRow{"abc", "3:abc", 3},
                      PrefixRow{"\"a\" x", "1:a", 3}, PrefixRow{"{KDE6YSk=} x", "(1:a)", 10},
                      PrefixRow{"  {KDE6YSk=}{", "(1:a)", 12},
                      PrefixRow{"[1:h]1:a)", "[1:h]1:a", 8}, PrefixRow{"1:a\xff\xff", "1:a", 3},
                      PrefixRow{"(1:a) ", "(1:a)", 5, canonical_options},
                      PrefixRow{"#61# #", "1:a", 4}, PrefixRow{"|YQ==|||", "1:a", 6}));

TEST(Reader, PrefixReportsFaultsInsideTheExpressionOnly) {
  struct Row {
    std::string_view input;
    ReadError error;
  };

  for (const Row& row : {Row{"", {0, E::UnexpectedEnd}}, Row{"   ", {3, E::UnexpectedEnd}},
                         Row{"(1:a", {4, E::UnexpectedEnd}}, Row{")", {0, E::UnmatchedParenthesis}},
                         Row{"(1:a!)", {4, E::UnexpectedOctet}}}) {
    Result<Prefix, ReadError> prefix = read_prefix(default_options, octets_of(row.input));
    ASSERT_FALSE(prefix) << row.input;
    EXPECT_EQ(prefix.error(), row.error) << row.input;
  }
}

TEST(Reader, ReadOneReadsAStreamAtTheCursor) {
  const std::string_view stream = " 1:a (b [h]c) {KDE6YSk=}\"d\"";
  ReadCursor cursor{default_options, octets_of(stream), 0};
  std::vector<std::string> got;
  std::vector<std::uint64_t> ends;
  while (cursor.position < stream.size()) {
    Result<Value, ReadError> v = read_one(cursor);
    ASSERT_TRUE(v) << read_testing::error_text(v.error());
    got.push_back(canonical_text(*v));
    ends.push_back(cursor.position);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"1:a", "(1:b[1:h]1:c)", "(1:a)", "1:d"}));
  EXPECT_EQ(ends, (std::vector<std::uint64_t>{4, 13, 24, 27}));
}

TEST(Reader, ListStorageIsExactlyItsLength) {
  for (std::size_t n : {1u, 2u, 3u, 5u, 17u, 1000u}) {
    std::string input = "(";
    for (std::size_t i = 0; i < n; ++i) input += "(1:a1:b1:c)";
    input += ")";
    Result<Value, ReadError> v = read_whole(default_options, octets_of(input));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->elements().size(), n);
    EXPECT_EQ(v->elements().capacity(), n);
    EXPECT_EQ(v->elements()[0].elements().capacity(), 3u);
  }
}

// Hostile input. Each of these would either allocate far beyond the input (and so throw
// std::bad_alloc, failing the test) or take quadratic time (far past the bound) if the reader
// sized anything from a written length or re-scanned what it had read.
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(ReaderHostile, HugeDeclaredLengthsFailFastWithoutAllocating) {
  const std::string inputs[] = {
      "99999999999:abc",
      "(99999999999:abc",
      "[9999999999999:]",
      "(1:a 9999999999999999999:" + std::string(1000, 'x'),
  };
  for (const std::string& input : inputs) {
    Result<Value, ReadError> v = read_whole(default_options, octets_of(input));
    ASSERT_FALSE(v) << input;
    EXPECT_EQ(v.error(), (ReadError{input.size(), E::UnexpectedEnd})) << input;
  }
  // A million declared gigabytes one after another, each refused as it stands.
  const auto start = Clock::now();
  for (int i = 0; i < 1000000; ++i) {
    Result<Value, ReadError> v = read_whole(default_options, octets_of("(4294967296:ab"));
    ASSERT_FALSE(v);
  }
  EXPECT_LT(seconds_since(start), 10.0);
}

TEST(ReaderHostile, TenMegabyteQuotedStringInLinearTime) {
  // Plain runs and every kind of escape, repeated to 10 MB.
  const std::string unit = "ab\\x41\\101\\n\\\r\ncd\\\\";
  std::string expected_unit = "abAA\ncd\\";
  std::string input = "\"";
  std::string expected;
  while (input.size() < 10'000'000) {
    input += unit;
    expected += expected_unit;
  }
  input += "\"";
  const auto start = Clock::now();
  Result<Value, ReadError> v = read_whole(default_options, octets_of(input));
  const double took = seconds_since(start);
  ASSERT_TRUE(v) << read_testing::error_text(v.error());
  EXPECT_TRUE(v->data().text() == expected);
  EXPECT_LT(took, 10.0);

  // Unterminated, the same string is refused at its end.
  input.pop_back();
  Result<Value, ReadError> cut = read_whole(default_options, octets_of(input));
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error(), (ReadError{input.size(), E::UnexpectedEnd}));
}

TEST(ReaderHostile, TenMegabyteHexAndBase64Strings) {
  std::string hex = "#";
  while (hex.size() < 10'000'000) hex += "6162 63\n";
  hex += "#";
  const auto start = Clock::now();
  Result<Value, ReadError> v = read_whole(default_options, octets_of(hex));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data().size(), (hex.size() - 2) / 8 * 3);

  std::string b64 = "|";
  while (b64.size() < 10'000'000) b64 += "YWJj ";
  b64 += "|";
  Result<Value, ReadError> w = read_whole(default_options, octets_of(b64));
  ASSERT_TRUE(w);
  EXPECT_EQ(w->data().size(), (b64.size() - 2) / 5 * 3);
  EXPECT_LT(seconds_since(start), 10.0);
}

TEST(ReaderHostile, HundredThousandDeepList) {
  const std::size_t depth = 100000;
  std::string input;
  for (std::size_t i = 0; i < depth; ++i) input += "(1:a";
  input += std::string(depth, ')');
  const auto start = Clock::now();

  EXPECT_EQ(read_text(input, with_max_depth(depth)), input);
  EXPECT_EQ(read_text(input, with_max_depth(depth - 1)),
            expected_error(E::TooDeep, (depth - 1) * 4));
  EXPECT_EQ(read_text(input, default_options), expected_error(E::TooDeep, 1024 * 4));

  // Open brackets only: unfinished, and everything open released.
  const std::string open(depth, '(');
  EXPECT_EQ(read_text(open, with_max_depth(depth)), expected_error(E::UnexpectedEnd, depth));
  EXPECT_EQ(read_text(open, default_options), expected_error(E::TooDeep, 1024));

  // A fault at the very bottom of a deep, fully built tree.
  std::string bottom = std::string(depth, '(') + "1:a" + std::string(depth - 1, ')') + "]";
  EXPECT_EQ(read_text(bottom, with_max_depth(depth)),
            expected_error(E::UnexpectedOctet, bottom.size() - 1));
  EXPECT_LT(seconds_since(start), 20.0);
}

TEST(ReaderHostile, MillionEmptyListsInOneList) {
  const std::size_t count = 1000000;
  std::string input = "(";
  for (std::size_t i = 0; i < count; ++i) input += "()";
  input += ")";
  const auto start = Clock::now();
  Result<Value, ReadError> v = read_whole(default_options, octets_of(input));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->elements().size(), count);
  EXPECT_EQ(v->elements().capacity(), count);
  EXPECT_TRUE(v->elements().back().is_list());
  // With empty lists forbidden the first one is refused at once.
  EXPECT_EQ(read_text(input, no_empty_lists), expected_error(E::EmptyListNotAllowed, 1));
  // And with the closing parenthesis missing, the million built elements are released.
  input.pop_back();
  EXPECT_EQ(read_text(input, default_options), expected_error(E::UnexpectedEnd, input.size()));
  EXPECT_LT(seconds_since(start), 20.0);
}

// Every canonical input of up to seven pieces over a tiny alphabet. The canonical form is unique,
// so whatever reads must write back as exactly its input; what does not read fails inside the
// input; a prefix read agrees with a whole read; and the same text inside a transport form reads
// the same, or fails with the same kind at its '{'.
TEST(ReaderRoundTrip, EverySmallCanonicalInput) {
  const std::string_view pieces[] = {"(", ")", "1:a", "[1:h]", "0:"};
  std::vector<std::string> inputs = {""};
  std::size_t begin = 0;
  for (int len = 1; len <= 7; ++len) {
    const std::size_t end = inputs.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (std::string_view p : pieces) inputs.push_back(inputs[i] + std::string(p));
    }
    begin = end;
  }
  std::size_t accepted = 0;
  for (const std::string& input : inputs) {
    Result<Value, ReadError> whole = read_whole(canonical_options, octets_of(input));
    Result<Prefix, ReadError> prefix = read_prefix(canonical_options, octets_of(input));
    const std::string transported = read_text(braces(input), default_options);
    if (whole) {
      ++accepted;
      EXPECT_EQ(canonical_text(*whole), input);
      ASSERT_TRUE(prefix) << input;
      EXPECT_EQ(prefix->consumed, input.size());
      EXPECT_EQ(transported, input);
    } else {
      EXPECT_LE(whole.error().offset, input.size()) << input;
      EXPECT_EQ(transported, expected_error(whole.error().kind, 0)) << input;
      if (prefix) {
        EXPECT_EQ(whole.error(), (ReadError{prefix->consumed, E::TrailingOctets})) << input;
      } else {
        EXPECT_EQ(prefix.error(), whole.error()) << input;
      }
    }
  }
  EXPECT_GT(accepted, 300u);
}

TEST(ReaderRoundTrip, SeededRandomTrees) {
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    std::mt19937_64 rng(seed);
    const Value tree = testing_trees::random_tree(rng, 60);
    const std::string canonical = canonical_text(tree);
    EXPECT_EQ(read_text(canonical, default_options), canonical) << "seed " << seed;
    EXPECT_EQ(read_text(canonical, canonical_options), canonical) << "seed " << seed;
    EXPECT_EQ(read_text(braces(canonical), default_options), canonical) << "seed " << seed;
    EXPECT_EQ(read_text(" " + braces(canonical) + "\n", default_options), canonical)
        << "seed " << seed;
  }
}

TEST(ReaderRoundTrip, DeepTreesFromTheHelpers) {
  std::vector<Value> trees;
  trees.push_back(testing_trees::chain(5000, true));
  trees.push_back(testing_trees::comb(5000));
  for (const Value& tree : trees) {
    const std::string canonical = canonical_text(tree);
    // The helpers' atoms hold no parentheses, so counting them gives the depth.
    std::uint64_t depth = 0;
    std::uint64_t open = 0;
    for (char c : canonical) {
      if (c == '(') depth = std::max(depth, ++open);
      if (c == ')') --open;
    }
    EXPECT_EQ(read_text(canonical, with_max_depth(depth)), canonical);
    EXPECT_EQ(read_text(canonical, with_max_depth(depth - 1)).rfind("too_deep@", 0), 0u);
  }
}

}  // namespace
}  // namespace tarnel
