// The rules of the written forms, each defined once and used by every reader of them: the reader
// (decode/reader), the framer that follows a stream in pieces (decode/framer) and, through the
// reader, the converter. Octet classes, the digits of lengths, hexadecimal digits, the escapes of
// quoted strings, which forms may start where under which options, and the checks an octet string
// ends with. Each rule is a table or a small constexpr function with no state, so that a reader
// that reads a form in one step and a framer that follows it an octet at a time apply the same
// rule and cannot drift apart.
//
// Where a rule refuses, it names the refusal (`Fault`); where the refusal is reported is the
// caller's to say, and is given beside each rule.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "tarnel/error.h"
#include "tarnel/options.h"

namespace tarnel {

/// The classes of octets the reader tells apart, as bits of `octet_classes`.
namespace octet_class {
inline constexpr std::uint8_t token_start = 1;   // may begin a token
inline constexpr std::uint8_t token_char = 2;    // may continue a token
inline constexpr std::uint8_t whitespace = 4;    // HT, LF, VT, FF, CR, SP
inline constexpr std::uint8_t plain_quoted = 8;  // stands for itself inside a quoted string
inline constexpr std::uint8_t raw = 16;          // 0x80-0xFF: in quotes with allow_raw_octets
}  // namespace octet_class

/// The class bits of every octet: one lookup instead of a chain of comparisons on the paths that
/// run once per octet of advanced text.
inline constexpr std::array<std::uint8_t, 256> octet_classes = [] {
  std::array<std::uint8_t, 256> table{};
  auto mark = [&table](unsigned first, unsigned last, std::uint8_t bits) {
    for (unsigned c = first; c <= last; ++c) table[c] |= bits;
  };
  constexpr std::uint8_t token = octet_class::token_start | octet_class::token_char;
  mark('A', 'Z', token);
  mark('a', 'z', token);
  for (unsigned char c : {'*', '+', '-', '.', '/', ':', '=', '_'}) table[c] |= token;
  mark('0', '9', octet_class::token_char);
  mark(0x09, 0x0D, octet_class::whitespace);
  mark(' ', ' ', octet_class::whitespace);
  mark(0x20, 0x7E, octet_class::plain_quoted);
  table['"'] &= static_cast<std::uint8_t>(~octet_class::plain_quoted);
  table['\\'] &= static_cast<std::uint8_t>(~octet_class::plain_quoted);
  mark(0x80, 0xFF, octet_class::raw);
  return table;
}();

/// Whether `octet` may begin a token.
constexpr bool is_token_start(std::uint8_t octet) noexcept {
  return (octet_classes[octet] & octet_class::token_start) != 0;
}

/// Whether `octet` may continue a token.
constexpr bool is_token_char(std::uint8_t octet) noexcept {
  return (octet_classes[octet] & octet_class::token_char) != 0;
}

/// Whether `octet` is one of the six whitespace octets (HT, LF, VT, FF, CR, SP).
constexpr bool is_whitespace(std::uint8_t octet) noexcept {
  return (octet_classes[octet] & octet_class::whitespace) != 0;
}

/// The class bits of the octets that stand for themselves inside a quoted string read under
/// `options`: printable ASCII but '"' and '\', and 0x80-0xFF too with `allow_raw_octets`.
constexpr std::uint8_t quoted_classes(const ReaderOptions& options) noexcept {
  return options.allow_raw_octets ? octet_class::plain_quoted | octet_class::raw
                                  : octet_class::plain_quoted;
}

/// Whether `octet` stands for itself inside a quoted string, given `quoted_classes` of the
/// options: one lookup and one test, whichever the options.
constexpr bool stands_in_quotes(std::uint8_t octet, std::uint8_t quoted) noexcept {
  return (octet_classes[octet] & quoted) != 0;
}

/// Whether `octet` is a decimal digit (of a length, or of an octal escape's value).
constexpr bool is_digit(std::uint8_t octet) noexcept { return octet >= '0' && octet <= '9'; }

/// The value of every hexadecimal digit (either case); any other octet has `not_hex`, so that
/// OR-ing two looked-up octets tells at once whether both are digits.
inline constexpr std::uint8_t not_hex = 0xFF;

inline constexpr std::array<std::uint8_t, 256> hex_values = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(not_hex);
  for (unsigned c = '0'; c <= '9'; ++c) table[c] = static_cast<std::uint8_t>(c - '0');
  for (unsigned c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (unsigned c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  return table;
}();

/// Whether `octet` is a hexadecimal digit.
constexpr bool is_hex_digit(std::uint8_t octet) noexcept { return hex_values[octet] != not_hex; }

/// A refusal a rule brings, or none.
using Fault = std::optional<ErrorKind>;

/// Takes the next digit of a decimal length that already has `digits` digits (at least one) and
/// the value `length`: a length that starts with 0 has no more digits, and no length exceeds
/// 2^64 - 1. The refusal is reported at the length's first digit.
constexpr Fault next_length_digit(std::uint64_t& length, std::uint64_t digits,
                                  std::uint8_t digit) noexcept {
  if (digits == 1 && length == 0) return ErrorKind::LengthLeadingZero;
  const std::uint64_t value = digit - std::uint64_t{'0'};
  if (length > (~std::uint64_t{0} - value) / 10) return ErrorKind::LengthOverflow;
  length = length * 10 + value;
  return std::nullopt;
}

/// The forms an octet string takes, by its first octet.
enum class Form : std::uint8_t {
  None,         // no octet string begins so
  Length,       // a decimal digit: a length, then ':' (verbatim) or one of the forms below
  Token,        // a token's first octet
  Quoted,       // '"'
  Hexadecimal,  // '#'
  Base64,       // '|'
};

/// The form each octet begins.
inline constexpr std::array<Form, 256> forms = [] {
  std::array<Form, 256> table{};
  for (unsigned c = 0; c < 256; ++c) {
    if (is_digit(static_cast<std::uint8_t>(c))) {
      table[c] = Form::Length;
    } else if (is_token_start(static_cast<std::uint8_t>(c))) {
      table[c] = Form::Token;
    }
  }
  table['"'] = Form::Quoted;
  table['#'] = Form::Hexadecimal;
  table['|'] = Form::Base64;
  return table;
}();

/// What the options say of an octet string whose first octet begins `form`, with no length
/// before it (verbatim strings, which have one, are read under every restriction). The refusal
/// is reported at that first octet.
constexpr Fault form_fault(const ReaderOptions& options, Form form) noexcept {
  switch (form) {
    case Form::None:
      return ErrorKind::UnexpectedOctet;
    case Form::Length:
      return std::nullopt;
    case Form::Token:
    case Form::Quoted:
      break;
    case Form::Hexadecimal:
      if (!options.allow_advanced) break;
      if (!options.allow_hexadecimal) return ErrorKind::HexadecimalNotAllowed;
      return std::nullopt;
    case Form::Base64:
      if (!options.allow_advanced) break;
      if (!options.allow_base64) return ErrorKind::Base64NotAllowed;
      return std::nullopt;
  }
  if (!options.allow_advanced) return ErrorKind::AdvancedNotAllowed;
  return std::nullopt;
}

/// What the options say of the octet `after` that follows a length's digits: ':' opens a
/// verbatim string, under every restriction; '"', '#' and '|' a form with a length, which needs
/// the advanced representation, its own flag and `allow_lengths`, in that order. An
/// `UnexpectedOctet` is reported at `after`; every other refusal at the length's first digit.
constexpr Fault form_fault_after_length(const ReaderOptions& options, std::uint8_t after) noexcept {
  if (after == ':') return std::nullopt;
  const Form form = forms[after];
  if (form != Form::Quoted && form != Form::Hexadecimal && form != Form::Base64) {
    return ErrorKind::UnexpectedOctet;
  }
  if (!options.allow_advanced) return ErrorKind::AdvancedNotAllowed;
  if (form == Form::Hexadecimal && !options.allow_hexadecimal) {
    return ErrorKind::HexadecimalNotAllowed;
  }
  if (form == Form::Base64 && !options.allow_base64) return ErrorKind::Base64NotAllowed;
  if (!options.allow_lengths) return ErrorKind::LengthNotAllowed;
  return std::nullopt;
}

/// The checks every octet string ends with, on the number of octets it decoded to, in their
/// fixed order: the written length (where one was written), the empty-atom flag, then
/// `max_atom_len`. Reported at the string's first octet (its length's first digit, if any).
constexpr Fault decoded_fault(const ReaderOptions& options, bool has_length, std::uint64_t length,
                              std::uint64_t count) noexcept {
  if (has_length && count != length) return ErrorKind::LengthMismatch;
  if (count == 0 && !options.allow_empty_atoms) return ErrorKind::EmptyAtomNotAllowed;
  if (count > options.max_atom_len) return ErrorKind::AtomTooLong;
  return std::nullopt;
}

/// What follows a backslash in a quoted string.
enum class EscapeKind : std::uint8_t {
  Invalid,      // no escape: refused as InvalidEscape at the backslash
  Octet,        // one letter that stands for one octet (`value`)
  Hexadecimal,  // 'x' and two hexadecimal digits
  Octal,        // three octal digits, of which this octet is the first (`value` its value)
  LineBreak,    // a line continuation: LF or CR, and the other one after it if it comes
};

/// One escape's rule: its kind, and the octet (Octet), the first digit's value (Octal) or the
/// octet that completes the line break (LineBreak).
struct Escape {
  EscapeKind kind = EscapeKind::Invalid;
  std::uint8_t value = 0;
};

/// The escape each octet after a backslash begins.
inline constexpr std::array<Escape, 256> escapes = [] {
  std::array<Escape, 256> table{};
  const std::uint8_t letters[][2] = {{'a', 0x07},  {'b', 0x08}, {'t', 0x09}, {'n', 0x0A},
                                     {'v', 0x0B},  {'f', 0x0C}, {'r', 0x0D}, {'"', '"'},
                                     {'\'', '\''}, {'?', '?'},  {'\\', '\\'}};
  for (const auto& letter : letters) table[letter[0]] = {EscapeKind::Octet, letter[1]};
  table['x'] = {EscapeKind::Hexadecimal, 0};
  for (unsigned c = '0'; c <= '7'; ++c) {
    table[c] = {EscapeKind::Octal, static_cast<std::uint8_t>(c - '0')};
  }
  table['\n'] = {EscapeKind::LineBreak, '\r'};
  table['\r'] = {EscapeKind::LineBreak, '\n'};
  return table;
}();

/// The digits a numeric escape takes after its letter (the octal escape's letter is its first
/// digit), and their base.
inline constexpr unsigned escape_digits = 2;

constexpr unsigned escape_base(EscapeKind kind) noexcept {
  return kind == EscapeKind::Hexadecimal ? 16 : 8;
}

/// The value of `octet` as a digit of a numeric escape in `base` (16 or 8), or -1.
constexpr int escape_digit(unsigned base, std::uint8_t octet) noexcept {
  const unsigned value = hex_values[octet];
  return value < base ? static_cast<int>(value) : -1;
}

/// Whether a numeric escape's value fits an octet (octal escapes reach 0777).
constexpr bool escape_value_fits(unsigned value) noexcept { return value <= 0xFF; }

}  // namespace tarnel
