// An owned, growable octet buffer: the one output type of the writers and the base-64 codec, and
// the scratch space in which the reader collects decoded octets before they become an atom.
//
// It exists (rather than std::vector<std::uint8_t>) so that its storage can be handed over to an
// `Octets` without a copy, and so that appending never value-initialises the new room first.
// Growth is amortised doubling; `reserve` takes exactly what it is asked for. A failed allocation
// throws std::bad_alloc, which the binding's entry guard turns into MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "tarnel/export.h"

namespace tarnel {

/// A heap octet buffer with explicit capacity control and ownership transfer.
class TARNEL_EXPORT Buffer {
 public:
  Buffer() noexcept = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  ~Buffer();

  /// Ensures room for at least `capacity` octets in all; never shrinks.
  void reserve(std::size_t capacity);

  /// Appends `n` octets copied from `p`.
  void append(const std::uint8_t* p, std::size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }

  void append(std::span<const std::uint8_t> s) { append(s.data(), s.size()); }

  void append(std::string_view s) {
    append(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }

  void push_back(std::uint8_t octet) {
    if (size_ == capacity_) grow_for(1);
    data_[size_++] = octet;
  }

  /// Makes room for `n` more octets and returns where they go; the caller must write all `n`.
  std::uint8_t* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    std::uint8_t* out = data_ + size_;
    size_ += n;
    return out;
  }

  /// Drops the last `n` octets (n <= size()).
  void shrink_by(std::size_t n) noexcept { size_ -= n; }

  void clear() noexcept { size_ = 0; }

  std::uint8_t* data() noexcept { return data_; }

  const std::uint8_t* data() const noexcept { return data_; }

  std::size_t size() const noexcept { return size_; }

  std::size_t capacity() const noexcept { return capacity_; }

  bool empty() const noexcept { return size_ == 0; }

  std::span<const std::uint8_t> view() const noexcept { return {data_, size_}; }

  std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

  /// Gives up the storage: the caller owns the returned block (allocated with malloc) and frees
  /// it with std::free. The buffer is left empty.
  std::uint8_t* release() noexcept;

  /// Trims the storage to exactly size() octets (keeps at least one octet of storage).
  void shrink_to_fit();

 private:
  void grow_for(std::size_t n);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarnel
