// The basic transport writer: the worked examples, the padding cases, the exact output length
// (and a single exact reservation) over random trees, and a long output kept on one line.
#include "tarnel/transport.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

#include "tarnel/base64.h"
#include "tarnel/canonical.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

using testing_trees::octets;

std::string transport(const Value& v) { return std::string(encode_transport(v).text()); }

TEST(Transport, WritesCanonicalFormInBase64BetweenBraces) {
  EXPECT_EQ(transport(Value::atom(octets("abc"))), "{MzphYmM=}");      // 3:abc
  EXPECT_EQ(transport(Value()), "{KCk=}");                             // ()
  EXPECT_EQ(transport(testing_trees::chain(3, false)), "{KCgoKSkp}");  // ((())), no pad
  EXPECT_EQ(transport(Value::atom(octets("a"))), "{MTph}");            // 1:a
  EXPECT_EQ(transport(Value::atom(octets("ab"))), "{MjphYg==}");       // 2:ab

  Value::List items;
  items.push_back(Value::atom(octets("abc")));
  items.push_back(Value::atom(octets("hello"), octets("text/plain")));
  items.push_back(Value());
  EXPECT_EQ(transport(Value::list(std::move(items))),
            "{KDM6YWJjWzEwOnRleHQvcGxhaW5dNTpoZWxsbygpKQ==}");
}

TEST(Transport, LengthIsExactAndBodyDecodesToCanonicalForm) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    Value v = testing_trees::random_tree(rng, 100);
    Buffer canonical = encode_canonical(v);
    Buffer out = encode_transport(v);
    const std::size_t n = canonical.size();
    ASSERT_EQ(out.size(), 4 * ((n + 2) / 3) + 2) << "seed " << seed;
    EXPECT_EQ(out.capacity(), out.size()) << "one exact reservation, seed " << seed;
    std::string_view text = out.text();
    ASSERT_EQ(text.front(), '{') << "seed " << seed;
    ASSERT_EQ(text.back(), '}') << "seed " << seed;
    auto body = base64_decode(out.view().subspan(1, out.size() - 2));
    ASSERT_TRUE(body) << "seed " << seed;
    EXPECT_EQ(body->text(), canonical.text()) << "seed " << seed;
  }
}

TEST(Transport, KeepsAMillionOctetAtomOnOneLine) {
  std::string data(1'000'000, '\n');
  std::string text = transport(Value::atom(octets(data)));
  // 1000000:<data> is 1,000,008 octets: 333,336 whole groups, no pad; LF LF LF is "CgoK".
  ASSERT_EQ(text.size(), 4u * 333'336 + 2);
  EXPECT_EQ(text.find_first_of(" \t\n\v\f\r"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 5), "CgoK}");
}

}  // namespace
}  // namespace tarnel
