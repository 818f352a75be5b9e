#include "tarnel/buffer.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace tarnel {

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

Buffer::~Buffer() { std::free(data_); }

void Buffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  void* p = std::realloc(data_, capacity);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(p);
  capacity_ = capacity;
}

void Buffer::grow_for(std::size_t n) {
  if (n > SIZE_MAX - size_) throw std::bad_alloc();
  std::size_t need = size_ + n;
  std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
  std::size_t target = need > doubled ? need : doubled;
  if (target < 64) target = 64;
  reserve(target);
}

std::uint8_t* Buffer::release() noexcept {
  size_ = 0;
  capacity_ = 0;
  return std::exchange(data_, nullptr);
}

void Buffer::shrink_to_fit() {
  std::size_t target = size_ == 0 ? 1 : size_;
  if (capacity_ == target) return;
  void* p = std::realloc(data_, target);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(p);
  capacity_ = target;
}

}  // namespace tarnel
