// Patterns: what they bind, what they refuse to match, and where a malformed one is refused. A
// pattern given as a value reports offsets in its canonical form, so compiling a value and
// compiling its canonical text must give the same answer, error for error.
#include "tarnel/match.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnel/canonical.h"
#include "tarnel/reader.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

std::span<const std::uint8_t> octets_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Value read(std::string_view text) {
  auto value = read_whole(default_options, octets_of(text));
  EXPECT_TRUE(value.ok()) << text;
  return std::move(*value);
}

std::string canonical(const Value& v) { return std::string(encode_canonical(v).text()); }

Pattern compile(std::string_view text) {
  auto pattern = compile_pattern(text);
  EXPECT_TRUE(pattern.ok()) << text;
  return std::move(*pattern);
}

// "name=<canonical>" for each bound name in the pattern's order ("name=-" where unbound, and
// "name=[...]" for a rest), or "no match".
std::string bindings(std::string_view pattern_text, std::string_view value_text) {
  const Pattern pattern = compile(pattern_text);
  const Value value = read(value_text);
  std::optional<Match> m = match(pattern, value);
  if (!m) return "no match";
  std::string out;
  for (std::size_t i = 0; i < pattern.names().size(); ++i) {
    const std::string& name = pattern.names()[i];
    if (!out.empty()) out += ' ';
    out += name + '=';
    if (!m->bound(name)) {
      out += '-';
    } else if (pattern.is_rest(i)) {
      out += '[';
      for (const Value& v : m->rest(name)) out += canonical(v);
      out += ']';
    } else {
      out += canonical(*m->get(name));
    }
  }
  return out.empty() ? "match" : out;
}

TEST(Match, LooksUpSubListsByHeadInAnyOrderAndIgnoresTheRest) {
  // A key that gained an element in the middle still matches.
  EXPECT_EQ(bindings("(private-key (ecc (curve :curve) (q :q)))",
                     "(private-key (ecc (curve Ed25519) (flags eddsa) (q #40AB#) (d #01#)))"),
            "curve=7:Ed25519 q=2:\x40\xab");
  EXPECT_EQ(bindings("(private-key (ecc (q :q) (curve :curve)))",
                     "(private-key (ecc (curve Ed25519) (q #40AB#)))"),
            "q=2:\x40\xab curve=7:Ed25519");
  EXPECT_EQ(bindings("(a :x)", "(a (b c))"), "x=(1:b1:c)");
  EXPECT_EQ(bindings("(a :x)", "(a b c)"), "x=1:b");
  EXPECT_EQ(bindings("(a :x :y)", "(a b)"), "no match");
  EXPECT_EQ(bindings("(a (b :x))", "(a (c 1:1) b)"), "no match");  // b is no list
  EXPECT_EQ(bindings("(b :x)", "(a (b c))"), "no match");          // anchored at the top
  // A looked-up list is found after the head only, and its own elements match by position.
  EXPECT_EQ(bindings("(a (a :x))", "(a b (a c))"), "x=1:c");
  EXPECT_EQ(bindings("(q (r s :x))", "(q (r t u) (r s v))"), "x=1:v");
}

TEST(Match, AtomsCompareDataAndHintUnlessTheHintIsAStar) {
  EXPECT_EQ(bindings("(a [h]b)", "(a [h]b)"), "match");
  EXPECT_EQ(bindings("(a [h]b)", "(a b)"), "no match");
  EXPECT_EQ(bindings("(a b)", "(a [h]b)"), "no match");
  EXPECT_EQ(bindings("(a [h]b)", "(a [g]b)"), "no match");
  EXPECT_EQ(bindings("(a [\"\"]b)", "(a b)"), "no match");  // an empty hint is still a hint
  EXPECT_EQ(bindings("(a [*]b)", "(a [text/plain]b)"), "match");
  EXPECT_EQ(bindings("(a [*]b)", "(a b)"), "match");
  EXPECT_EQ(bindings("(a [*]b)", "(a c)"), "no match");
  // [*] also escapes an atom that begins with a colon; with any other hint it is a literal.
  EXPECT_EQ(bindings("(a [*]:b)", "(a \":b\")"), "match");
  EXPECT_EQ(bindings("(a [h]:b)", "(a [h]:b)"), "match");
  EXPECT_EQ(bindings("(a [h]:b)", "(a :b)"), "no match");
  // A looked-up head may be hint-insensitive too.
  EXPECT_EQ(bindings("(a ([*]b :x))", "(a ([h]b c))"), "x=1:c");
}

