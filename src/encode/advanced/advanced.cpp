#include "tarnel/advanced.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarnel {
namespace {

// What one octet means to the choice of form; a string's form follows from the AND and the OR of
// its octets' classes, found in one scan.
constexpr std::uint8_t token_first = 1;  // may begin a token: a letter or * + - . / : = _
constexpr std::uint8_t token_rest = 2;   // may continue one: those and the digits
constexpr std::uint8_t needs_hex = 4;    // unprintable and not an escapable control
constexpr std::uint8_t escaped = 8;      // takes a backslash inside a quoted string

// The letter after the backslash for 0x07-0x0D, and the octet itself for '"' and '\'.
constexpr std::array<char, 256> escape_letter = [] {
  std::array<char, 256> table{};
  const char letters[] = "abtnvfr";
  for (int i = 0; i < 7; ++i) table[0x07 + i] = letters[i];
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

constexpr std::array<std::uint8_t, 256> octet_class = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    bool punctuation = false;
    for (char p : {'*', '+', '-', '.', '/', ':', '=', '_'}) punctuation |= c == p;
    const bool digit = c >= '0' && c <= '9';
    std::uint8_t cls = 0;
    if (letter || punctuation) cls |= token_first | token_rest;
    if (digit) cls |= token_rest;
    if (escape_letter[c] != 0) cls |= escaped;
    if ((c < 0x20 || c > 0x7E) && escape_letter[c] == 0) cls |= needs_hex;
    table[c] = cls;
  }
  return table;
}();

