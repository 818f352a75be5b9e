// Error kinds and their display: the fixed order, short names (those Python's ParseError.kind
// gives) and messages of all 24 kinds, and the display text, whose offset prints in full decimal
// up to 2^64-1, into a caller's array and into a std::string alike.
#include "tarnel/error.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <string_view>

namespace tarnel {
namespace {

struct KindRow {
  ErrorKind kind;
  int ordinal;
  std::string_view name;
  std::string_view message;
};

class EveryKind : public ::testing::TestWithParam<KindRow> {};

TEST_P(EveryKind, HasItsOrdinalNameAndMessage) {
  const KindRow& row = GetParam();
  EXPECT_EQ(static_cast<int>(row.kind), row.ordinal);
  EXPECT_EQ(error_kind_name(row.kind), row.name);
  EXPECT_EQ(error_kind_message(row.kind), row.message);
}

TEST_P(EveryKind, DisplaysMessageAndOffset) {
  const KindRow& row = GetParam();
  char out[error_display_capacity];
  std::size_t n = format_read_error({7, row.kind}, out);
  EXPECT_EQ(std::string_view(out, n), std::string(row.message) + " at offset 7");
  n = format_read_error({std::numeric_limits<std::uint64_t>::max(), row.kind}, out);
  EXPECT_LE(n, error_display_capacity);
  EXPECT_EQ(std::string_view(out, n), std::string(row.message) + " at offset 18446744073709551615");
  EXPECT_EQ(to_string({std::numeric_limits<std::uint64_t>::max(), row.kind}),
            std::string_view(out, n));
  EXPECT_EQ(to_string({7, row.kind}), std::string(row.message) + " at offset 7");
}

INSTANTIATE_TEST_SUITE_P(
    Table, EveryKind,
    ::testing::Values(
        KindRow{ErrorKind::UnexpectedEnd, 0, "unexpected_end",
                "the input ended in the middle of an S-expression"},
        KindRow{ErrorKind::UnexpectedOctet, 1, "unexpected_octet",
                "an octet that cannot appear here"},
        KindRow{ErrorKind::TrailingOctets, 2, "trailing_octets",
                "octets after a complete S-expression"},
        KindRow{ErrorKind::UnmatchedParenthesis, 3, "unmatched_parenthesis",
                "a closing parenthesis with no list open"},
        KindRow{ErrorKind::LengthLeadingZero, 4, "length_leading_zero",
                "a length with a leading zero"},
        KindRow{ErrorKind::LengthOverflow, 5, "length_overflow", "a length too large to represent"},
        KindRow{ErrorKind::LengthMismatch, 6, "length_mismatch",
                "a length that disagrees with the octets it counts"},
        KindRow{ErrorKind::InvalidEscape, 7, "invalid_escape", "an escape that is not defined"},
        KindRow{ErrorKind::InvalidHexDigit, 8, "invalid_hex_digit",
                "an octet that is not a hexadecimal digit"},
        KindRow{ErrorKind::OddHexDigits, 9, "odd_hex_digits",
                "an odd number of hexadecimal digits"},
        KindRow{ErrorKind::InvalidBase64, 10, "invalid_base64",
                "an octet that does not belong in a base-64 encoding"},
        KindRow{ErrorKind::HintOnList, 11, "hint_on_list", "a display hint before a list"},
        KindRow{ErrorKind::TooDeep, 12, "too_deep", "lists nested deeper than allowed"},
        KindRow{ErrorKind::AtomTooLong, 13, "atom_too_long", "an octet string longer than allowed"},
        KindRow{ErrorKind::InputTooLong, 14, "input_too_long", "input longer than allowed"},
        KindRow{ErrorKind::HintNotAllowed, 15, "hint_not_allowed",
                "a display hint, which is not allowed"},
        KindRow{ErrorKind::EmptyAtomNotAllowed, 16, "empty_atom_not_allowed",
                "a zero-length octet string, which is not allowed"},
        KindRow{ErrorKind::EmptyListNotAllowed, 17, "empty_list_not_allowed",
                "an empty list, which is not allowed"},
        KindRow{ErrorKind::ListAsFirstElementNotAllowed, 18, "list_as_first_element_not_allowed",
                "a list as the first element of a list, which is not allowed"},
        KindRow{ErrorKind::AdvancedNotAllowed, 19, "advanced_not_allowed",
                "the advanced representation, which is not allowed"},
        KindRow{ErrorKind::TransportNotAllowed, 20, "transport_not_allowed",
                "the basic transport representation, which is not allowed"},
        KindRow{ErrorKind::HexadecimalNotAllowed, 21, "hexadecimal_not_allowed",
                "a hexadecimal octet string, which is not allowed"},
        KindRow{ErrorKind::Base64NotAllowed, 22, "base64_not_allowed",
                "a base-64 octet string, which is not allowed"},
        KindRow{ErrorKind::LengthNotAllowed, 23, "length_not_allowed",
                "a length before an octet string, which is not allowed"}),
    [](const ::testing::TestParamInfo<KindRow>& info) { return std::string(info.param.name); });

TEST(ReadError, KindIsOneOctetAndThereAreTwentyFour) {
  static_assert(sizeof(ErrorKind) == 1);
  EXPECT_EQ(error_kind_count, 24u);
  EXPECT_EQ(static_cast<std::size_t>(ErrorKind::LengthNotAllowed) + 1, error_kind_count);
}

TEST(ReadError, OffsetPrintsInPlainDecimal) {
  struct Row {
    std::uint64_t offset;
    std::string_view digits;
  };

  for (const Row& row :
       {Row{0, "0"}, Row{9, "9"}, Row{10, "10"}, Row{100, "100"}, Row{1000000007, "1000000007"},
        Row{std::uint64_t{1} << 63, "9223372036854775808"},
        Row{10000000000000000000u, "10000000000000000000"}}) {
    char out[error_display_capacity];
    std::size_t n = format_read_error({row.offset, ErrorKind::EmptyListNotAllowed}, out);
    EXPECT_EQ(std::string_view(out, n),
              "an empty list, which is not allowed at offset " + std::string(row.digits));
  }
  char out[error_display_capacity];
  std::size_t n = format_read_error({0, ErrorKind::UnexpectedEnd}, out);
  EXPECT_EQ(std::string_view(out, n),
            "the input ended in the middle of an S-expression at offset 0");
}

TEST(ReadError, ComparesByKindAndOffset) {
  EXPECT_EQ((ReadError{3, ErrorKind::TooDeep}), (ReadError{3, ErrorKind::TooDeep}));
  EXPECT_NE((ReadError{3, ErrorKind::TooDeep}), (ReadError{4, ErrorKind::TooDeep}));
  EXPECT_NE((ReadError{3, ErrorKind::TooDeep}), (ReadError{3, ErrorKind::AtomTooLong}));
}

}  // namespace
}  // namespace tarnel
