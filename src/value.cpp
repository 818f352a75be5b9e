#include "tarnel/value.h"

#include <cstdlib>
#include <new>

namespace tarnel {

void Octets::copy_to_heap(const std::uint8_t* octets) {
  heap_ = static_cast<std::uint8_t*>(std::malloc(size_));
  if (heap_ == nullptr) {
    size_ = 0;
    throw std::bad_alloc();
  }
  std::memcpy(heap_, octets, size_);
}

Octets::Octets(Buffer&& buffer) : size_(buffer.size()) {
  if (size_ <= inline_capacity) {
    if (size_ != 0) std::memcpy(inline_, buffer.data(), size_);
    buffer.clear();
    return;
  }
  buffer.shrink_to_fit();
  heap_ = buffer.release();
}

Octets Octets::uninitialized(std::size_t size) {
  Octets out;
  if (size > inline_capacity) {
    out.heap_ = static_cast<std::uint8_t*>(std::malloc(size));
    if (out.heap_ == nullptr) throw std::bad_alloc();
  }
  out.size_ = size;
  return out;
}

Value Value::atom(Octets data, Octets hint) {
  return atom(std::move(data), std::make_unique<Octets>(std::move(hint)));
}

Value Value::atom(Octets data, std::unique_ptr<Octets> hint) noexcept {
  Value v(std::move(data));
  v.tag_ = reinterpret_cast<std::uintptr_t>(hint.release());
  return v;
}

Value Value::list(std::initializer_list<Value> elements) {
  List out;
  out.reserve(elements.size());
  for (const Value& element : elements) out.push_back(element.clone());
  return Value(std::move(out));
}

Value Value::clone_atom(const Value& atom) {
  Value copy(Octets(atom.data_.view()));
  if (atom.tag_ != 0) {
    copy.tag_ = reinterpret_cast<std::uintptr_t>(new Octets(atom.hint()->view()));
  }
  return copy;
}

// Copies top-down: each list is reserved at its source's size before any element goes in, so the
// elements pushed into it never move and a frame may point at the copy of a list still being
// filled. A failure part-way leaves everything built inside `root`, which releases it.
Value Value::clone() const {
  if (is_atom()) return clone_atom(*this);

  struct Open {
    const Value* next;
    const Value* end;
    List* out;
  };

  Value root;
  root.list_.reserve(list_.size());
  std::vector<Open> parents;  // the lists around the innermost, each at its next element
  const Value* next = list_.data();
  const Value* end = next + list_.size();
  List* out = &root.list_;
  for (;;) {
    if (next == end) {
      if (parents.empty()) return root;
      next = parents.back().next;
      end = parents.back().end;
      out = parents.back().out;
      parents.pop_back();
      continue;
    }
    const Value& element = *next++;
    if (element.is_atom()) {
      out->push_back(clone_atom(element));
      continue;
    }
    List copy;
    copy.reserve(element.list_.size());
    out->push_back(Value(std::move(copy)));
    if (element.list_.empty()) continue;
    parents.push_back({next, end, out});
    out = &out->back().list_;
    next = element.list_.data();
    end = next + element.list_.size();
  }
}

namespace {

bool same_atom(const Value& a, const Value& b) noexcept {
  const Octets* hint_a = a.hint();
  const Octets* hint_b = b.hint();
  if (hint_a == nullptr || hint_b == nullptr) {
    if (hint_a != hint_b) return false;
  } else if (!(*hint_a == *hint_b)) {
    return false;
  }
  return a.data() == b.data();
}

}  // namespace

// Walks both trees in step with one heap stack of the open lists around the innermost; a list's
// length is compared before its elements, so the two cursors always stay within their lists.
bool operator==(const Value& a, const Value& b) {
  if (&a == &b) return true;
  if (a.is_list() != b.is_list()) return false;
  if (a.is_atom()) return same_atom(a, b);
  if (a.elements().size() != b.elements().size()) return false;

  struct Open {
    const Value* next_a;
    const Value* end_a;
    const Value* next_b;
  };

  std::vector<Open> parents;
  const Value* next_a = a.elements().data();
  const Value* end_a = next_a + a.elements().size();
  const Value* next_b = b.elements().data();
  for (;;) {
    if (next_a == end_a) {
      if (parents.empty()) return true;
      next_a = parents.back().next_a;
      end_a = parents.back().end_a;
      next_b = parents.back().next_b;
      parents.pop_back();
      continue;
    }
    const Value& x = *next_a++;
    const Value& y = *next_b++;
    if (x.is_list() != y.is_list()) return false;
    if (x.is_atom()) {
      if (!same_atom(x, y)) return false;
      continue;
    }
    const Value::List& xs = x.elements();
    const Value::List& ys = y.elements();
    if (xs.size() != ys.size()) return false;
    if (xs.empty()) continue;
    parents.push_back({next_a, end_a, next_b});
    next_a = xs.data();
    end_a = next_a + xs.size();
    next_b = ys.data();
  }
}

Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    // Take `other` first: it may live inside the subtree about to be destroyed.
    Value taken(std::move(other));
    destroy();
    move_from(std::move(taken));
  }
  return *this;
}

void Value::delete_hint() noexcept { delete reinterpret_cast<Octets*>(tag_); }

void Value::destroy_list() noexcept {
  for (const Value& element : list_) {
    if (element.is_list() && !element.list_.empty()) {
      destroy_deep(list_);
      break;
    }
  }
  list_.~List();
}

// Empties `root` without recursion and without allocating. Elements are taken off the back of
// the vector in hand; an element that is a non-empty list becomes the vector in hand, and the
// vector it interrupted is parked in the slot that taking the element freed (capacity is never
// exceeded, so the push cannot allocate). Parked vectors thus form a chain through their last
// elements, unwound when the vector in hand runs empty. Every destructor run here sees an atom or
// an empty list only.
void Value::destroy_deep(List& root) noexcept {
  List current = std::move(root);
  List parked;  // empty: nothing parked
  for (;;) {
    while (!current.empty()) {
      Value& last = current.back();
      if (!last.is_list() || last.list_.empty()) {
        current.pop_back();
        continue;
      }
      List child = std::move(last.list_);
      current.pop_back();
      current.push_back(Value(std::move(parked)));
      parked = std::move(current);
      current = std::move(child);
    }
    if (parked.empty()) return;
    current = std::move(parked);
    parked = std::move(current.back().list_);
    current.pop_back();
  }
}

}  // namespace tarnel
