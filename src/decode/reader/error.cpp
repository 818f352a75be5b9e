#include "tarnel/error.h"

#include <array>
#include <cstring>

namespace tarnel {
namespace {

struct KindText {
  std::string_view name;
  std::string_view message;
};

constexpr std::array<KindText, error_kind_count> kind_texts = {{
    {"UnexpectedEnd", "the input ended in the middle of an S-expression"},
    {"UnexpectedOctet", "an octet that cannot appear here"},
    {"TrailingOctets", "octets after a complete S-expression"},
    {"UnmatchedParenthesis", "a closing parenthesis with no list open"},
    {"LengthLeadingZero", "a length with a leading zero"},
    {"LengthOverflow", "a length too large to represent"},
    {"LengthMismatch", "a length that disagrees with the octets it counts"},
    {"InvalidEscape", "an escape that is not defined"},
    {"InvalidHexDigit", "an octet that is not a hexadecimal digit"},
    {"OddHexDigits", "an odd number of hexadecimal digits"},
    {"InvalidBase64", "an octet that does not belong in a base-64 encoding"},
    {"HintOnList", "a display hint before a list"},
    {"TooDeep", "lists nested deeper than allowed"},
    {"AtomTooLong", "an octet string longer than allowed"},
    {"InputTooLong", "input longer than allowed"},
    {"HintNotAllowed", "a display hint, which is not allowed"},
    {"EmptyAtomNotAllowed", "a zero-length octet string, which is not allowed"},
    {"EmptyListNotAllowed", "an empty list, which is not allowed"},
    {"ListAsFirstElementNotAllowed", "a list as the first element of a list, which is not allowed"},
    {"AdvancedNotAllowed", "the advanced representation, which is not allowed"},
    {"TransportNotAllowed", "the basic transport representation, which is not allowed"},
    {"HexadecimalNotAllowed", "a hexadecimal octet string, which is not allowed"},
    {"Base64NotAllowed", "a base-64 octet string, which is not allowed"},
    {"LengthNotAllowed", "a length before an octet string, which is not allowed"},
}};

constexpr std::string_view at_offset = " at offset ";

constexpr bool fits_display_capacity() {
  for (const KindText& t : kind_texts) {
    if (t.message.size() + at_offset.size() + 20 > error_display_capacity) return false;
  }
  return true;
}

static_assert(fits_display_capacity());

const KindText& text_of(ErrorKind kind) noexcept {
  auto index = static_cast<std::size_t>(kind);
  return kind_texts[index < error_kind_count ? index : 0];
}

}  // namespace

std::string_view error_kind_name(ErrorKind kind) noexcept { return text_of(kind).name; }

std::string_view error_kind_message(ErrorKind kind) noexcept { return text_of(kind).message; }

std::size_t format_read_error(const ReadError& error, char* out) noexcept {
  std::string_view message = error_kind_message(error.kind);
  std::size_t n = 0;
  std::memcpy(out, message.data(), message.size());
  n += message.size();
  std::memcpy(out + n, at_offset.data(), at_offset.size());
  n += at_offset.size();
  char digits[20];
  std::size_t count = 0;
  std::uint64_t v = error.offset;
  do {
    digits[count++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (count != 0) out[n++] = digits[--count];
  return n;
}

}  // namespace tarnel
