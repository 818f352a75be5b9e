// `Result<T, E>`: the value of a fallible step, holding either a `T` or an error `E`. The library
// reports refusals as values, never as exceptions; the caller tests the result on the next line
// and passes the error up unchanged:
//
//     tarnel::Result<tarnel::Value, tarnel::ReadError> value = tarnel::read_whole(options, input);
//     if (!value) return value.error();
#pragma once

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

namespace tarnel {

/// Either a `T` or an `E`; never both, never neither.
template <class T, class E>
class [[nodiscard]] Result {
  static_assert(std::is_nothrow_move_constructible_v<T>);
  static_assert(std::is_trivially_copyable_v<E>);

 public:
  Result(T value) noexcept : ok_(true) { new (&value_) T(std::move(value)); }

  Result(E error) noexcept : ok_(false) { error_ = error; }

  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_) {
      new (&value_) T(std::move(other.value_));
    } else {
      error_ = other.error_;
    }
  }

  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;

  ~Result() {
    if (ok_) value_.~T();
  }

  explicit operator bool() const noexcept { return ok_; }

  bool ok() const noexcept { return ok_; }

  T& value() & noexcept {
    assert(ok_);
    return value_;
  }

  const T& value() const& noexcept {
    assert(ok_);
    return value_;
  }

  T&& value() && noexcept {
    assert(ok_);
    return std::move(value_);
  }

  T& operator*() & noexcept { return value(); }

  T* operator->() noexcept { return &value(); }

  const T* operator->() const noexcept { return &value(); }

  E error() const noexcept {
    assert(!ok_);
    return error_;
  }

 private:
  bool ok_;

  union {
    T value_;
    E error_;
  };
};

}  // namespace tarnel