TEST(Match, RepeatedNamesMustHoldEqualValues) {
  EXPECT_EQ(bindings("(p :x :x)", "(p (a [h]b) (a [h]b))"), "x=(1:a[1:h]1:b)");
  EXPECT_EQ(bindings("(p :x :x)", "(p (a [h]b) (a b))"), "no match");
  EXPECT_EQ(bindings("(p (a :x) (b :x))", "(p (b 1:1) (a 1:1))"), "x=1:1");
  EXPECT_EQ(bindings("(p (a :x) (b :x))", "(p (b 1:1) (a 1:2))"), "no match");
  // A looked-up list whose first candidate binds against the name moves on to the next.
  EXPECT_EQ(bindings("(p :x (a :x))", "(p 1:2 (a 1:1) (a 1:2))"), "x=1:2");
  // Once taken, a candidate is kept: (a 1) is chosen for x, and (b ...) then cannot agree.
  EXPECT_EQ(bindings("(p (a :x) (b :x))", "(p (a 1:1) (a 1:2) (b 1:2))"), "no match");
  // Rests compare as runs of elements.
  EXPECT_EQ(bindings("(p (a :r...) (b :r...))", "(p (a c d) (b c d))"), "r=[1:c1:d]");
  EXPECT_EQ(bindings("(p (a :r...) (b :r...))", "(p (a c d) (b c))"), "no match");
  // Wildcards bind nothing, so they never need to agree.
  EXPECT_EQ(bindings("(p :_ :_)", "(p a b)"), "match");
}

TEST(Match, OptionalPartsAndRests) {
  const std::string_view key = "(k (ecc (curve :c) (::optional (flags :f...)) (q :q)))";
  EXPECT_EQ(bindings(key, "(k (ecc (curve E) (flags eddsa) (q 1:1)))"), "c=1:E f=[5:eddsa] q=1:1");
  EXPECT_EQ(bindings(key, "(k (ecc (curve E) (q 1:1)))"), "c=1:E f=- q=1:1");
  EXPECT_EQ(bindings(key, "(k (ecc (curve E)))"), "no match");
  // An optional positional element: taken where present, where present it must match.
  EXPECT_EQ(bindings("(h sha1 :d (::optional :x))", "(h sha1 1:d)"), "d=1:d x=-");
  EXPECT_EQ(bindings("(h sha1 :d (::optional :x))", "(h sha1 1:d 1:e)"), "d=1:d x=1:e");
  EXPECT_EQ(bindings("(h sha1 (::optional (:t)))", "(h sha1 e)"), "no match");
  // A rest takes what is left after the positional items before it, possibly nothing.
  EXPECT_EQ(bindings("(a :x :r...)", "(a b c (d))"), "x=1:b r=[1:c(1:d)]");
  EXPECT_EQ(bindings("(a :x :r...)", "(a b)"), "x=1:b r=[]");
  EXPECT_EQ(bindings("(:all...)", "(a b)"), "all=[1:a1:b]");
  // A list at a position whose head is a variable: any list, its head bound.
  EXPECT_EQ(bindings("(public-key (:algo (n :n)))", "(public-key (rsa (e 1:3) (n 1:N)))"),
            "algo=3:rsa n=1:N");
  EXPECT_EQ(bindings("(a ())", "(a (b c))"), "match");  // () matches any list
  EXPECT_EQ(bindings("(a ())", "(a b)"), "no match");
  // A pattern that is one item matches the whole value.
  EXPECT_EQ(bindings(":v", "(a b)"), "v=(1:a1:b)");
  EXPECT_EQ(bindings("abc", "abc"), "match");
  EXPECT_EQ(bindings("abc", "(abc)"), "no match");
}

// The error for a pattern text, with the caret under the offending octet shown in a comment.
void expect_error(std::string_view text, PatternErrorKind kind, std::uint64_t offset) {
  auto pattern = compile_pattern(text);
  ASSERT_FALSE(pattern.ok()) << text;
  EXPECT_EQ(pattern.error().kind, kind) << text;
  EXPECT_EQ(pattern.error().offset, offset) << text;
  // The same pattern as a value reports the same fault, at its offset in the canonical form.
  auto value = read_whole(default_options, octets_of(text));
  if (!value) return;
  const std::string canonical_text = canonical(*value);
  auto from_value = compile_pattern(*value);
  auto from_canonical = compile_pattern(canonical_text);
  ASSERT_FALSE(from_value.ok());
  ASSERT_FALSE(from_canonical.ok());
  EXPECT_EQ(from_value.error(), from_canonical.error()) << canonical_text;
  EXPECT_EQ(from_value.error().kind, kind);
}

