#include "tarnel/error.h"

#include <array>
#include <cstring>

#include "decode/reader/message_at.h"

namespace tarnel {
namespace {

struct KindText {
  std::string_view name;
  std::string_view message;
};

constexpr std::array<KindText, error_kind_count> kind_texts = {{
    {"unexpected_end", "the input ended in the middle of an S-expression"},
    {"unexpected_octet", "an octet that cannot appear here"},
    {"trailing_octets", "octets after a complete S-expression"},
    {"unmatched_parenthesis", "a closing parenthesis with no list open"},
    {"length_leading_zero", "a length with a leading zero"},
    {"length_overflow", "a length too large to represent"},
    {"length_mismatch", "a length that disagrees with the octets it counts"},
    {"invalid_escape", "an escape that is not defined"},
    {"invalid_hex_digit", "an octet that is not a hexadecimal digit"},
    {"odd_hex_digits", "an odd number of hexadecimal digits"},
    {"invalid_base64", "an octet that does not belong in a base-64 encoding"},
    {"hint_on_list", "a display hint before a list"},
    {"too_deep", "lists nested deeper than allowed"},
    {"atom_too_long", "an octet string longer than allowed"},
    {"input_too_long", "input longer than allowed"},
    {"hint_not_allowed", "a display hint, which is not allowed"},
    {"empty_atom_not_allowed", "a zero-length octet string, which is not allowed"},
    {"empty_list_not_allowed", "an empty list, which is not allowed"},
    {"list_as_first_element_not_allowed",
     "a list as the first element of a list, which is not allowed"},
    {"advanced_not_allowed", "the advanced representation, which is not allowed"},
    {"transport_not_allowed", "the basic transport representation, which is not allowed"},
    {"hexadecimal_not_allowed", "a hexadecimal octet string, which is not allowed"},
    {"base64_not_allowed", "a base-64 octet string, which is not allowed"},
    {"length_not_allowed", "a length before an octet string, which is not allowed"},
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

std::size_t format_message_at(std::string_view message, std::uint64_t offset, char* out) noexcept {
  std::size_t n = 0;
  std::memcpy(out, message.data(), message.size());
  n += message.size();
  std::memcpy(out + n, at_offset.data(), at_offset.size());
  n += at_offset.size();
  char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + offset % 10);
    offset /= 10;
  } while (offset != 0);
  while (count != 0) out[n++] = digits[--count];
  return n;
}

std::size_t format_read_error(const ReadError& error, char* out) noexcept {
  return format_message_at(error_kind_message(error.kind), error.offset, out);
}

}  // namespace tarnel
