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
