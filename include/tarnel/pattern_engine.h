// The pattern compiler and matcher of match.h, written once over a tree adapter (query_tree.h):
// the core instantiates them for `Value`, the Python binding for its own objects. Both walk with
// heap stacks; neither recurses over the depth of a pattern or a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnel/match.h"
#include "tarnel/query_tree.h"

namespace tarnel::detail {

struct PatternAccess {
  static std::vector<PatternItem>& items(Pattern& p) noexcept { return p.items_; }

  static const std::vector<PatternItem>& items(const Pattern& p) noexcept { return p.items_; }

  static std::vector<std::uint8_t>& octets(Pattern& p) noexcept { return p.octets_; }

  static const std::vector<std::uint8_t>& octets(const Pattern& p) noexcept { return p.octets_; }

  static std::vector<std::string>& names(Pattern& p) noexcept { return p.names_; }

  static std::vector<bool>& rest(Pattern& p) noexcept { return p.rest_; }

  // Fills `out` with what a matcher over `Value`s bound.
  template <class Slots>
  static void bind(Match& out, const Pattern& pattern, const Slots& slots) {
    out.pattern_ = &pattern;
    out.slots_.resize(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
      out.slots_[i] = {slots[i].value, slots[i].from, slots[i].bound};
    }
  }
};

}  // namespace tarnel::detail

