// The driver reads short verbatim strings inside lists by a quick path and leaves everything else
// to the octet-string reader. These cases sit on the quick path's edges: one more digit, one
// octet missing, the atom limit, leading zeros; each must read or fail exactly as the full
// reader does.
#include <gtest/gtest.h>
#include <string>

#include "read_helpers.h"

namespace tarnel::read_testing {
namespace {

TEST(ShortVerbatim, ReadsEveryLengthUpToNineDigits) {
  EXPECT_EQ(read_text("(1:a)", canonical_options), "(1:a)");
  const std::string ten(10, 'x');
  EXPECT_EQ(read_text("(10:" + ten + ")", canonical_options), "(10:" + ten + ")");
  EXPECT_EQ(read_text("(3:a)c2:de)", canonical_options), "(3:a)c2:de)");
}

TEST(ShortVerbatim, LongLengthsStillFailWhereTheFullReaderDoes) {
  // Nine digits, too few octets: the quick path declines; the end is reported.
  EXPECT_EQ(read_text("(999999999:abc)", canonical_options), "unexpected_end@15");
  EXPECT_EQ(read_text("(1000000000:abc)", canonical_options), "unexpected_end@16");
  EXPECT_EQ(read_text("(99999999999999999999:a)", canonical_options), "length_overflow@1");
}

TEST(ShortVerbatim, RefusalsKeepTheirKindAndOffset) {
  EXPECT_EQ(read_text("(2:a", canonical_options), "unexpected_end@4");
  //                      ^ one octet short, at the end of the input
  EXPECT_EQ(read_text("(3:abc", canonical_options), "unexpected_end@6");
  EXPECT_EQ(read_text("(12", canonical_options), "unexpected_end@3");
  EXPECT_EQ(read_text("(01:a)", canonical_options), "length_leading_zero@1");
  EXPECT_EQ(read_text("(0:)", without({&ReaderOptions::allow_empty_atoms})),
            "empty_atom_not_allowed@1");
  EXPECT_EQ(read_text("(3abc)", canonical_options), "unexpected_octet@2");
  EXPECT_EQ(read_text("(3\"abc\")", canonical_options), "advanced_not_allowed@1");
}

TEST(ShortVerbatim, HonoursTheAtomLimit) {
  EXPECT_EQ(read_text("(3:abc)", with_max_atom_len(3)), "(3:abc)");
  EXPECT_EQ(read_text("(1:a4:abcd)", with_max_atom_len(3)), "atom_too_long@4");
  //                        ^ the string of four octets
}

}  // namespace
}  // namespace tarnel::read_testing
