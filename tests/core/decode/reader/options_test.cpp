// The option presets and the inner options of a transport form: which fields each fixes, and
// that the inner set copies every limit and flag of the outer one except the two it forbids.
#include "tarnel/options.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace tarnel {
namespace {

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

TEST(ReaderOptions, DefaultsAllowStandardTextAtDepth1024WithoutLengthLimits) {
  // Designated initialisers must follow declaration order, so this also pins the field order.
  constexpr ReaderOptions expected{.max_depth = 1024,
                                   .max_atom_len = unlimited,
                                   .max_input_len = unlimited,
                                   .allow_advanced = true,
                                   .allow_transport = true,
                                   .allow_display_hints = true,
                                   .allow_empty_atoms = true,
                                   .allow_empty_lists = true,
                                   .allow_list_as_first_element = true,
                                   .allow_hexadecimal = true,
                                   .allow_base64 = true,
                                   .allow_lengths = true,
                                   .allow_raw_octets = false};
  EXPECT_EQ(default_options, expected);
  EXPECT_EQ(ReaderOptions{}, expected);
  EXPECT_EQ(no_limit, unlimited);
  EXPECT_EQ(default_max_depth, 1024u);
}

TEST(ReaderOptions, CanonicalForbidsOnlyAdvancedAndTransport) {
  ReaderOptions expected = default_options;
  expected.allow_advanced = false;
  expected.allow_transport = false;
  EXPECT_EQ(canonical_options, expected);
}

// Outer sets with each field away from its default in turn, and all at once.
TEST(ReaderOptions, TransportInnerCopiesAllButAdvancedAndTransport) {
  using Flag = bool ReaderOptions::*;
  const Flag flags[] = {
      &ReaderOptions::allow_advanced,      &ReaderOptions::allow_transport,
      &ReaderOptions::allow_display_hints, &ReaderOptions::allow_empty_atoms,
      &ReaderOptions::allow_empty_lists,   &ReaderOptions::allow_list_as_first_element,
      &ReaderOptions::allow_hexadecimal,   &ReaderOptions::allow_base64,
      &ReaderOptions::allow_lengths};
  std::vector<ReaderOptions> outers;
  for (Flag f : flags) {
    ReaderOptions o;
    o.*f = false;
    outers.push_back(o);
  }
  ReaderOptions all_off{.max_depth = 3, .max_atom_len = 5, .max_input_len = 7};
  for (Flag f : flags) all_off.*f = false;
  outers.push_back(all_off);
  outers.push_back(ReaderOptions{.max_depth = 0, .max_atom_len = 0, .max_input_len = 0});
  outers.push_back(ReaderOptions{.allow_raw_octets = true});

  for (const ReaderOptions& outer : outers) {
    const ReaderOptions inner = transport_inner_options(outer);
    EXPECT_FALSE(inner.allow_advanced);
    EXPECT_FALSE(inner.allow_transport);
    ReaderOptions expected = outer;
    expected.allow_advanced = false;
    expected.allow_transport = false;
    EXPECT_EQ(inner, expected);
  }
}

}  // namespace
}  // namespace tarnel