namespace tarnel::query {

using detail::no_slot;
using detail::PatternAccess;
using detail::PatternItem;
using detail::PatternOp;

/// The octets of `:name`-style keywords and suffixes.
inline constexpr std::string_view optional_keyword = "::optional";
inline constexpr std::string_view rest_suffix = "...";

inline std::string_view as_text(View octets) noexcept {
  return {reinterpret_cast<const char*>(octets.data()), octets.size()};
}

inline std::uint64_t decimal_digits(std::uint64_t n) noexcept {
  std::uint64_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

/// The length of an atom's canonical form, for offsets into a pattern given as a value.
inline std::uint64_t canonical_atom_size(const AtomParts& parts) noexcept {
  std::uint64_t size = decimal_digits(parts.data.size()) + 1 + parts.data.size();
  if (parts.has_hint) size += 2 + decimal_digits(parts.hint.size()) + 1 + parts.hint.size();
  return size;
}

/// Whether `name` is a variable name: letters, digits, '_' and '-', at least one.
inline bool valid_name(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

/// Whether an atom is special to patterns: without a hint and beginning with ':'.
inline bool is_colon_atom(const AtomParts& parts) noexcept {
  return !parts.has_hint && !parts.data.empty() && parts.data[0] == ':';
}

/// Whether an atom is a literal that can head a looked-up list: any atom that is not special.
inline bool is_literal_atom(const AtomParts& parts) noexcept { return !is_colon_atom(parts); }

/// Compiles a pattern from a tree. `offsets`, where given, holds the text offset of every node
/// in document order; otherwise offsets are counted in the canonical form as the walk goes.
template <class Tree>
class Compiler {
 public:
  using Node = typename Tree::Node;

  Compiler(Tree& tree, const std::vector<std::uint64_t>* offsets) : tree_(tree), text_(offsets) {}

  /// True with the pattern in `pattern()`; false with `error()` set, or, where the tree itself
  /// failed, with `tree_failed()` (the adapter holds the reason).
  bool run(Node root);

  Pattern& pattern() noexcept { return pattern_; }

  PatternError error() const noexcept { return error_; }

  bool tree_failed() const noexcept { return tree_failed_; }

 private:
  // One list being compiled: a list item, or the `(::optional P)` around one item.
  struct Frame {
    Node list;
    std::size_t next;  // the next element of `list`
    std::size_t size;
    std::size_t item;  // the List or Optional item
    bool optional;     // an (::optional P) form: its element 1 is P
    bool at_head;      // (optional forms) standing first in their list
    bool after_rest = false;
    bool after_optional = false;
    std::uint64_t rest_offset = 0;
  };

  // Where the element being compiled stands.
  struct Place {
    bool top;       // the whole pattern
    bool at_head;   // the first element of its list
    bool optional;  // the P of an (::optional P)
  };

  bool fail(PatternErrorKind kind, std::uint64_t offset) {
    error_ = PatternError{offset, kind, ErrorKind::UnexpectedEnd};
    return false;
  }

  // Takes the next node in document order: its offset, and for the canonical count its size.
  std::uint64_t visit_offset(std::uint64_t canonical_size) {
    std::uint64_t at = text_ != nullptr ? (*text_)[index_] : canonical_at_;
    ++index_;
    canonical_at_ += canonical_size;
    return at;
  }

  bool atom_parts(Node node, AtomParts& parts) {
    if (tree_.atom(node, parts)) return true;
    tree_failed_ = true;
    return false;
  }

  std::size_t push_item(PatternItem item) {
    auto& items = PatternAccess::items(pattern_);
    items.push_back(item);
    return items.size() - 1;
  }

  void close_item(std::size_t index) {
    auto& items = PatternAccess::items(pattern_);
    items[index].end = items.size();
  }

  std::size_t keep_octets(View octets) {
    auto& pool = PatternAccess::octets(pattern_);
    std::size_t at = pool.size();
    pool.insert(pool.end(), octets.begin(), octets.end());
    return at;
  }

  // The slot of `name`, made at its first appearance; false where its kind differs.
  bool slot_for(std::string_view name, bool rest, std::size_t& slot) {
    auto& names = PatternAccess::names(pattern_);
    auto& rests = PatternAccess::rest(pattern_);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) {
        slot = i;
        return rests[i] == rest;
      }
    }
    names.emplace_back(name);
    rests.push_back(rest);
    slot = names.size() - 1;
    return true;
  }

  // Positional bookkeeping for an item placed in `parent`: a rest must come last, and a
  // required item may not follow an optional one.
  bool place_positional(Frame* parent, bool optional, bool rest, std::uint64_t offset) {
    if (parent == nullptr) return true;
    if (parent->after_rest) return fail(PatternErrorKind::MisplacedRest, parent->rest_offset);
    if (rest) {
      parent->after_rest = true;
      parent->rest_offset = offset;
    } else if (optional) {
      parent->after_optional = true;
    } else if (parent->after_optional) {
      return fail(PatternErrorKind::MisplacedOptional, offset);
    }
    return true;
  }

  bool compile_atom(const AtomParts& parts, std::uint64_t offset, Place place, Frame* parent);
  bool compile_list(Node list, std::uint64_t offset, Place place, Frame* parent);

  // The list `list` begins with a literal atom (and so is looked up where it stands after the
  // first element of another list). False with tree_failed_ set where the tree failed.
  bool literal_head(Node list, bool& literal) {
    literal = false;
    if (tree_.size(list) == 0) return true;
    Node head = tree_.element(list, 0);
    NodeKind kind = tree_.kind(head);
    if (kind == NodeKind::Invalid) {
      tree_failed_ = true;
      return false;
    }
    if (kind == NodeKind::List) return true;
    AtomParts parts;
    if (!atom_parts(head, parts)) return false;
    literal = is_literal_atom(parts);
    return true;
  }

  Tree& tree_;
  const std::vector<std::uint64_t>* text_;
  Pattern pattern_;
  PatternError error_;
  bool tree_failed_ = false;
  std::size_t index_ = 0;
  std::uint64_t canonical_at_ = 0;
  std::vector<Frame> open_;
};

template <class Tree>
bool Compiler<Tree>::compile_atom(const AtomParts& parts, std::uint64_t offset, Place place,
                                  Frame* parent) {
  PatternItem item;
  if (is_colon_atom(parts)) {
    std::string_view body = as_text(parts.data).substr(1);
    const bool rest = body.size() >= rest_suffix.size() && body.ends_with(rest_suffix);
    if (rest) body.remove_suffix(rest_suffix.size());
    if (!valid_name(body)) return fail(PatternErrorKind::InvalidVariable, offset);
    if (rest && (place.top || place.optional)) {
      return fail(PatternErrorKind::MisplacedRest, offset);
    }
    item.op = rest ? PatternOp::Rest : PatternOp::Variable;
    if (body != "_" && !slot_for(body, rest, item.slot)) {
      return fail(PatternErrorKind::RestAndElement, offset);
    }
    if (!place.optional && !place_positional(parent, false, rest, offset)) return false;
  } else {
    static constexpr std::uint8_t any_hint[] = {'*'};
    if (parts.has_hint && same_octets(parts.hint, View(any_hint))) {
      item.op = PatternOp::AnyHint;
    } else {
      item.op = PatternOp::Literal;
      item.has_hint = parts.has_hint;
      if (parts.has_hint) {
        item.hint_at = keep_octets(parts.hint);
        item.hint_len = parts.hint.size();
      }
    }
    item.data_at = keep_octets(parts.data);
    item.data_len = parts.data.size();
    if (!place.optional && !place_positional(parent, false, false, offset)) return false;
  }
  close_item(push_item(item));
  return true;
}

template <class Tree>
bool Compiler<Tree>::compile_list(Node list, std::uint64_t offset, Place place, Frame* parent) {
  const std::size_t size = tree_.size(list);
  // A list that begins with "::" is a keyword form.
  if (size != 0) {
    Node head = tree_.element(list, 0);
    NodeKind kind = tree_.kind(head);
    if (kind == NodeKind::Invalid) {
      tree_failed_ = true;
      return false;
    }
    AtomParts parts;
    if (kind == NodeKind::Atom) {
      if (!atom_parts(head, parts)) return false;
      if (is_colon_atom(parts) && parts.data.size() >= 2 && parts.data[1] == ':') {
        if (as_text(parts.data) != optional_keyword) {
          // The keyword is the next node in document order: the '(' is counted already.
          const std::uint64_t at = text_ != nullptr ? (*text_)[index_] : canonical_at_;
          return fail(PatternErrorKind::UnknownKeyword, at);
        }
        if (size != 2 || place.top || place.optional) {
          return fail(PatternErrorKind::InvalidOptional, offset);
        }
        // P decides whether the optional part is looked up or positional.
        Node inner = tree_.element(list, 1);
        NodeKind inner_kind = tree_.kind(inner);
        if (inner_kind == NodeKind::Invalid) {
          tree_failed_ = true;
          return false;
        }
        bool lookup = false;
        if (inner_kind == NodeKind::List && !place.at_head && !literal_head(inner, lookup)) {
          return false;
        }
        if (!lookup && !place_positional(parent, true, false, offset)) return false;
        PatternItem item;
        item.op = PatternOp::Optional;
        std::size_t index = push_item(item);
        open_.push_back({list, 0, size, index, true, place.at_head});
        return true;
      }
    }
  }
  bool lookup = false;
  if (!place.top && !place.at_head && !literal_head(list, lookup)) return false;
  if (!lookup && !place.optional && !place_positional(parent, false, false, offset)) return false;
  PatternItem item;
  item.op = PatternOp::List;
  item.lookup = lookup;
  std::size_t index = push_item(item);
  open_.push_back({list, 0, size, index, false, false});
  return true;
}

template <class Tree>
bool Compiler<Tree>::run(Node root) {
  NodeKind kind = tree_.kind(root);
  if (kind == NodeKind::Invalid) {
    tree_failed_ = true;
    return false;
  }
  if (kind == NodeKind::Atom) {
    AtomParts parts;
    if (!atom_parts(root, parts)) return false;
    return compile_atom(parts, visit_offset(canonical_atom_size(parts)), {true, false, false},
                        nullptr);
  }
  if (!tree_.enter(root)) {
    tree_failed_ = true;
    return false;
  }
  if (!compile_list(root, visit_offset(1), {true, false, false}, nullptr)) return false;
  while (!open_.empty()) {
    Frame& top = open_.back();
    if (top.next == top.size) {
      canonical_at_ += 1;  // ')'
      close_item(top.item);
      tree_.leave(top.list);
      open_.pop_back();
      continue;
    }
    const std::size_t k = top.next++;
    Node element = tree_.element(top.list, k);
    kind = tree_.kind(element);
    if (kind == NodeKind::Invalid) {
      tree_failed_ = true;
      return false;
    }
    // In an optional form, element 0 is the keyword itself, and the parent of P is the list
    // around the form.
    Frame* parent = &top;
    Place place{false, k == 0, false};
    if (top.optional) {
      if (k == 0) {
        AtomParts keyword;
        if (!atom_parts(element, keyword)) return false;
        visit_offset(canonical_atom_size(keyword));
        continue;
      }
      place = {false, top.at_head, true};
      parent = open_.size() >= 2 ? &open_[open_.size() - 2] : nullptr;
    }
    if (kind == NodeKind::Atom) {
      AtomParts parts;
      if (!atom_parts(element, parts)) return false;
      if (!compile_atom(parts, visit_offset(canonical_atom_size(parts)), place, parent)) {
        return false;
      }
      continue;
    }
    if (!tree_.enter(element)) {
      tree_failed_ = true;
      return false;
    }
    // `top` and `parent` may move as the stack grows: compile_list pushes last.
    if (!compile_list(element, visit_offset(1), place, parent)) return false;
  }
  return true;
}

/// Matches compiled patterns against a tree. One matcher serves one match.
template <class Tree>
class Matcher {
 public:
  using Node = typename Tree::Node;

