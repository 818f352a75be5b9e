// Trees for tests: deep chains, combs, and seeded random trees, all built without recursion.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnel/value.h"

namespace tarnel::testing_trees {

inline Octets octets(std::string_view s) { return Octets{s}; }

/// The tree that `shape` spells: '(' and ')' for lists, any other character an atom that
/// `atom_for(c)` makes. `shape` holds one whole S-expression.
template <class AtomFor>
Value from_shape(std::string_view shape, AtomFor atom_for) {
  std::vector<Value::List> open(1);
  for (char c : shape) {
    if (c == '(') {
      open.emplace_back();
    } else if (c == ')') {
      Value done = Value::list(std::move(open.back()));
      open.pop_back();
      open.back().push_back(std::move(done));
    } else {
      open.back().push_back(atom_for(c));
    }
  }
  return std::move(open.back().front());
}

/// A list nested `depth` deep: (((...))) with, optionally, an atom beside each inner list.
inline Value chain(std::size_t depth, bool with_atoms) {
  Value v;  // innermost: an empty list
  for (std::size_t i = 1; i < depth; ++i) {
    Value::List items;
    if (with_atoms) items.push_back(Value::atom(octets("a")));
    items.push_back(std::move(v));
    v = Value::list(std::move(items));
  }
  return v;
}

/// A list nested `depth` deep where every level has an atom, a leaf list and the next level.
inline Value comb(std::size_t depth) {
  Value v = Value::atom(octets("leaf"));
  for (std::size_t i = 0; i < depth; ++i) {
    Value::List items;
    items.push_back(std::move(v));
    items.push_back(Value::atom(octets("x"), octets("h")));
    Value::List leaf;
    leaf.push_back(Value::atom(octets("y")));
    items.push_back(Value::list(std::move(leaf)));
    v = Value::list(std::move(items));
  }
  return v;
}

/// A seeded random tree: octets of every kind (empty, binary, printable, token-like), hints
/// absent, empty and present, empty and nested lists. Built bottom-up with a heap stack.
inline Value random_tree(std::mt19937_64& rng, std::size_t max_nodes) {
  auto random_octets = [&rng]() {
    std::string s;
    switch (rng() % 6) {
      case 0:
        break;   // empty
      case 1: {  // binary
        std::size_t n = rng() % 40;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(rng() & 0xFF));
        break;
      }
      case 2: {  // printable with specials
        const std::string_view alphabet = "ab \"\\'#|()[]{}\t\n\r\a\b\v\f;:=-_./*+09";
        std::size_t n = rng() % 20;
        for (std::size_t i = 0; i < n; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
        break;
      }
      case 3: {  // token-like
        const char* alphabet = "abcXYZ019-./_:*+=";
        std::size_t n = 1 + rng() % 10;
        for (std::size_t i = 0; i < n; ++i) s.push_back(alphabet[rng() % 17]);
        break;
      }
      case 4: {  // long
        std::size_t n = 17 + rng() % 300;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(rng() & 0xFF));
        break;
      }
      default:
        s = std::to_string(rng() % 1000);
    }
    return Octets{std::string_view(s)};
  };
  auto random_atom = [&]() {
    switch (rng() % 4) {
      case 0:
        return Value::atom(random_octets(), Octets{});
      case 1:
        return Value::atom(random_octets(), random_octets());
      default:
        return Value::atom(random_octets());
    }
  };
  std::size_t budget = 1 + rng() % max_nodes;
  std::vector<Value::List> open;
  open.emplace_back();
  for (std::size_t i = 0; i < budget; ++i) {
    std::uint64_t r = rng() % 10;
    if (r < 3 && open.size() < 64) {
      open.emplace_back();
    } else if (r < 5 && open.size() > 1) {
      Value done = Value::list(std::move(open.back()));
      open.pop_back();
      open.back().push_back(std::move(done));
    } else {
      open.back().push_back(random_atom());
    }
  }
  while (open.size() > 1) {
    Value done = Value::list(std::move(open.back()));
    open.pop_back();
    open.back().push_back(std::move(done));
  }
  Value::List top = std::move(open.back());
  if (top.size() == 1 && rng() % 2 == 0) return std::move(top[0]);
  return Value::list(std::move(top));
}

}  // namespace tarnel::testing_trees
