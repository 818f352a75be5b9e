// How much memory a read takes at its peak, for inputs built to make a reader allocate: lengths
// that promise more than the input holds, many empty lists, nesting at the depth limit, and
// base-64 and transport bodies made of whitespace. Measured with the counting allocator of this
// executable, as octets live at the peak beyond those live before the read.
//
// With limits set, the peak stays within a small factor of `max_input_len` (the reader never
// sizes anything from a length it has not yet seen in the input, nor from `max_atom_len`). With
// none set, it stays within a small factor of the input plus the tree read. The factors measured
// are printed; the bounds asserted leave some room above them. The largest with limits comes from
// lists: an empty list is two octets of text but a whole `Value` in the tree, and the stack of
// elements being read doubles as it grows, so "()" repeated peaks at about 40 octets per input
// octet (twice the tree), and nesting at the depth limit at about 21. Measured on x86-64 glibc:
// with limits, lying lengths ~0, atoms at the atom limit 1.02, base-64 and transport bodies of
// whitespace 0.75, empty lists 40.0, nesting at the limit 20.6 (times max_input_len); without
// limits at most 2.33 times input plus tree (many one-octet atoms).
#include <cstdint>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <span>
#include <string>
#include <vector>

#include "memory/counting_malloc.h"
#include "tarnel/canonical.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"

