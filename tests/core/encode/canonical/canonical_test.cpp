// The canonical writer: the forms of atoms, hints and lists, lengths at the powers of ten, octets
// copied untouched, deep trees without recursion, and the size pass agreeing with the output.
#include "tarnel/canonical.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

#include "tree_helpers.h"

namespace tarnel {
namespace {

using testing_trees::octets;

std::string canonical(const Value& v) {
  Buffer out = encode_canonical(v);
  EXPECT_EQ(out.size(), canonical_size(v));
  return std::string(out.text());
}

Value list_of(Value a, Value b, Value c) {
  Value::List items;
  items.push_back(std::move(a));
  items.push_back(std::move(b));
  items.push_back(std::move(c));
  return Value::list(std::move(items));
}

TEST(Canonical, WritesAtomsHintsAndLists) {
  EXPECT_EQ(canonical(Value::atom(octets("abc"))), "3:abc");
  EXPECT_EQ(canonical(Value::atom(octets(""))), "0:");
  EXPECT_EQ(canonical(Value::atom(octets(""), octets(""))), "[0:]0:");
  EXPECT_EQ(canonical(Value::atom(octets("x"), octets(""))), "[0:]1:x");
  EXPECT_EQ(canonical(Value::atom(octets("hello"), octets("text/plain"))),
            "[10:text/plain]5:hello");
  EXPECT_EQ(canonical(list_of(Value::atom(octets("abc")),
                              Value::atom(octets("hello"), octets("text/plain")), Value())),
            "(3:abc[10:text/plain]5:hello())");
  EXPECT_EQ(canonical(Value()), "()");
}

TEST(Canonical, LengthDigitsChangeExactlyAtPowersOfTen) {
  for (std::size_t n : {9u, 10u, 99u, 100u, 999u, 1000u, 9999u, 10000u}) {
    std::string data(n, 'z');
    std::string expected = std::to_string(n) + ":" + data;
    EXPECT_EQ(canonical(Value::atom(octets(data))), expected) << n;
    EXPECT_EQ(canonical(Value::atom(octets("d"), octets(data))), "[" + expected + "]1:d") << n;
  }
}

TEST(Canonical, CopiesEveryOctetUnchanged) {
  std::string data;
  for (int c = 0; c < 256; ++c) data.push_back(static_cast<char>(c));
  data += ":()[]";
  std::string hint("\0]\xff", 3);
  std::string out = canonical(Value::atom(octets(data), octets(hint)));
  EXPECT_EQ(out, "[3:" + hint + "]261:" + data);
}

TEST(Canonical, WritesDeepChainsWithoutRecursion) {
  EXPECT_EQ(canonical(testing_trees::chain(3, false)), "((()))");
  const std::size_t depth = 1'000'000;
  std::string out = canonical(testing_trees::chain(depth, false));
  ASSERT_EQ(out.size(), 2 * depth);
  EXPECT_EQ(out.find(')'), depth);
}

TEST(Canonical, SizeMatchesOutputOnRandomTrees) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    Value v = testing_trees::random_tree(rng, 200);
    Buffer out = encode_canonical(v);
    ASSERT_EQ(out.size(), canonical_size(v)) << "seed " << seed;
    ASSERT_GE(out.capacity(), out.size());
    // One reservation, never grown: the size plus the writer's room for two decimal lengths.
    ASSERT_LE(out.capacity(), out.size() + 64) << "one reservation, seed " << seed;
  }
}

}  // namespace
}  // namespace tarnel