  enum class Outcome : std::uint8_t { Match, NoMatch, Failed };

  /// A name's binding: a single element, or a rest (the list and the first element of the run).
  struct Bound {
    Node value{};
    std::size_t from = 0;
    bool bound = false;
  };

  Matcher(Tree& tree, const Pattern& pattern)
      : tree_(tree),
        items_(PatternAccess::items(pattern)),
        octets_(PatternAccess::octets(pattern)),
        slots_(pattern.names().size()) {}

  Outcome run(Node root);

  /// After Match: each name's binding, by the index of the name.
  const std::vector<Bound>& slots() const noexcept { return slots_; }

 private:
  struct Frame {
    std::size_t item;  // the List item being matched
    Node target;
    std::size_t size;
    std::size_t child;          // the item being matched now
    std::size_t pos = 0;        // the next positional element of the target
    std::size_t candidate = 1;  // a looked-up child: the next element to try
    std::size_t mark = 0;       // a looked-up child: the trail before the current try
  };

  View data_of(const PatternItem& item) const noexcept {
    return View(octets_.data() + item.data_at, item.data_len);
  }

  View hint_of(const PatternItem& item) const noexcept {
    return View(octets_.data() + item.hint_at, item.hint_len);
  }

  void bind(std::size_t slot, Node value, std::size_t from) {
    slots_[slot] = Bound{value, from, true};
    trail_.push_back(slot);
  }

