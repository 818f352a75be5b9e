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
