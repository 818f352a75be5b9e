// The ways the reader can refuse its input. Each refusal is one `ReadError`: a kind, stored in one
// octet, and the octet offset at which the offending construct begins. The reader reports only the
// first refusal and returns it as a value. A refusal reads as "<message> at offset <n>", the text
// of Python's `ParseError`, and each kind has the short name Python's `ParseError.kind` gives
// (`unexpected_end`).
//
// Thread safety: everything here is pure; call it from any thread. Only `to_string` allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tarnel/export.h"
#include "tarnel/result.h"

namespace tarnel {

/// Every kind of refusal, in a fixed order; the ordinals are part of the interface. What each
/// means is its message (`error_kind_message`); its short name is `error_kind_name`.
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
  /// The octet at which the offending construct begins (where the input ended, for an input cut
  /// short), counted from the first octet of the input or stream.
  std::uint64_t offset = 0;
  /// What was wrong.
  ErrorKind kind = ErrorKind::UnexpectedEnd;

  /// Equal when both kind and offset are.
  friend bool operator==(const ReadError&, const ReadError&) = default;
};

/// Why a read into a builder or a conversion to a sink stopped: the input's first refusal, or the
/// receiving side's own failure (a builder that could not build, a sink that refused a piece).
struct Stop {
  /// The builder or sink stopped the read; `refusal` means nothing then.
  bool by_builder = false;
  /// The input's refusal, when `by_builder` is false.
  ReadError refusal;
};

/// The position just past the S-expression read or converted, or why that stopped.
using Built = Result<std::uint64_t, Stop>;

/// The kind's short name in lower snake case, such as "unexpected_end" for
/// `ErrorKind::UnexpectedEnd`: the name Python's `ParseError.kind` and the command's messages
/// give. A value outside the enumeration gives the first kind's name. Cannot fail; the text is
/// static.
TARNEL_EXPORT std::string_view error_kind_name(ErrorKind kind) noexcept;

/// The kind's fixed message, such as "the input ended in the middle of an S-expression". A value
/// outside the enumeration gives the first kind's message. Cannot fail; the text is static.
TARNEL_EXPORT std::string_view error_kind_message(ErrorKind kind) noexcept;

/// Room enough for any display text: the longest message, " at offset " and twenty digits.
inline constexpr std::size_t error_display_capacity = 128;

/// Writes the display text of `error`, "<message> at offset <decimal>", into `out` and returns
/// its length; not terminated. `out` must have room for `error_display_capacity` chars. Cannot
/// fail and allocates nothing.
TARNEL_EXPORT std::size_t format_read_error(const ReadError& error, char* out) noexcept;

/// The display text of `error`, such as "the input ended in the middle of an S-expression at
/// offset 11": the message of Python's `ParseError` for the same refusal. Throws std::bad_alloc
/// when memory runs out.
inline std::string to_string(const ReadError& error) {
  char text[error_display_capacity];
  return std::string(text, format_read_error(error, text));
}

}  // namespace tarnel
