// The advanced writer: the form chosen for each octet string (token, quoted with its escapes,
// hexadecimal) at every class boundary, hints in brackets, single spaces between list elements,
// and trees a million deep written without recursion.
#include "tarnel/advanced.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>

#include "tree_helpers.h"

namespace tarnel {
namespace {

using testing_trees::octets;

std::string advanced(const Value& v) { return std::string(encode_advanced(v).text()); }

Value list_of(std::initializer_list<Value*> items) {
  Value::List elements;
  for (Value* item : items) elements.push_back(std::move(*item));
  return Value::list(std::move(elements));
}

// ---- One octet string --------------------------------------------------------------------------

struct FormCase {
  std::string_view octets;
  std::string_view text;
};

class AdvancedOctetString : public ::testing::TestWithParam<FormCase> {};

TEST_P(AdvancedOctetString, WritesChosenForm) {
  const FormCase& c = GetParam();
  Buffer out;
  out.append(std::string_view("junk"));
  write_octet_string(octets(c.octets).view(), out);
  EXPECT_EQ(out.text(), "junk" + std::string(c.text));
  EXPECT_EQ(advanced(Value::atom(octets(c.octets))), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, AdvancedOctetString,
    ::testing::Values(FormCase{"abc", "abc"}, FormCase{"a1", "a1"}, FormCase{"_x:y=z", "_x:y=z"},
                      FormCase{"-", "-"}, FormCase{"Z", "Z"}, FormCase{"*", "*"},
                      FormCase{"+", "+"}, FormCase{".", "."}, FormCase{"/", "/"},
                      FormCase{":", ":"}, FormCase{"=", "="}, FormCase{"_", "_"},
                      FormCase{"text/plain", "text/plain"}, FormCase{"x0123456789", "x0123456789"},
                      FormCase{"abc-1.2", "abc-1.2"},
                      FormCase{"a_long_token_past_the_inline_size",
                               "a_long_token_past_the_inline_size"}));

INSTANTIATE_TEST_SUITE_P(
    Quoted, AdvancedOctetString,
    ::testing::Values(FormCase{"", "\"\""}, FormCase{"3abc", "\"3abc\""}, FormCase{"1", "\"1\""},
                      FormCase{"0", "\"0\""}, FormCase{"a b", "\"a b\""}, FormCase{" ", "\" \""},
                      FormCase{"a\nb\"c\\", R"("a\nb\"c\\")"},
                      FormCase{"a\rb\fc\vd\be", R"("a\rb\fc\vd\be")"},
                      FormCase{"\a\t", R"("\a\t")"}, FormCase{"it's", "\"it's\""},
                      FormCase{"x~", "\"x~\""}, FormCase{"a,b", "\"a,b\""},
                      // Printable octets that are not token characters go in as they are.
                      FormCase{"!#$%&'()<>?@[]^`{|};", "\"!#$%&'()<>?@[]^`{|};\""},
                      // Token-like until a later octet that no token may hold.
                      FormCase{"abc def", "\"abc def\""}, FormCase{"abc!", "\"abc!\""},
                      FormCase{"\"", R"("\"")"}, FormCase{"\\", R"("\\")"}));

INSTANTIATE_TEST_SUITE_P(Hexadecimal, AdvancedOctetString,
                         ::testing::Values(FormCase{std::string_view("\x00\xff", 2), "#00ff#"},
                                           FormCase{"\x7f", "#7f#"}, FormCase{"\x1b", "#1b#"},
                                           FormCase{"\xc3\xa9", "#c3a9#"}, FormCase{"\x06", "#06#"},
                                           FormCase{"\x0e", "#0e#"}, FormCase{"\x1f", "#1f#"},
                                           FormCase{"\x80", "#80#"}, FormCase{"\xAB\xCD", "#abcd#"},
                                           // One such octet makes the whole string hexadecimal.
                                           FormCase{"abc\x01", "#61626301#"},
                                           FormCase{"a b\n\x7f", "#6120620a7f#"}));

// The form by its rule, an octet at a time: a token where the first octet may begin one and
// every octet continue one, hexadecimal where any octet is unprintable and has no escape letter,
// else quoted with "\\" before '"' and '\\' and letters for 0x07-0x0D.
std::string form_by_rule(std::string_view s) {
  const std::string_view punctuation = "*+-./:=_";
  auto letter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  auto token_first = [&](unsigned char c) {
    return letter(c) || punctuation.find(static_cast<char>(c)) != std::string_view::npos;
  };
  auto token_rest = [&](unsigned char c) { return token_first(c) || (c >= '0' && c <= '9'); };
  bool token = !s.empty() && token_first(static_cast<unsigned char>(s[0]));
  bool hex = false;
  for (unsigned char c : s) {
    token = token && token_rest(c);
    hex = hex || ((c < 0x07 || c > 0x0D) && (c < 0x20 || c > 0x7E));
  }
  if (token) return std::string(s);
  std::string out;
  if (hex) {
    const char* digits = "0123456789abcdef";
    out = "#";
    for (unsigned char c : s) out += {digits[c >> 4], digits[c & 15]};
    return out + "#";
  }
  out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x07 && c <= 0x0D) {
      out += {'\\', "abtnvfr"[c - 0x07]};
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

TEST(Advanced, ChoosesTheFormByTheRuleWhereverTheDecidingOctetStands) {
  // Strings of the classes that decide the form, one deciding octet at every position of
  // strings up to 40 octets long, so that it falls in each place of the eight-octet words.
  const std::string_view fillers[] = {"a", "1", " ", "~", "/"};
  const unsigned char deciders[] = {'b', '0', ' ', '"', '\\', '\n', 0x07, 0x0D, 0x06, 0x0E,
                                    0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x00, '!', '_'};
  for (std::string_view filler : fillers) {
    for (std::size_t n = 1; n <= 40; ++n) {
      for (std::size_t at = 0; at < n; ++at) {
        for (unsigned char decider : deciders) {
          std::string s;
          for (std::size_t i = 0; i < n; ++i) s += filler;
          s[at] = static_cast<char>(decider);
          Buffer out;
          write_octet_string(octets(s).view(), out);
          ASSERT_EQ(out.text(), form_by_rule(s)) << "filler " << filler << " at " << at;
        }
      }
    }
  }
}

// ---- Atoms with hints, and lists ---------------------------------------------------------------

TEST(Advanced, WritesHintsInBracketsBeforeTheirData) {
  EXPECT_EQ(advanced(Value::atom(octets("hello"), octets("text/plain"))), "[text/plain]hello");
  EXPECT_EQ(advanced(Value::atom(octets("x"), octets(""))), "[\"\"]x");
  EXPECT_EQ(advanced(Value::atom(octets(""), octets(""))), "[\"\"]\"\"");
  EXPECT_EQ(advanced(Value::atom(octets(""))), "\"\"");
  // Each octet string chooses its own form.
  EXPECT_EQ(advanced(Value::atom(octets(std::string_view("\x00\xff", 2)), octets("text/plain"))),
            "[text/plain]#00ff#");
  EXPECT_EQ(advanced(Value::atom(octets("a b"), octets("\x01"))), "[#01#]\"a b\"");
}

TEST(Advanced, SeparatesListElementsBySingleSpaces) {
  EXPECT_EQ(advanced(Value()), "()");
  EXPECT_EQ(advanced(testing_trees::chain(3, false)), "((()))");

  Value abc = Value::atom(octets("abc"));
  Value hello = Value::atom(octets("hello"), octets("text/plain"));
  Value empty;
  EXPECT_EQ(advanced(list_of({&abc, &hello, &empty})), "(abc [text/plain]hello ())");

  Value a = Value::atom(octets("a"));
  EXPECT_EQ(advanced(list_of({&a})), "(a)");

  Value x = Value::atom(octets("x"));
  Value inner1;
  Value inner2;
  Value y = Value::atom(octets("y z"));
  Value nested = list_of({&inner2, &y});
  EXPECT_EQ(advanced(list_of({&inner1, &x, &nested})), "(() x (() \"y z\"))");
}

TEST(Advanced, WritesAMillionDeepWithoutRecursion) {
  const std::size_t depth = 1'000'000;
  std::string bare = advanced(testing_trees::chain(depth, false));
  ASSERT_EQ(bare.size(), 2 * depth);
  EXPECT_EQ(bare.find(')'), depth);
  EXPECT_EQ(bare.find_last_of('('), depth - 1);

  // (a (a ... (a ()) ...)): "(a " for each outer level, "()", and the closing parentheses.
  std::string with_atoms = advanced(testing_trees::chain(depth, true));
  ASSERT_EQ(with_atoms.size(), 3 * (depth - 1) + 2 + (depth - 1));
  EXPECT_EQ(with_atoms.substr(0, 6), "(a (a ");
  EXPECT_EQ(with_atoms.substr(3 * (depth - 1) - 3, 7), "(a ()))");
  EXPECT_EQ(with_atoms.find_first_not_of(')', 3 * (depth - 1) + 2), std::string::npos);
}

}  // namespace
}  // namespace tarnel
