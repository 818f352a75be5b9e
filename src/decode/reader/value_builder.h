// The builder of `Value` trees (build.h), shared by the reader and the stream engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

#include "tarnel/value.h"

namespace tarnel {

// Builds `Value`s. A list's elements are moved into a vector of exactly their number when its
// ')' arrives, so no list's storage is grown element by element.
class ValueBuilder {
 public:
  using View = std::span<const std::uint8_t>;

  std::size_t size() const noexcept { return elements_.size(); }

  bool is_list(std::size_t i) const noexcept { return elements_[i].is_list(); }

  bool atom(View data) {
    elements_.push_back(Value::atom(copy_of(data)));
    return true;
  }

  bool hinted_atom(View data, View hint) {
    elements_.push_back(Value::atom(copy_of(data), copy_of(hint)));
    return true;
  }

  bool list(std::size_t first) {
    auto begin = elements_.begin() + static_cast<std::ptrdiff_t>(first);
    Value::List items(std::make_move_iterator(begin), std::make_move_iterator(elements_.end()));
    elements_.erase(begin, elements_.end());
    elements_.push_back(Value::list(std::move(items)));
    return true;
  }

  /// Drops every element.
  void reset() noexcept { elements_.clear(); }

  /// The element a successful read leaves.
  Value take() noexcept { return std::move(elements_.back()); }

 private:
  // The octets copied through the C library's copy, whose length the compiler does not know:
  // short atoms of every length copy so with fewer mispredicted branches than the inline copy
  // the compiler makes where it knows the length is at most Octets' inline capacity.
  static Octets copy_of(View data) {
    Octets octets = Octets::uninitialized(data.size());
    if (!data.empty()) std::memcpy(octets.mutable_data(), data.data(), data.size());
    return octets;
  }

  std::vector<Value> elements_;
};

}  // namespace tarnel
