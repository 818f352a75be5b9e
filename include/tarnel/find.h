// Finding the lists of a value by their first element, what users of other S-expression
// libraries write by hand around libgcrypt's gcry_sexp_find_token or Nettle's
// sexp_iterator_assoc. A list is found where its first element is an atom without a display
// hint holding exactly the octets asked for; an atom with a hint never names a list. Lists are
// visited in document order: a list before its elements, the value itself first, so `find` gives
// the outermost, earliest list of that name, as gcry_sexp_find_token does.
//
// The walk keeps the open lists on a heap stack: a value of any depth is searched with a fixed
// amount of call stack, and nothing is copied. The functions only read the value, so any number
// of threads may search one value at once.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tarnel/export.h"
#include "tarnel/value.h"

namespace tarnel {

/// The first list of `value` in document order (`value` itself included) whose first element is
/// an atom without a hint equal to `name`; null where there is none. The result points into
/// `value` and lives as long as it does. Fails only for memory (std::bad_alloc).
TARNEL_EXPORT const Value* find(const Value& value, std::span<const std::uint8_t> name);

/// As above, with the name's octets given as text.
TARNEL_EXPORT const Value* find(const Value& value, std::string_view name);

/// Every list of `value` that `find` considers a match, in document order, lists found inside
/// others included; empty where there is none. The pointers point into `value`.
TARNEL_EXPORT std::vector<const Value*> find_all(const Value& value,
                                                 std::span<const std::uint8_t> name);

/// As above, with the name's octets given as text.
TARNEL_EXPORT std::vector<const Value*> find_all(const Value& value, std::string_view name);

}  // namespace tarnel
