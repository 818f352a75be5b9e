// Shared by the reader's tests: octets from text, option sets with some flags turned off, and
// the reader's result rendered as text (the canonical form of the value, or the error) so that
// a failed comparison shows both what was read and what was expected.
#pragma once

#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "tarnel/canonical.h"
#include "tarnel/error.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"

namespace tarnel::read_testing {

inline std::span<const std::uint8_t> octets_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

using Flag = bool ReaderOptions::*;

/// `base` with each of `flags` turned off.
inline ReaderOptions without(std::initializer_list<Flag> flags,
                             ReaderOptions base = default_options) {
  for (Flag f : flags) base.*f = false;
  return base;
}

inline ReaderOptions with_max_atom_len(std::uint64_t limit, ReaderOptions base = default_options) {
  base.max_atom_len = limit;
  return base;
}

inline ReaderOptions with_max_depth(std::uint64_t limit, ReaderOptions base = default_options) {
  base.max_depth = limit;
  return base;
}

inline ReaderOptions with_max_input_len(std::uint64_t limit, ReaderOptions base = default_options) {
  base.max_input_len = limit;
  return base;
}

inline std::string canonical_text(const Value& v) {
  return std::string(encode_canonical(v).text());
}

inline std::string error_text(const ReadError& e) {
  return std::string(error_kind_name(e.kind)) + "@" + std::to_string(e.offset);
}

/// What `read_whole` makes of `input`: the canonical form of the value, or "kind@offset".
inline std::string read_text(std::string_view input, const ReaderOptions& options) {
  Result<Value, ReadError> v = read_whole(options, octets_of(input));
  return v ? canonical_text(*v) : error_text(v.error());
}

inline std::string expected_error(ErrorKind kind, std::uint64_t offset) {
  return error_text({offset, kind});
}

}  // namespace tarnel::read_testing
