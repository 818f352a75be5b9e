// Every writer's output read back with the default options gives the value that was written,
// compared through its canonical form (which keeps atoms, hints and list structure apart): over
// every tree of up to six nodes built from a few atoms of different written forms, over seeded
// random trees, and over trees as deep as the default options allow.
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

using testing_trees::octets;

struct Writer {
  std::string_view name;
  Buffer (*write)(const Value&);
};

constexpr Writer writers[] = {
    {"canonical", encode_canonical},
    {"transport", encode_transport},
    {"advanced", encode_advanced},
};

// Writes `v` with every writer, checks the shape of each text, and reads it back. Returns a
// description of the first fault, or an empty string.
std::string round_trip_fault(const Value& v) {
  const Buffer expected = encode_canonical(v);
  for (const Writer& writer : writers) {
    const Buffer text = writer.write(v);
    auto fault = [&](std::string_view what) {
      return std::string(writer.name) + " wrote \"" + std::string(text.text()) +
             "\": " + std::string(what);
    };
    if (writer.write == encode_transport) {
      const std::size_t n = expected.size();
      if (text.size() != 4 * ((n + 2) / 3) + 2) return fault("wrong length");
    }
    if (writer.write == encode_advanced) {
      for (std::uint8_t c : text.view()) {
        if (c < 0x20 || c > 0x7E) return fault("not one line of printable ASCII");
      }
    }
    Result<Value, ReadError> back = read_whole(default_options, text.view());
    if (!back) {
      return fault("refused, " + std::string(error_kind_name(back.error().kind)) + " at " +
                   std::to_string(back.error().offset));
    }
    const Buffer again = encode_canonical(*back);
    if (again.text() != expected.text()) {
      return fault("read back as \"" + std::string(again.text()) + "\", not \"" +
                   std::string(expected.text()) + "\"");
    }
  }
  return {};
}

// The tiny alphabet: atoms that between them take every written form, for data and hints.
Value tiny_atom(char which) {
  switch (which) {
    case 'a':
      return Value::atom(octets("a"));  // a token
    case 'e':
      return Value::atom(octets(""));  // empty, quoted
    case 'q':
      return Value::atom(octets("1 \"\t"), octets(""));  // quoted with escapes; empty hint
    case 'x':
      return Value::atom(octets(std::string_view("\0\xff", 2)), octets("t/p"));  // hex; token hint
    default:
      return Value::atom(octets("-"), octets("\x80 "));  // token; hexadecimal hint
  }
}

// Builds the tree that `shape` spells: '(' and ')' for lists, a letter for a tiny atom.
Value build(std::string_view shape) { return testing_trees::from_shape(shape, tiny_atom); }

// Every spelling of one element with at most `max_nodes` nodes (a list or an atom is one node).
std::vector<std::string> all_shapes(std::size_t max_nodes) {
  struct Partial {
    std::string shape;
    std::size_t open;
    std::size_t nodes;
  };

  std::vector<std::string> shapes;
  std::vector<Partial> work{{"", 0, 0}};
  while (!work.empty()) {
    Partial p = std::move(work.back());
    work.pop_back();
    if (!p.shape.empty() && p.open == 0) {
      shapes.push_back(p.shape);
      continue;
    }
    if (p.open != 0) work.push_back({p.shape + ')', p.open - 1, p.nodes});
    if (p.nodes == max_nodes) continue;
    work.push_back({p.shape + '(', p.open + 1, p.nodes + 1});
    for (char atom : std::string_view("aeqxh")) {
      work.push_back({p.shape + atom, p.open, p.nodes + 1});
    }
  }
  return shapes;
}

TEST(RoundTrip, EveryTreeOfUpToSixNodes) {
  const std::vector<std::string> shapes = all_shapes(6);
  // By size: 6 (five atoms and an empty list), 6, 42, 330, 2814, 25422.
  ASSERT_EQ(shapes.size(), 28'620u);
  for (const std::string& shape : shapes) {
    std::string fault = round_trip_fault(build(shape));
    ASSERT_EQ(fault, "") << "shape " << shape;
  }
}

TEST(RoundTrip, SeededRandomTrees) {
  for (std::uint64_t seed = 1; seed <= 1000; ++seed) {
    std::mt19937_64 rng(seed);
    std::string fault = round_trip_fault(testing_trees::random_tree(rng, 300));
    ASSERT_EQ(fault, "") << "seed " << seed;
  }
}

TEST(RoundTrip, TreesAsDeepAsTheDefaultLimit) {
  EXPECT_EQ(round_trip_fault(testing_trees::chain(default_max_depth, false)), "");
  EXPECT_EQ(round_trip_fault(testing_trees::chain(default_max_depth, true)), "");
  EXPECT_EQ(round_trip_fault(testing_trees::comb(default_max_depth - 1)), "");
}

TEST(RoundTrip, EveryOctetAsDataAndAsHint) {
  for (int c = 0; c < 256; ++c) {
    std::string one(1, static_cast<char>(c));
    for (std::string data : {one, one + one, "a" + one, one + "a b"}) {
      std::string fault = round_trip_fault(Value::atom(octets(data), octets(one)));
      EXPECT_EQ(fault, "") << "octet " << c;
      fault = round_trip_fault(Value::atom(octets(data)));
      EXPECT_EQ(fault, "") << "octet " << c;
    }
  }
}

}  // namespace
}  // namespace tarnel
