#include "tarnel/gnupg.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "tarnel/reader.h"

namespace tarnel::gnupg {
namespace {

using View = std::span<const std::uint8_t>;

// What GnuPG's name-value reader counts as whitespace (not form feed or vertical tab).
bool is_space(std::uint8_t c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_letter(std::uint8_t c) noexcept { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

std::size_t leading_spaces(View line) noexcept {
  std::size_t n = 0;
  while (n < line.size() && is_space(line[n])) ++n;
  return n;
}

// A letter followed by letters, digits and '-'.
bool is_name(View name) noexcept {
  if (name.empty() || !is_letter(name[0])) return false;
  return std::all_of(name.begin() + 1, name.end(), [](std::uint8_t c) {
    return is_letter(c) || (c >= '0' && c <= '9') || c == '-';
  });
}

bool is_key_name(View name) noexcept {
  return name.size() == 3 && (name[0] | 0x20) == 'k' && (name[1] | 0x20) == 'e' &&
         (name[2] | 0x20) == 'y';
}

// `n` in decimal. (std::to_string would bring a table of digits into the shared library's exports
// as a unique symbol.)
std::string decimal(std::uint64_t n) {
  char digits[20];
  std::size_t start = sizeof digits;
  do {
    digits[--start] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  return std::string(digits + start, sizeof digits - start);
}

KeyError not_a_key_file(KeyErrorKind kind, std::uint64_t line) noexcept {
  KeyError error;
  error.kind = kind;
  error.line = line;
  return error;
}

// The joined value as it grows, and where each piece came from.
class Joiner {
 public:
  explicit Joiner(KeyText& text) noexcept : text_(text) {}

  // Adds what one line of the Key entry gives, by GnuPG's rule: one leading whitespace octet is
  // dropped ("more than one space encodes a space"), or all of it after a line left empty, and
  // all trailing whitespace; a line left empty stands for a newline. `place` is the line's first
  // octet in the file.
  void add(View line, std::uint64_t place) {
    std::size_t skip =
        swallow_ ? leading_spaces(line) : (!line.empty() && is_space(line[0]) ? 1 : 0);
    std::size_t end = line.size();
    while (end > skip && is_space(line[end - 1])) --end;
    swallow_ = end == skip;
    if (swallow_) {
      push(View(reinterpret_cast<const std::uint8_t*>("\n"), 1), place + line.size());
    } else {
      push(line.subspan(skip, end - skip), place + skip);
    }
  }

 private:
  void push(View piece, std::uint64_t place) {
    text_.pieces.push_back({text_.value.size(), place});
    text_.value.append(piece);
  }

  KeyText& text_;
  bool swallow_ = false;
};

}  // namespace

std::string to_string(const KeyError& error) {
  if (error.kind == KeyErrorKind::Refused) return tarnel::to_string(error.refusal);
  std::string text = "not a GnuPG key file: ";
  const std::string line = decimal(error.line);
  switch (error.kind) {
    case KeyErrorKind::NotNameValue:
      return text + "line " + line + " is not 'Name: value'";
    case KeyErrorKind::InvalidName:
      return text + "the name on line " + line +
             " is not a letter followed by letters, digits and '-'";
    case KeyErrorKind::SecondKeyEntry:
      return text + "a second Key entry on line " + line;
    case KeyErrorKind::NoKeyEntry:
    case KeyErrorKind::Refused:
      break;
  }
  return text + "it has no Key entry";
}

std::uint64_t KeyText::file_offset(std::uint64_t offset) const noexcept {
  if (!name_value || pieces.empty()) return offset;
  // The last piece that starts at or before `offset`; the first starts at 0.
  auto after =
      std::upper_bound(pieces.begin(), pieces.end(), offset,
                       [](std::uint64_t at, const KeyPiece& piece) { return at < piece.start; });
  const KeyPiece& piece = after == pieces.begin() ? *after : *(after - 1);
  return std::min<std::uint64_t>(piece.place + (offset - piece.start), file_size);
}

Result<KeyText, KeyError> key_text(View file) {
  KeyText text;
  if (!file.empty() && file[0] == '(') return text;
  text.name_value = true;
  text.file_size = file.size();
  Joiner joiner(text);
  bool in_entry = false;  // an entry is open: lines that begin with a space or tab continue it
  bool in_key = false;    // ... and it is the Key entry
  bool found = false;
  std::uint64_t number = 0;
  // Lines end at LF; the end of the last line is not a line of its own.
  for (std::size_t at = 0; at < file.size();) {
    const std::uint8_t* lf =
        static_cast<const std::uint8_t*>(std::memchr(file.data() + at, '\n', file.size() - at));
    const std::size_t end =
        lf == nullptr ? file.size() : static_cast<std::size_t>(lf - file.data());
    std::uint64_t place = at;
    View line = file.subspan(at, end - at);
    at = end + 1;
    ++number;
    const void* nul = std::memchr(line.data(), 0, line.size());
    if (nul != nullptr) line = line.first(static_cast<const std::uint8_t*>(nul) - line.data());
    const std::size_t indent = leading_spaces(line);
    const bool blank = indent == line.size();
    if (in_entry && (blank || line[0] == ' ' || line[0] == '\t')) {
      if (in_key) joiner.add(line, place);
      continue;
    }
    in_entry = in_key = false;
    if (blank || line[indent] == '#') continue;  // a blank line or a comment
    const std::uint8_t* colon =
        static_cast<const std::uint8_t*>(std::memchr(line.data(), ':', line.size()));
    if (colon == nullptr) return not_a_key_file(KeyErrorKind::NotNameValue, number);
    const std::size_t name_end = static_cast<std::size_t>(colon - line.data());
    const View name = line.subspan(indent, name_end - indent);
    if (!is_name(name)) return not_a_key_file(KeyErrorKind::InvalidName, number);
    in_entry = true;
    if (!is_key_name(name)) continue;
    if (found) return not_a_key_file(KeyErrorKind::SecondKeyEntry, number);
    found = in_key = true;
    joiner.add(line.subspan(name_end + 1), place + name_end + 1);
  }
  if (!found) return not_a_key_file(KeyErrorKind::NoKeyEntry, 0);
  return text;
}

Result<Value, KeyError> read_key(const ReaderOptions& options, View file) {
  Result<KeyText, KeyError> text = key_text(file);
  if (!text) return text.error();
  ReaderOptions raw = options;
  raw.allow_raw_octets = true;
  Result<Value, ReadError> value = read_whole(raw, text->sexp(file));
  if (value) return std::move(value).value();
  KeyError error;
  error.refusal = value.error();
  error.refusal.offset = text->file_offset(error.refusal.offset);
  return error;
}

}  // namespace tarnel::gnupg
