// The ways the reader can refuse its input. Each refusal is one `ReadError`: a kind, stored in one
// octet, and the octet offset at which the offending construct begins. The reader reports only the
// first refusal and returns it as a value; nothing here allocates or can fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tarnel/export.h"
#include "tarnel/result.h"

namespace tarnel {

/// Every kind of refusal, in a fixed order; the ordinals are part of the interface.
enum class ErrorKind : std::uint8_t {
  UnexpectedEnd,
  UnexpectedOctet,
  TrailingOctets,
  UnmatchedParenthesis,
  LengthLeadingZero,
  LengthOverflow,
  LengthMismatch,
  InvalidEscape,
  InvalidHexDigit,
  OddHexDigits,
  InvalidBase64,
  HintOnList,
  TooDeep,
  AtomTooLong,
  InputTooLong,
  HintNotAllowed,
  EmptyAtomNotAllowed,
  EmptyListNotAllowed,
  ListAsFirstElementNotAllowed,
  AdvancedNotAllowed,
  TransportNotAllowed,
  HexadecimalNotAllowed,
  Base64NotAllowed,
  LengthNotAllowed,
};

/// The number of kinds.
inline constexpr std::size_t error_kind_count = 24;

/// A refusal: what was wrong and where, as an octet offset into the input given to the reader.
struct ReadError {
  std::uint64_t offset = 0;
  ErrorKind kind = ErrorKind::UnexpectedEnd;

  friend bool operator==(const ReadError&, const ReadError&) = default;
};

/// Why a read into a builder or a conversion to a sink stopped: the input's first refusal, or the
/// receiving side's own failure (a builder that could not build, a sink that refused a piece).
struct Stop {
  bool by_builder = false;
  ReadError refusal;  // meaningful when !by_builder
};

/// The position just past the S-expression read or converted, or why that stopped.
using Built = Result<std::uint64_t, Stop>;

/// The enumerator's name, such as "UnexpectedEnd".
TARNEL_EXPORT std::string_view error_kind_name(ErrorKind kind) noexcept;

/// The kind's fixed message, such as "the input ended in the middle of an S-expression".
TARNEL_EXPORT std::string_view error_kind_message(ErrorKind kind) noexcept;

/// Room enough for any display text: the longest message, " at offset " and twenty digits.
inline constexpr std::size_t error_display_capacity = 128;

/// Writes "<message> at offset <decimal>" into `out` (at least `error_display_capacity` chars)
/// and returns its length. Cannot fail.
TARNEL_EXPORT std::size_t format_read_error(const ReadError& error, char* out) noexcept;

}  // namespace tarnel
