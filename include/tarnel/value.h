// The in-memory S-expression: an atom (data octets and an optional display hint) or a list of
// values. A value owns its whole subtree exclusively; values are moved, never shared or copied.
// An absent hint and a present, empty hint are different states, kept apart everywhere.
//
// Octet strings of up to `Octets::inline_capacity` octets live inside the value itself, so that
// reading many short atoms costs no allocation per atom; longer ones take one exact-size block.
// Nothing here recurses over the depth of a tree: destroying a value of any depth uses a fixed
// amount of call stack and allocates nothing (see ~Value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/export.h"

namespace tarnel {

/// An owned octet string of exact length, stored inline when short.
class TARNEL_EXPORT Octets {
 public:
  static constexpr std::size_t inline_capacity = 16;

  Octets() noexcept { inline_[0] = 0; }

  /// Copies `octets`.
  explicit Octets(std::span<const std::uint8_t> octets) : size_(octets.size()) {
    if (size_ > inline_capacity) {
      copy_to_heap(octets.data());
    } else if (size_ != 0) {
      std::memcpy(inline_, octets.data(), size_);
    }
  }

  explicit Octets(std::string_view text)
      : Octets(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {}

  /// Takes over the buffer's storage, trimmed to its length (or copied inline when short).
  explicit Octets(Buffer&& buffer);

  Octets(Octets&& other) noexcept : size_(other.size_) {
    std::memcpy(inline_, other.inline_, sizeof inline_);
    other.size_ = 0;
  }

  Octets& operator=(Octets&& other) noexcept {
    if (this != &other) {
      free_heap();
      size_ = other.size_;
      std::memcpy(inline_, other.inline_, sizeof inline_);
      other.size_ = 0;
    }
    return *this;
  }

  Octets(const Octets&) = delete;
  Octets& operator=(const Octets&) = delete;

  ~Octets() { free_heap(); }

  /// Allocates room for exactly `size` octets, uninitialised, for the caller to fill in full.
  static Octets uninitialized(std::size_t size);

  const std::uint8_t* data() const noexcept { return is_inline() ? inline_ : heap_; }

  std::uint8_t* mutable_data() noexcept { return is_inline() ? inline_ : heap_; }

  std::size_t size() const noexcept { return size_; }

  bool empty() const noexcept { return size_ == 0; }

  std::span<const std::uint8_t> view() const noexcept { return {data(), size_}; }

  std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data()), size_}; }

  friend bool operator==(const Octets& a, const Octets& b) noexcept {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
  }

 private:
  bool is_inline() const noexcept { return size_ <= inline_capacity; }

  void free_heap() noexcept {
    if (!is_inline()) std::free(heap_);
  }

  void copy_to_heap(const std::uint8_t* octets);

  union {
    std::uint8_t inline_[inline_capacity];
    std::uint8_t* heap_;
  };

  std::size_t size_ = 0;
};

/// An S-expression: an atom or a list, owning its subtree.
class TARNEL_EXPORT Value {
 public:
  using List = std::vector<Value>;

  /// An empty list.
  Value() noexcept : tag_(list_tag) { new (&list_) List(); }

  /// An atom without a hint.
  static Value atom(Octets data) noexcept { return Value(std::move(data)); }

  /// An atom with a present hint (possibly empty).
  static Value atom(Octets data, Octets hint);

  /// An atom whose hint is present only when `hint` is non-null.
  static Value atom(Octets data, std::unique_ptr<Octets> hint) noexcept;

  /// A list of `elements`, in order.
  static Value list(List elements) noexcept { return Value(std::move(elements)); }

  Value(Value&& other) noexcept { move_from(std::move(other)); }

  Value& operator=(Value&& other) noexcept;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  ~Value() { destroy(); }

  bool is_atom() const noexcept { return tag_ != list_tag; }

  bool is_list() const noexcept { return tag_ == list_tag; }

  /// The atom's data octets (atoms only).
  const Octets& data() const noexcept { return data_; }

  /// The atom's hint, or null where it is absent (atoms only).
  const Octets* hint() const noexcept { return reinterpret_cast<const Octets*>(tag_); }

  /// The list's elements (lists only).
  const List& elements() const noexcept { return list_; }

  List& elements() noexcept { return list_; }

 private:
  // A list is marked by a value no hint's address can take (a hint is aligned), so that the
  // word that holds an atom's hint also tells the two apart: a value is 32 octets, not 40.
  static constexpr std::uintptr_t list_tag = 1;

  explicit Value(Octets data) noexcept : tag_(0) { new (&data_) Octets(std::move(data)); }

  explicit Value(List elements) noexcept : tag_(list_tag) {
    new (&list_) List(std::move(elements));
  }

  // Inline, so that building and dropping the atoms of a large tree costs no call per atom.
  void destroy() noexcept {
    if (tag_ == list_tag) {
      destroy_list();
    } else {
      if (tag_ != 0) delete_hint();
      data_.~Octets();
    }
  }

  void move_from(Value&& other) noexcept {
    tag_ = other.tag_;
    if (tag_ == list_tag) {
      new (&list_) List(std::move(other.list_));
    } else {
      new (&data_) Octets(std::move(other.data_));
      other.tag_ = 0;  // the hint is this value's now
    }
  }

  void destroy_list() noexcept;
  void delete_hint() noexcept;
  static void destroy_deep(List& root) noexcept;

  union {
    Octets data_;  // atoms
    List list_;    // lists
  };

  std::uintptr_t tag_;  // atoms: the owned hint's address, 0 where absent; lists: list_tag
};

/// Hands the tree to `writer` in document order, with a heap stack of the open lists rather than
/// recursion: `open_list()`, `atom(data, hint)` (hint null where absent) and `close_list()`, as
/// the writers (`CanonicalWriter`, `AdvancedWriter`) take them.
template <class Writer>
void write_tree(const Value& value, Writer& writer) {
  if (value.is_atom()) {
    writer.atom(value.data().view(), value.hint());
    return;
  }

  struct Open {
    const Value* next;
    const Value* end;
  };

  std::vector<Open> parents;  // the open lists around the innermost, each at its next element
  writer.open_list();
  const Value* next = value.elements().data();
  const Value* end = next + value.elements().size();
  for (;;) {
    if (next == end) {
      writer.close_list();
      if (parents.empty()) return;
      next = parents.back().next;
      end = parents.back().end;
      parents.pop_back();
      continue;
    }
    const Value& element = *next++;
    if (element.is_atom()) {
      writer.atom(element.data().view(), element.hint());
      continue;
    }
    writer.open_list();
    parents.push_back({next, end});
    next = element.elements().data();
    end = next + element.elements().size();
  }
}

}  // namespace tarnel
