// The in-memory S-expression: an atom (data octets and an optional display hint) or a list of
// values. A value owns its whole subtree exclusively; values are moved, and copied only on
// request (`clone`). An absent hint and a present, empty hint are different states, kept apart
// everywhere, in `==` too.
//
// Every accessor is safe on either kind: on a list `hint()` is null and `data()` is empty, on an
// atom `elements()` is empty, so a walker may ask any value anything. `mutable_elements()` is
// the one way to change a list in place, and gives null on an atom.
//
// Octet strings of up to `Octets::inline_capacity` octets live inside the value itself, so that
// reading many short atoms costs no allocation per atom; longer ones take one exact-size block.
// Nothing here recurses over the depth of a tree: destroying, cloning and comparing values of any
// depth use a fixed amount of call stack (destroying allocates nothing; cloning and comparing
// keep a heap stack of the open lists).
//
// Building by hand reads as the S-expression does:
//
//     Value key = Value::list({Value::atom("public-key"),
//                              Value::list({Value::atom("ecc"),
//                                           Value::atom("curve"),
//                                           Value::atom("Ed25519", "text/plain")})});
//
// Thread safety: values hold no hidden shared state. Any number of threads may read one value at
// once (accessors, `clone`, `==`, the writers); changing or destroying it needs the caller to keep
// every other user away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/export.h"

namespace tarnel {

/// An owned octet string of exact length, stored inline when short. Move-only; a moved-from
/// string is empty.
class TARNEL_EXPORT Octets {
 public:
  static constexpr std::size_t inline_capacity = 16;

  /// The empty string; allocates nothing.
  constexpr Octets() noexcept : inline_{}, size_(0) {}

  /// A copy of `octets`. Throws std::bad_alloc when memory runs out.
  explicit Octets(std::span<const std::uint8_t> octets) : size_(octets.size()) {
    if (size_ > inline_capacity) {
      copy_to_heap(octets.data());
    } else if (size_ != 0) {
      std::memcpy(inline_, octets.data(), size_);
    } else {
      inline_[0] = 0;  // as the default: moving copies the inline octets, set or not
    }
  }

  /// A copy of the octets of `text`. Throws std::bad_alloc when memory runs out.
  explicit Octets(std::string_view text) : Octets(as_octets(text)) {}

  /// Takes over the buffer's storage, trimmed to its length (or copied inline when short); the
  /// buffer is left empty. Throws std::bad_alloc when trimming runs out of memory.
  explicit Octets(Buffer&& buffer);

  /// Takes over `other`'s octets; `other` is left empty. Cannot fail.
  Octets(Octets&& other) noexcept : size_(other.size_) {
    std::memcpy(inline_, other.inline_, sizeof inline_);
    other.size_ = 0;
  }

  /// Frees this string's octets and takes over `other`'s; `other` is left empty. Cannot fail.
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

  constexpr ~Octets() { free_heap(); }

  /// Room for exactly `size` octets, uninitialised, for the caller to fill in full through
  /// mutable_data(). Throws std::bad_alloc when memory runs out.
  static Octets uninitialized(std::size_t size);

  /// The first octet; valid while the string lives and is not moved from. Never null.
  const std::uint8_t* data() const noexcept { return is_inline() ? inline_ : heap_; }

  /// As data(), writable.
  std::uint8_t* mutable_data() noexcept { return is_inline() ? inline_ : heap_; }

  /// The number of octets.
  std::size_t size() const noexcept { return size_; }

  /// Whether there is no octet.
  bool empty() const noexcept { return size_ == 0; }

  /// The octets, valid as data() is.
  std::span<const std::uint8_t> view() const noexcept { return {data(), size_}; }

  /// The octets as text (not terminated), valid as data() is.
  std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data()), size_}; }

  /// Whether `a` and `b` hold the same octets. Cannot fail.
  friend bool operator==(const Octets& a, const Octets& b) noexcept {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
  }

 private:
  constexpr bool is_inline() const noexcept { return size_ <= inline_capacity; }

  constexpr void free_heap() noexcept {
    if (!is_inline()) std::free(heap_);
  }

  void copy_to_heap(const std::uint8_t* octets);

  union {
    std::uint8_t inline_[inline_capacity];
    std::uint8_t* heap_;
  };

  std::size_t size_ = 0;
};

/// An S-expression: an atom or a list, owning its subtree. Move-only; copy with `clone()`. A
/// moved-from value is an atom or a list with nothing in it, and may be assigned or destroyed.
class TARNEL_EXPORT Value {
 public:
  using List = std::vector<Value>;

  /// An empty list; allocates nothing.
  Value() noexcept : tag_(list_tag) { new (&list_) List(); }

  /// An atom without a hint, taking over `data`. Cannot fail.
  static Value atom(Octets data) noexcept { return Value(std::move(data)); }