// The two lower-case hexadecimal digits of each octet, so that one lookup writes both.
constexpr std::array<std::array<char, 2>, 256> hex_pairs = [] {
  const char digits[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = {digits[c >> 4], digits[c & 0x0F]};
  return table;
}();

// Eight octets as one word, in whatever order the platform keeps them: the tests below ask only
// whether any octet of the word has a property.
std::uint64_t load_word(const std::uint8_t* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

constexpr std::uint64_t each_octet(std::uint8_t octet) noexcept {
  return 0x0101010101010101ULL * octet;
}

// The high bit of each octet of `word` that is zero, and no other bit.
constexpr std::uint64_t zero_octets(std::uint64_t word) noexcept {
  constexpr std::uint64_t low7 = each_octet(0x7F);
  return ~(((word & low7) + low7) | word | low7);
}

// Whether all eight octets of `word` stand for themselves inside a quoted string: printable ASCII
// (0x20-0x7E) other than '"' and '\'.
constexpr bool plain_in_quotes(std::uint64_t word) noexcept {
  constexpr std::uint64_t high = each_octet(0x80);
  // An octet below 0x20 or at or above 0x80 has its high bit set after adding 0x60 to its low
  // seven bits, or had it already; 0x7F, '"' and '\' are found by comparison.
  const std::uint64_t outside = ((word & each_octet(0x7F)) + each_octet(0x60)) ^ high;
  const std::uint64_t bad = (outside | word) & high;
  return (bad | zero_octets(word ^ each_octet(0x7F)) | zero_octets(word ^ each_octet('"')) |
          zero_octets(word ^ each_octet('\\'))) == 0;
}

// The form the fixed rule gives `octets` (at least one), found in one pass that stops at the first
// octet that needs hexadecimal; for a quoted string, also how many octets are escaped.
enum class Form : std::uint8_t { Token, Quoted, Hexadecimal };

struct FormOf {
  Form form;
  std::size_t escapes;
};

FormOf form_of(std::span<const std::uint8_t> octets) noexcept {
  std::uint8_t all = 0xFF;
  std::size_t escapes = 0;
  for (const std::uint8_t octet : octets) {
    const std::uint8_t cls = octet_class[octet];
    if (cls & needs_hex) return {Form::Hexadecimal, 0};
    all &= cls;
    escapes += cls >> 3;  // the escaped bit
  }
  if ((octet_class[octets[0]] & token_first) && (all & token_rest)) return {Form::Token, 0};
  return {Form::Quoted, escapes};
}

// Atoms of at least this many octets are classified a word at a time where they can be.
constexpr std::size_t long_atom = 16;

void write_hexadecimal(std::span<const std::uint8_t> octets, Buffer& out) {
  const std::size_t n = octets.size();
  std::uint8_t* w = out.extend(2 * n + 2);
  *w++ = '#';
  for (const std::uint8_t octet : octets) {
    std::memcpy(w, hex_pairs[octet].data(), 2);
    w += 2;
  }
  *w = '#';
}

// `escapes`: how many of the octets are written as an escape.
void write_quoted(std::span<const std::uint8_t> octets, std::size_t escapes, Buffer& out) {
  const std::size_t n = octets.size();
  std::uint8_t* w = out.extend(n + escapes + 2);
  *w++ = '"';
  if (escapes == 0) {
    std::memcpy(w, octets.data(), n);
    w += n;
  } else {
    for (const std::uint8_t octet : octets) {
      const char letter = escape_letter[octet];
      if (letter != 0) {
        *w++ = '\\';
        *w++ = static_cast<std::uint8_t>(letter);
      } else {
        *w++ = octet;
      }
    }
  }
  *w = '"';
}

}  // namespace

void write_octet_string(std::span<const std::uint8_t> octets, Buffer& out) {
  const std::uint8_t* in = octets.data();
  const std::size_t n = octets.size();
  if (n == 0) {
    out.append(std::string_view("\"\""));
    return;
  }

  // Short atoms: one pass over the classes, with no branch on them but the one that stops at an
  // octet that needs hexadecimal (random data meets one within a few octets). Branching on the
  // form early costs more than it saves at these lengths, where the form is hard to predict.
  if (n < long_atom) {
    const FormOf chosen = form_of(octets);
    if (chosen.form == Form::Token) {
      out.append(in, n);
    } else if (chosen.form == Form::Quoted) {
      write_quoted(octets, chosen.escapes, out);
    } else {
      write_hexadecimal(octets, out);
    }
    return;
  }

  // Longer ones: a token is the common case, one test an octet while the octets may still make
  // one.
  std::size_t i = 0;
  if (octet_class[in[0]] & token_first) {
    while (i < n && (octet_class[in[i]] & token_rest)) ++i;
    if (i == n) {
      out.append(in, n);
      return;
    }
  }
  // Not a token, so quoted or hexadecimal. Words of printable octets with neither '"' nor '\'
  // are passed over eight octets at a time; the classes of the others are looked up.
  std::size_t escapes = 0;
  while (i < n) {
    if (n - i >= 8 && plain_in_quotes(load_word(in + i))) {
      i += 8;
      continue;
    }
    const std::uint8_t cls = octet_class[in[i++]];
    if (cls & needs_hex) {
      // One octet that needs hexadecimal decides the form: such an octet is never in a token.
      write_hexadecimal(octets, out);
      return;
    }
    escapes += cls >> 3;  // the escaped bit
  }
  write_quoted(octets, escapes, out);
}

std::uint64_t octet_string_text_size(std::span<const std::uint8_t> octets) noexcept {
  const std::uint64_t n = octets.size();
  if (n == 0) return 2;
  const FormOf chosen = form_of(octets);
  if (chosen.form == Form::Token) return n;
  if (chosen.form == Form::Quoted) return n + chosen.escapes + 2;
  return 2 * n + 2;
}

void AdvancedWriter::atom(std::span<const std::uint8_t> data, const Octets* hint) {
  separate();
  if (hint != nullptr) {
    out_.push_back('[');
    write_octet_string(hint->view(), out_);
    out_.push_back(']');
  }
  write_octet_string(data, out_);
  first_ = false;
}

Buffer encode_advanced(const Value& value) {
  Buffer out;
  AdvancedWriter writer(out);
  write_tree(value, writer);
  return out;
}

}  // namespace tarnel