  void unwind(std::size_t mark) noexcept {
    while (trail_.size() > mark) {
      slots_[trail_.back()].bound = false;
      trail_.pop_back();
    }
  }

  Outcome atomic(const PatternItem& item, Node node);
  Outcome rest(const PatternItem& item, Node list, std::size_t from);
  Outcome equal(Node a, Node b);
  Outcome equal_runs(Node a, std::size_t a_from, Node b, std::size_t b_from);

  // A list frame for `item` against `target` (kind already checked to be a list).
  void open(std::size_t item, Node target) {
    frames_.push_back({item, target, tree_.size(target), item + 1});
  }

  Tree& tree_;
  const std::vector<PatternItem>& items_;
  const std::vector<std::uint8_t>& octets_;
  std::vector<Bound> slots_;
  std::vector<std::size_t> trail_;
  std::vector<Frame> frames_;
};

template <class Tree>
typename Matcher<Tree>::Outcome Matcher<Tree>::atomic(const PatternItem& item, Node node) {
  NodeKind kind = tree_.kind(node);
  if (kind == NodeKind::Invalid) return Outcome::Failed;
  if (item.op == PatternOp::Variable) {
    if (item.slot == no_slot) return Outcome::Match;
    const Bound& held = slots_[item.slot];
    if (held.bound) return equal(held.value, node);
    bind(item.slot, node, 0);
    return Outcome::Match;
  }
  if (kind != NodeKind::Atom) return Outcome::NoMatch;
  AtomParts parts;
  if (!tree_.atom(node, parts)) return Outcome::Failed;
  if (!same_octets(parts.data, data_of(item))) return Outcome::NoMatch;
  if (item.op == PatternOp::AnyHint) return Outcome::Match;
  if (parts.has_hint != item.has_hint) return Outcome::NoMatch;
  return !item.has_hint || same_octets(parts.hint, hint_of(item)) ? Outcome::Match
                                                                  : Outcome::NoMatch;
}

template <class Tree>
typename Matcher<Tree>::Outcome Matcher<Tree>::rest(const PatternItem& item, Node list,
                                                    std::size_t from) {
  if (item.slot == no_slot) return Outcome::Match;
  const Bound& held = slots_[item.slot];
  if (held.bound) return equal_runs(held.value, held.from, list, from);
  bind(item.slot, list, from);
  return Outcome::Match;
}

template <class Tree>
typename Matcher<Tree>::Outcome Matcher<Tree>::equal_runs(Node a, std::size_t a_from, Node b,
                                                          std::size_t b_from) {
  const std::size_t a_size = tree_.size(a);
  const std::size_t b_size = tree_.size(b);
  if (a_size - a_from != b_size - b_from) return Outcome::NoMatch;
  for (std::size_t i = 0; a_from + i < a_size; ++i) {
    Outcome same = equal(tree_.element(a, a_from + i), tree_.element(b, b_from + i));
    if (same != Outcome::Match) return same;
  }
  return Outcome::Match;
}

template <class Tree>
typename Matcher<Tree>::Outcome Matcher<Tree>::equal(Node a, Node b) {
  struct Pair {
    Node a;
    Node b;
    std::size_t next;
    std::size_t size;
  };

  std::vector<Pair> open;
  Outcome outcome = Outcome::Match;
  for (;;) {
    NodeKind ka = tree_.kind(a);
    NodeKind kb = tree_.kind(b);
    if (ka == NodeKind::Invalid || kb == NodeKind::Invalid) {
      outcome = Outcome::Failed;
      break;
    }
    if (ka != kb) {
      outcome = Outcome::NoMatch;
      break;
    }
    if (ka == NodeKind::Atom) {
      AtomParts pa;
      AtomParts pb;
      if (!tree_.atom(a, pa) || !tree_.atom(b, pb)) {
        outcome = Outcome::Failed;
        break;
      }
      if (!same_octets(pa.data, pb.data) || pa.has_hint != pb.has_hint ||
          (pa.has_hint && !same_octets(pa.hint, pb.hint))) {
        outcome = Outcome::NoMatch;
        break;
      }
    } else {
      const std::size_t size = tree_.size(a);
      if (size != tree_.size(b)) {
        outcome = Outcome::NoMatch;
        break;
      }
      // Only `a` is entered: a walk in step with it ends wherever it ends.
      if (!tree_.enter(a)) {
        outcome = Outcome::Failed;
        break;
      }
      open.push_back({a, b, 0, size});
    }
    // The next pair: the next element of the innermost list with elements left.
    while (!open.empty() && open.back().next == open.back().size) {
      tree_.leave(open.back().a);
      open.pop_back();
    }
    if (open.empty()) return Outcome::Match;
    Pair& top = open.back();
    a = tree_.element(top.a, top.next);
    b = tree_.element(top.b, top.next);
    ++top.next;
  }
  for (auto it = open.rbegin(); it != open.rend(); ++it) tree_.leave(it->a);
  return outcome;
}

template <class Tree>
typename Matcher<Tree>::Outcome Matcher<Tree>::run(Node root) {
  if (items_.empty()) return Outcome::NoMatch;  // a default-constructed Pattern
  const PatternItem& first = items_[0];
  if (first.op != PatternOp::List) return atomic(first, root);
  NodeKind kind = tree_.kind(root);
  if (kind != NodeKind::List) return kind == NodeKind::Invalid ? Outcome::Failed : Outcome::NoMatch;
  open(0, root);
  // What the frame just closed came to, for its parent: none yet, Match or NoMatch.
  bool returning = false;
  bool returned_match = false;
  while (!frames_.empty()) {
    Frame& f = frames_.back();
    if (returning) {
      returning = false;
      const PatternItem& child = items_[f.child];
      const bool optional = child.op == PatternOp::Optional;
      const PatternItem& inner = optional ? items_[f.child + 1] : child;
      if (inner.lookup) {
        if (returned_match) {
          f.child = child.end;
          f.candidate = 1;
          continue;
        }
        unwind(f.mark);
        ++f.candidate;
        // Falls through to try the next candidate.
      } else if (returned_match) {
        ++f.pos;
        f.child = child.end;
        continue;
      } else {
        frames_.pop_back();
        returning = true;
        returned_match = false;
        continue;
      }
    }
    if (f.child == items_[f.item].end) {
      frames_.pop_back();
      returning = true;
      returned_match = true;
      continue;
    }
    const PatternItem& child = items_[f.child];
    const bool optional = child.op == PatternOp::Optional;
    const std::size_t inner_index = optional ? f.child + 1 : f.child;
    const PatternItem& inner = items_[inner_index];
    if (inner.op == PatternOp::List && inner.lookup) {
      const PatternItem& head = items_[inner_index + 1];
      bool opened = false;
      for (; f.candidate < f.size; ++f.candidate) {
        Node element = tree_.element(f.target, f.candidate);
        NodeKind kind = tree_.kind(element);
        if (kind == NodeKind::Invalid) return Outcome::Failed;
        if (kind != NodeKind::List || tree_.size(element) == 0) continue;
        Outcome head_matches = atomic(head, tree_.element(element, 0));
        if (head_matches == Outcome::Failed) return Outcome::Failed;
        if (head_matches == Outcome::NoMatch) continue;
        f.mark = trail_.size();
        open(inner_index, element);  // `f` is not used past this point
        opened = true;
        break;
      }
      if (opened) continue;
      if (optional) {
        f.child = child.end;
        f.candidate = 1;
        continue;
      }
      frames_.pop_back();
      returning = true;
      returned_match = false;
      continue;
    }
    if (inner.op == PatternOp::Rest) {
      Outcome bound = rest(inner, f.target, f.pos < f.size ? f.pos : f.size);
      if (bound == Outcome::Failed) return Outcome::Failed;
      if (bound == Outcome::NoMatch) {
        frames_.pop_back();
        returning = true;
        returned_match = false;
        continue;
      }
      f.pos = f.size;
      f.child = child.end;
      continue;
    }
    if (f.pos >= f.size) {
      if (optional) {
        f.child = child.end;
        continue;
      }
      frames_.pop_back();
      returning = true;
      returned_match = false;
      continue;
    }
    Node element = tree_.element(f.target, f.pos);
    if (inner.op == PatternOp::List) {
      NodeKind kind = tree_.kind(element);
      if (kind == NodeKind::Invalid) return Outcome::Failed;
      if (kind == NodeKind::List) {
        open(inner_index, element);
        continue;
      }
      frames_.pop_back();
      returning = true;
      returned_match = false;
      continue;
    }
    Outcome one = atomic(inner, element);
    if (one == Outcome::Failed) return Outcome::Failed;
    if (one == Outcome::Match) {
      ++f.pos;
      f.child = child.end;
      continue;
    }
    frames_.pop_back();
    returning = true;
    returned_match = false;
  }
  return returned_match ? Outcome::Match : Outcome::NoMatch;
}

}  // namespace tarnel::query