  /// An atom with a present hint (possibly empty), taking over both. Throws std::bad_alloc when
  /// memory runs out.
  static Value atom(Octets data, Octets hint);

  /// An atom whose hint is present only when `hint` is non-null, taking over both. Cannot fail.
  static Value atom(Octets data, std::unique_ptr<Octets> hint) noexcept;

  /// An atom without a hint holding a copy of the octets of `data`, as in `Value::atom("rsa")`.
  /// Throws std::bad_alloc when memory runs out.
  static Value atom(std::string_view data) { return Value(Octets(data)); }

  /// An atom holding copies of `data` and of `hint` (present, possibly empty), as in
  /// `Value::atom("Alice", "text/plain")`. Throws std::bad_alloc when memory runs out.
  static Value atom(std::string_view data, std::string_view hint) {
    return atom(Octets(data), Octets(hint));
  }

  /// A list of `elements`, in order, taking over the vector. Cannot fail.
  static Value list(List elements) noexcept { return Value(std::move(elements)); }

  /// A list of copies of `elements`, in order, as in `Value::list({Value::atom("a"), ...})`.
  /// The elements of a brace list are read-only, so each is cloned once (no recursion): for a
  /// large subtree, build a `List` and move it in instead. Throws std::bad_alloc when memory runs
  /// out.
  static Value list(std::initializer_list<Value> elements);

  /// Takes over `other`'s kind and contents; `other` is left as described above. Cannot fail.
  Value(Value&& other) noexcept { move_from(std::move(other)); }

  /// Releases this value's subtree and takes over `other`, which may be an element of it.
  /// Cannot fail.
  Value& operator=(Value&& other) noexcept;

  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  /// Releases the subtree with constant call stack and no allocation, whatever its depth.
  ~Value() { destroy(); }

  /// A deep copy: the same kind, octets, hints (absent stays absent) and elements; list storage
  /// is sized exactly. Walks with a heap stack, so any depth is copied. Throws std::bad_alloc
  /// when memory runs out (nothing is then left allocated). Safe to call on one value from many
  /// threads at once.
  Value clone() const;

  /// Whether this is an atom.
  bool is_atom() const noexcept { return tag_ != list_tag; }

  /// Whether this is a list.
  bool is_list() const noexcept { return tag_ == list_tag; }

  /// An atom's data octets; on a list, an empty string. Valid while the value lives unchanged.
  const Octets& data() const noexcept;

  /// An atom's hint, or null where it is absent; on a list, null. Valid while the value lives
  /// unchanged.
  const Octets* hint() const noexcept {
    // A list's tag is 1 and an atom's an aligned address or 0: clearing the low bit answers for
    // both kinds without a branch.
    return reinterpret_cast<const Octets*>(tag_ & ~list_tag);
  }

  /// A list's elements, in order; on an atom, an empty list. Valid while the value lives
  /// unchanged.
  const List& elements() const noexcept;

  /// A list's elements, to change in place; on an atom, null.
  List* mutable_elements() noexcept { return tag_ == list_tag ? &list_ : nullptr; }

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

  static Value clone_atom(const Value& atom);
  void destroy_list() noexcept;
  void delete_hint() noexcept;
  static void destroy_deep(List& root) noexcept;

  union {
    Octets data_;  // atoms
    List list_;    // lists
  };

  std::uintptr_t tag_;  // atoms: the owned hint's address, 0 where absent; lists: list_tag
};

namespace detail {

// What the accessors of one kind give for the other: an empty string, an empty list. Read-only,
// shared by every value, never changed.
inline constexpr Octets no_octets{};
inline const Value::List no_elements{};

}  // namespace detail

inline const Octets& Value::data() const noexcept {
  return tag_ == list_tag ? detail::no_octets : data_;
}

inline const Value::List& Value::elements() const noexcept {
  return tag_ == list_tag ? list_ : detail::no_elements;
}

/// Whether `a` and `b` are the same S-expression: the same kind; for atoms the same data octets
/// and the same hint (both absent, or both present with the same octets); for lists the same
/// number of elements, equal in order. Exactly when their canonical forms are the same octets.
/// Walks with a heap stack, so any depth is compared. Throws std::bad_alloc when memory for that
/// stack runs out. Safe on values other threads read at the same time.
TARNEL_EXPORT bool operator==(const Value& a, const Value& b);

/// Hands the tree to `writer` in document order, with a heap stack of the open lists rather than
/// recursion: `open_list()`, `atom(data, hint)` (hint null where absent) and `close_list()`, as
/// the writers (`CanonicalWriter`, `AdvancedWriter`) take them. Throws what the writer throws,
/// and std::bad_alloc when memory for the stack runs out.
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
