// A new str of ASCII characters whose length is known before they are written, so that a writer
// can put them straight into the object it returns instead of copying them there.
//
// Built against the full C API, that is `PyUnicode_New` and the object's own storage. The stable
// ABI offers neither; there, where the running CPython exports `PyUnicode_New` and a one-time
// check in the process shows that the characters of a new ASCII str are where
// `PyUnicode_AsUTF8AndSize` points (as they are in every CPython since 3.3), those are used the
// same way. Otherwise (Windows, whose python3.dll exports only the stable ABI, or an interpreter
// that stores them elsewhere) the characters go to a buffer copied into the str at the end.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "runtime/ref.h"
#include "tarnel/buffer.h"

namespace tarnel::py {

class NewAsciiText {
 public:
  /// Room for `size` characters; false with an exception set where it cannot be had.
  bool make(std::size_t size);

  /// Where the characters go: all `size` of them must be written, ASCII only.
  std::uint8_t* data() noexcept { return data_; }

  /// The str (a new reference), or null with an exception set.
  PyObject* finish();

 private:
  Ref str_;
  Buffer staging_;
  std::size_t size_ = 0;
  std::uint8_t* data_ = nullptr;
};

}  // namespace tarnel::py