TEST(Match, MalformedPatternsAreRefusedWhereTheFaultIs) {
  expect_error("(a : b)", PatternErrorKind::InvalidVariable, 3);
  //               ^ a colon and no name
  expect_error("(a\n  \":b c\")", PatternErrorKind::InvalidVariable, 5);
  //                 ^ a space is no name octet (the quoted string is one atom)
  expect_error("(a :...)", PatternErrorKind::InvalidVariable, 3);
  expect_error("(a ::b)", PatternErrorKind::InvalidVariable, 3);
  expect_error("(a (::maybe b))", PatternErrorKind::UnknownKeyword, 4);
  //                ^ the keyword, not the list
  expect_error("(a (::optional))", PatternErrorKind::InvalidOptional, 3);
  expect_error("(a (::optional b c))", PatternErrorKind::InvalidOptional, 3);
  expect_error("(::optional a)", PatternErrorKind::InvalidOptional, 0);
  expect_error("(a (::optional (::optional b)))", PatternErrorKind::InvalidOptional, 15);
  expect_error("(a :r... b)", PatternErrorKind::MisplacedRest, 3);
  //               ^ the rest that is not last
  expect_error("(a :r... :s...)", PatternErrorKind::MisplacedRest, 3);
  expect_error(":r...", PatternErrorKind::MisplacedRest, 0);
  expect_error("(a (::optional :r...))", PatternErrorKind::MisplacedRest, 15);
  expect_error("(a (::optional b) c)", PatternErrorKind::MisplacedOptional, 18);
  //                              ^ required after optional
  expect_error("(a :x (b :x...))", PatternErrorKind::RestAndElement, 9);
  //                     ^ the second use
  // Refusals of the text itself come from the reader, with its kind and offset.
  auto refused = compile_pattern("(a (b)");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            (PatternError{6, PatternErrorKind::Refused, ErrorKind::UnexpectedEnd}));
  auto trailing = compile_pattern("(a) b");
  ASSERT_FALSE(trailing.ok());
  EXPECT_EQ(trailing.error().read_kind, ErrorKind::TrailingOctets);
  EXPECT_EQ(trailing.error().offset, 4u);
  char message[error_display_capacity];
  const std::size_t n =
      format_pattern_error(PatternError{12, PatternErrorKind::MisplacedRest}, message);
  EXPECT_EQ(std::string_view(message, n),
            "':name...' must be the last positional element of a list at offset 12");
  EXPECT_EQ(pattern_error_name(refused.error()), "unexpected_end");
}

TEST(Match, OptionalsAndLookupsDoNotDisturbPositions) {
  // Lookups take no position, so items after them count from where the positionals left off.
  EXPECT_EQ(bindings("(a (b :x) :y)", "(a z (b 1:1))"), "x=1:1 y=1:z");
  // Lookups may follow a rest, and an optional lookup may come before required positionals.
  EXPECT_EQ(bindings("(a :r... (b :x))", "(a (b 1:1))"), "r=[(1:b1:1)] x=1:1");
  EXPECT_EQ(bindings("(a (::optional (b :x)) :y)", "(a c)"), "x=- y=1:c");
}

TEST(Match, DeepPatternsAndValuesWithAFixedCallStack) {
  // (a (a (a ... (a :x)))) 20000 deep against the same shape ending in (a end).
  std::string pattern;
  std::string value;
  for (int i = 0; i < 20000; ++i) {
    pattern += "(a ";
    value += "(a ";
  }
  pattern += ":x";
  value += "end";
  pattern.append(20000, ')');
  value.append(20000, ')');
  ReaderOptions deep;
  deep.max_depth = 30000;
  auto v = read_whole(deep, octets_of(value));
  ASSERT_TRUE(v.ok());
  auto pattern_value = read_whole(deep, octets_of(pattern));
  ASSERT_TRUE(pattern_value.ok());
  auto p = compile_pattern(*pattern_value);
  ASSERT_TRUE(p.ok());
  std::optional<Match> m = match(*p, *v);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(canonical(*m->get("x")), "3:end");
  // A repeated name compares two deep values without recursion.
  Value::List two;
  two.push_back(Value::atom(Octets(std::string_view("p"))));
  two.push_back(testing_trees::chain(100000, true));
  two.push_back(testing_trees::chain(100000, true));
  auto same = compile_pattern("(p :x :x)");
  ASSERT_TRUE(same.ok());
  EXPECT_TRUE(match(*same, Value::list(std::move(two))).has_value());
}

TEST(Match, DefaultConstructedObjectsAreInert) {
  const Value v = read("(a b)");
  EXPECT_FALSE(match(Pattern(), v).has_value());
  const Match none;
  EXPECT_EQ(none.get("x"), nullptr);
  EXPECT_TRUE(none.rest("x").empty());
  EXPECT_TRUE(none.names().empty());
}

}  // namespace
}  // namespace tarnel