namespace tarnel {
namespace {

using memory_testing::live_octets;
using memory_testing::peak_octets;
using memory_testing::reset_peak;

constexpr std::uint64_t input_limit = 1 << 20;
constexpr std::uint64_t atom_limit = 4096;
constexpr std::uint64_t depth_limit = 64;
constexpr std::int64_t slack = 64 * 1024;  // fixed costs that do not grow with the input

std::string repeat(std::string_view s, std::size_t times) {
  std::string out;
  out.reserve(s.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

// `unit` repeated inside `open` and `close` as often as fits in `size` octets.
std::string fill(std::string_view open, std::string_view unit, std::string_view close,
                 std::uint64_t size) {
  const std::size_t times = (size - open.size() - close.size()) / unit.size();
  return std::string(open) + repeat(unit, times) + std::string(close);
}

std::string deep_at_limit(std::uint64_t size, std::uint64_t depth) {
  const std::string block = repeat("(", depth - 1) + repeat(")", depth - 1);
  return fill("(", block, ")", size);
}

std::string atoms_at_limit(std::uint64_t size) {
  const std::string atom = std::to_string(atom_limit) + ":" + std::string(atom_limit, 'x');
  return fill("(", atom, ")", size);
}

std::string wide_tree(std::uint64_t size) {
  return fill("(", "(3:abc[4:text]5:hello(1:a1:b)())", ")", size);
}

struct Measured {
  bool ok = false;
  std::int64_t peak = 0;      // most octets live at once during the read, beyond the baseline
  std::int64_t retained = 0;  // octets the tree read holds
};

Measured measure(const ReaderOptions& options, const std::string& input) {
  const std::span<const std::uint8_t> octets(reinterpret_cast<const std::uint8_t*>(input.data()),
                                             input.size());
  Measured m;
  const std::int64_t before = reset_peak();
  {
    Result<Value, ReadError> value = read_whole(options, octets);
    m.ok = value.ok();
    m.retained = live_octets() - before;
    m.peak = peak_octets() - before;
  }
  EXPECT_EQ(live_octets(), before) << "the read left memory behind";
  return m;
}

struct Case {
  const char* name;
  std::function<std::string()> input;
  bool reads;         // whether the read succeeds
  double max_factor;  // asserted bound, as a multiple of what the factor is taken against
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

ReaderOptions limited() {
  ReaderOptions o;
  o.max_input_len = input_limit;
  o.max_atom_len = atom_limit;
  o.max_depth = depth_limit;
  return o;
}

ReaderOptions unlimited() {
  ReaderOptions o;
  o.max_depth = no_limit;
  return o;
}

// With limits: peak <= factor * max_input_len + slack.
class WithLimits : public ::testing::TestWithParam<Case> {};

TEST_P(WithLimits, PeakStaysWithinAFactorOfTheInputLimit) {
  const Case& c = GetParam();
  const std::string input = c.input();
  ASSERT_LE(input.size(), input_limit + 1);  // one past, only where that is the point
  const Measured m = measure(limited(), input);
  EXPECT_EQ(m.ok, c.reads);
  const double factor = static_cast<double>(m.peak) / static_cast<double>(input_limit);
  std::printf("[ factor   ] %-28s peak %9lld octets = %6.3f x max_input_len\n", c.name,
              static_cast<long long>(m.peak), factor);
  EXPECT_LE(m.peak, static_cast<std::int64_t>(c.max_factor * input_limit) + slack);
}

INSTANTIATE_TEST_SUITE_P(
    Adversarial, WithLimits,
    ::testing::Values(
        Case{"huge_verbatim_length", [] { return std::string("(99999999999999:abc)"); }, false, 0},
        Case{"length_past_the_input", [] { return "(" + repeat("(", 60) + "1048000:abc"; }, false,
             0},
        Case{"lengths_before_forms",
             [] { return std::string("(999999999#61# 999999999|YQ| 999999999\"a\")"); }, false, 0},
        Case{"atoms_then_a_lie", [] { return atoms_at_limit(input_limit - 64) + "4294967296:"; },
             false, 1.5},
        Case{"atom_one_past_the_limit",
             [] {
               return "(" + std::to_string(atom_limit + 1) + ":" +
                      std::string(atom_limit + 1, 'x') + ")";
             },
             false, 0},
        Case{"quoted_far_past_the_limit", [] { return fill("\"", "a", "\"", input_limit); }, false,
             2.1},
        Case{"many_empty_lists", [] { return fill("(", "()", ")", input_limit); }, true, 48},
        Case{"nesting_at_the_depth_limit", [] { return deep_at_limit(input_limit, depth_limit); },
             true, 26},
        Case{"nesting_past_the_depth_limit",
             [] { return repeat("(", depth_limit + 1) + repeat(")", depth_limit + 1); }, false, 0},
        Case{"atoms_at_the_atom_limit", [] { return atoms_at_limit(input_limit); }, true, 1.5},
        Case{"base64_of_whitespace", [] { return fill("|", " ", "|", input_limit); }, true, 0.8},
        Case{"hexadecimal_of_whitespace", [] { return fill("#", " ", "#", input_limit); }, true, 0},
        Case{"transport_of_whitespace", [] { return fill("{", "\n", "}", input_limit); }, false,
             0.8},
        Case{"input_one_past_the_limit", [] { return std::string(input_limit + 1, '('); }, false,
             0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Without limits: peak <= factor * (input + tree) + slack.
class WithoutLimits : public ::testing::TestWithParam<Case> {};

TEST_P(WithoutLimits, PeakStaysWithinAFactorOfInputPlusTree) {
  const Case& c = GetParam();
  const std::string input = c.input();
  const Measured m = measure(unlimited(), input);
  EXPECT_EQ(m.ok, c.reads);
  const double base = static_cast<double>(input.size()) + static_cast<double>(m.retained);
  const double factor = static_cast<double>(m.peak) / base;
  std::printf("[ factor   ] %-28s input %8zu tree %9lld peak %9lld = %5.2f x (input + tree)\n",
              c.name, input.size(), static_cast<long long>(m.retained),
              static_cast<long long>(m.peak), factor);
  EXPECT_LE(m.peak, static_cast<std::int64_t>(c.max_factor * base) + slack);
}

std::string as_text(const Buffer& b) { return std::string(b.text()); }

INSTANTIATE_TEST_SUITE_P(
    Hostile, WithoutLimits,
    ::testing::Values(
        Case{"wide_tree", [] { return wide_tree(4 << 20); }, true, 3},
        Case{"many_empty_lists", [] { return fill("(", "()", ")", 4 << 20); }, true, 3},
        Case{"many_short_atoms", [] { return fill("(", "1:a", ")", 4 << 20); }, true, 3},
        Case{"deep_nesting", [] { return repeat("(", 200000) + repeat(")", 200000); }, true, 3},
        Case{"long_verbatim_atom",
             [] { return std::to_string(4 << 20) + ":" + std::string(4 << 20, 'x'); }, true, 3},
        Case{"long_quoted_atom", [] { return fill("\"", "a", "\"", 4 << 20); }, true, 3},
        Case{"long_hexadecimal_atom", [] { return fill("#", "6a", "#", 4 << 20); }, true, 3},
        Case{"base64_of_whitespace", [] { return fill("|", " ", "|", 4 << 20); }, true, 3},
        Case{"transport_of_a_wide_tree",
             [] {
               const std::string tree = wide_tree(3 << 20);
               Result<Value, ReadError> parsed = read_whole(
                   default_options,
                   std::span(reinterpret_cast<const std::uint8_t*>(tree.data()), tree.size()));
               return as_text(encode_transport(*parsed));
             },
             true, 3}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnel
