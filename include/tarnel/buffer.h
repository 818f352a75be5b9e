// An owned, growable octet buffer: the one output type of the writers and the base-64 codec, and
// the scratch space in which the reader collects decoded octets before they become an atom.
//
// It exists (rather than std::vector<std::uint8_t>) so that its storage can be handed over to an
// `Octets` without a copy, and so that appending never value-initialises the new room first.
// Growth is amortised doubling; `reserve` takes exactly what it is asked for. A failed allocation
// throws std::bad_alloc, which the binding's entry guard turns into MemoryError.
//
// Also here: `as_octets`, which views text or `std::byte`s as the octets every reader and writer
// takes, so that a caller holding a `std::string` or a `std::span<const std::byte>` needs no cast.
//
// Thread safety: a buffer is a plain object; reading one from several threads at once is safe,
// changing one needs the caller to keep every other user away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "tarnel/export.h"

namespace tarnel {

/// Views `text` as octets: the same memory, each `char` read as the octet it holds. The view is
/// valid as long as `text` is. Cannot fail.
inline std::span<const std::uint8_t> as_octets(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Views `bytes` as octets: the same memory. The view is valid as long as `bytes` is. Cannot fail.
inline std::span<const std::uint8_t> as_octets(std::span<const std::byte> bytes) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

/// A heap octet buffer with explicit capacity control and ownership transfer. Move-only; a
/// moved-from buffer is empty and may be reused.
class TARNEL_EXPORT Buffer {
 public:
  /// An empty buffer; allocates nothing.
  Buffer() noexcept = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  /// Takes over `other`'s storage; `other` is left empty. Cannot fail.
  Buffer(Buffer&& other) noexcept;

  /// Frees this buffer's storage and takes over `other`'s; `other` is left empty. Cannot fail.
  Buffer& operator=(Buffer&& other) noexcept;

  ~Buffer();

  /// Ensures room for at least `capacity` octets in all, taking exactly that much when it grows;
  /// never shrinks. Throws std::bad_alloc when memory runs out (the buffer is then unchanged).
  void reserve(std::size_t capacity);

  /// Appends `n` octets copied from `p`, which may be null when `n` is 0 and must not point into
  /// this buffer. Throws std::bad_alloc when memory runs out (the buffer is then unchanged).
  void append(const std::uint8_t* p, std::size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }

  /// Appends the octets `s` views, as above.
  void append(std::span<const std::uint8_t> s) { append(s.data(), s.size()); }

  /// Appends the octets of `s`, as above.
  void append(std::string_view s) {
    append(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }

  /// Appends one octet. Throws std::bad_alloc when memory runs out (the buffer is then
  /// unchanged).
  void push_back(std::uint8_t octet) {
    if (size_ == capacity_) grow_for(1);
    data_[size_++] = octet;
  }

  /// Makes room for `n` more octets and returns where they go; the caller must write all `n`
  /// before reading the buffer. Throws std::bad_alloc when memory runs out (then unchanged).
  std::uint8_t* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    std::uint8_t* out = data_ + size_;
    size_ += n;
    return out;
  }

  /// Drops the last `n` octets; `n` must not exceed size(). Keeps the storage.
  void shrink_by(std::size_t n) noexcept { size_ -= n; }

  /// Drops every octet; keeps the storage.
  void clear() noexcept { size_ = 0; }

  /// The first octet, or null while nothing was ever allocated. Valid until the buffer grows,
  /// is moved from or is destroyed.
  std::uint8_t* data() noexcept { return data_; }

  /// As above, read-only.
  const std::uint8_t* data() const noexcept { return data_; }

  /// The number of octets held.
  std::size_t size() const noexcept { return size_; }

  /// The number of octets the storage has room for.
  std::size_t capacity() const noexcept { return capacity_; }

  /// Whether no octet is held.
  bool empty() const noexcept { return size_ == 0; }

  /// The octets held, valid as data() is.
  std::span<const std::uint8_t> view() const noexcept { return {data_, size_}; }

  /// The octets held as text (not terminated), valid as data() is.
  std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

  /// Gives up the storage: the caller owns the returned block (allocated with malloc, possibly
  /// null) and frees it with std::free. The buffer is left empty. Cannot fail.
  std::uint8_t* release() noexcept;

  /// Trims the storage to exactly size() octets (keeps at least one octet of storage). Throws
  /// std::bad_alloc when memory runs out (the buffer is then unchanged).
  void shrink_to_fit();

 private:
  void grow_for(std::size_t n);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarnel
