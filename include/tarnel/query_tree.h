// How the queries (find, and the pattern matcher of match.h) see a tree. Each is written once, as
// a template over a tree adapter, so that the same code walks a `Value` here and a tree of Python
// objects in the binding, where copying the tree into a `Value` first would cost more than the
// query itself.
//
// A tree adapter `Tree` supplies:
//
//     using Node = ...;                          // a cheap handle on one element
//     NodeKind kind(Node) ;                     // Atom, List, or Invalid: not an S-expression
//                                                // (the adapter keeps the reason, and the query
//                                                // stops at once)
//     std::size_t size(Node list) const;         // a list's number of elements
//     Node element(Node list, std::size_t i);    // element i, for i < size(list)
//     bool atom(Node, AtomParts&);               // an atom's octets; false as kind's Invalid
//     bool enter(Node list);                     // before walking into a list; false stops the
//     void leave(Node list);                     // walk (a tree that contains itself), as Invalid
//
// Everything here walks with heap stacks: no call recurses over the depth of a tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "tarnel/value.h"

namespace tarnel::query {

using View = std::span<const std::uint8_t>;

enum class NodeKind : std::uint8_t { Atom, List, Invalid };

/// An atom as an adapter shows it: its data, and its display hint where it has one.
struct AtomParts {
  View data;
  View hint;
  bool has_hint = false;
};

inline bool same_octets(View a, View b) noexcept {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

/// The adapter for `Value`: it cannot fail, and a `Value` cannot contain itself.
struct ValueTree {
  using Node = const Value*;

  NodeKind kind(Node node) const noexcept {
    return node->is_list() ? NodeKind::List : NodeKind::Atom;
  }

  std::size_t size(Node list) const noexcept { return list->elements().size(); }

  Node element(Node list, std::size_t i) const noexcept { return &list->elements()[i]; }

  bool atom(Node node, AtomParts& out) const noexcept {
    out.data = node->data().view();
    const Octets* hint = node->hint();
    out.has_hint = hint != nullptr;
    out.hint = hint != nullptr ? hint->view() : View();
    return true;
  }

  bool enter(Node) const noexcept { return true; }

  void leave(Node) const noexcept {}
};

/// Whether `list` (a list) begins with an atom without a hint whose data is `name`. False with
/// `failed` set where the tree cannot show its first element.
template <class Tree>
bool has_head(Tree& tree, typename Tree::Node list, View name, bool& failed) {
  if (tree.size(list) == 0) return false;
  typename Tree::Node head = tree.element(list, 0);
  NodeKind kind = tree.kind(head);
  if (kind != NodeKind::Atom) {
    failed = kind == NodeKind::Invalid;
    return false;
  }
  AtomParts parts;
  if (!tree.atom(head, parts)) {
    failed = true;
    return false;
  }
  return !parts.has_hint && same_octets(parts.data, name);
}

/// Hands `visit` each list of `root` (itself included) whose first element is an atom without a
/// hint equal to `name`, in document order: a list before its elements. `visit(node)` returns
/// false to stop. Every element is classified on the way, so a tree that is not an S-expression
/// is refused wherever it is. Returns false where the tree failed (the adapter holds the reason).
template <class Tree, class Visit>
bool find_each(Tree& tree, typename Tree::Node root, View name, Visit&& visit) {
  using Node = typename Tree::Node;
  NodeKind kind = tree.kind(root);
  if (kind != NodeKind::List) return kind == NodeKind::Atom;

  struct Frame {
    Node list;
    std::size_t next;
    std::size_t size;
  };

  std::vector<Frame> open;
  bool failed = false;
  if (has_head(tree, root, name, failed) && !visit(root)) return true;
  if (failed || !tree.enter(root)) return false;
  open.push_back({root, 0, tree.size(root)});
  while (!open.empty()) {
    Frame& top = open.back();
    if (top.next == top.size) {
      tree.leave(top.list);
      open.pop_back();
      continue;
    }
    Node element = tree.element(top.list, top.next++);
    kind = tree.kind(element);
    if (kind == NodeKind::Atom) continue;
    if (kind == NodeKind::Invalid) return false;
    if (has_head(tree, element, name, failed) && !visit(element)) return true;
    if (failed || !tree.enter(element)) return false;
    open.push_back({element, 0, tree.size(element)});  // `top` is not used past this point
  }
  return true;
}

}  // namespace tarnel::query
