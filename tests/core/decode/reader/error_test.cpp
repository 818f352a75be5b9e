// Error kinds and their display: the fixed order, names and messages of all 24 kinds, and the
// display text, whose offset prints in full decimal up to 2^64-1.
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
}

INSTANTIATE_TEST_SUITE_P(
    Table, EveryKind,
    ::testing::Values(
        KindRow{ErrorKind::UnexpectedEnd, 0, "UnexpectedEnd",
                "the input ended in the middle of an S-expression"},
        KindRow{ErrorKind::UnexpectedOctet, 1, "UnexpectedOctet",
                "an octet that cannot appear here"},
        KindRow{ErrorKind::TrailingOctets, 2, "TrailingOctets",
                "octets after a complete S-expression"},
        KindRow{ErrorKind::UnmatchedParenthesis, 3, "UnmatchedParenthesis",
                "a closing parenthesis with no list open"},
        KindRow{ErrorKind::LengthLeadingZero, 4, "LengthLeadingZero",
                "a length with a leading zero"},
        KindRow{ErrorKind::LengthOverflow, 5, "LengthOverflow", "a length too large to represent"},
        KindRow{ErrorKind::LengthMismatch, 6, "LengthMismatch",
                "a length that disagrees with the octets it counts"},
        KindRow{ErrorKind::InvalidEscape, 7, "InvalidEscape", "an escape that is not defined"},
        KindRow{ErrorKind::InvalidHexDigit, 8, "InvalidHexDigit",
                "an octet that is not a hexadecimal digit"},
        KindRow{ErrorKind::OddHexDigits, 9, "OddHexDigits", "an odd number of hexadecimal digits"},
        KindRow{ErrorKind::InvalidBase64, 10, "InvalidBase64",
                "an octet that does not belong in a base-64 encoding"},
        KindRow{ErrorKind::HintOnList, 11, "HintOnList", "a display hint before a list"},
        KindRow{ErrorKind::TooDeep, 12, "TooDeep", "lists nested deeper than allowed"},
        KindRow{ErrorKind::AtomTooLong, 13, "AtomTooLong", "an octet string longer than allowed"},
        KindRow{ErrorKind::InputTooLong, 14, "InputTooLong", "input longer than allowed"},
        KindRow{ErrorKind::HintNotAllowed, 15, "HintNotAllowed",
                "a display hint, which is not allowed"},
        KindRow{ErrorKind::EmptyAtomNotAllowed, 16, "EmptyAtomNotAllowed",
                "a zero-length octet string, which is not allowed"},
        KindRow{ErrorKind::EmptyListNotAllowed, 17, "EmptyListNotAllowed",
                "an empty list, which is not allowed"},
        KindRow{ErrorKind::ListAsFirstElementNotAllowed, 18, "ListAsFirstElementNotAllowed",
                "a list as the first element of a list, which is not allowed"},
        KindRow{ErrorKind::AdvancedNotAllowed, 19, "AdvancedNotAllowed",
                "the advanced representation, which is not allowed"},
        KindRow{ErrorKind::TransportNotAllowed, 20, "TransportNotAllowed",
                "the basic transport representation, which is not allowed"},
        KindRow{ErrorKind::HexadecimalNotAllowed, 21, "HexadecimalNotAllowed",
                "a hexadecimal octet string, which is not allowed"},
        KindRow{ErrorKind::Base64NotAllowed, 22, "Base64NotAllowed",
                "a base-64 octet string, which is not allowed"},
        KindRow{ErrorKind::LengthNotAllowed, 23, "LengthNotAllowed",
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
