#include "tarnel/octet_string.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>

#include "tarnel/base64.h"
#include "tarnel/buffer.h"

namespace tarnel {
namespace {

using View = std::span<const std::uint8_t>;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

constexpr bool is_digit(std::uint8_t octet) noexcept { return octet >= '0' && octet <= '9'; }

// The value of every hexadecimal digit; any other octet has `not_hex`, so that OR-ing two
// looked-up octets tells at once whether both are digits.
constexpr std::uint8_t not_hex = 0xFF;

constexpr std::array<std::uint8_t, 256> hex_values = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(not_hex);
  for (unsigned c = '0'; c <= '9'; ++c) table[c] = static_cast<std::uint8_t>(c - '0');
  for (unsigned c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (unsigned c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  return table;
}();

// The value of a hexadecimal digit, or -1 for any other octet.
constexpr int hex_value(std::uint8_t octet) noexcept {
  const std::uint8_t value = hex_values[octet];
  return value == not_hex ? -1 : value;
}

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return b > max_u64 - a ? max_u64 : a + b;
}

ReadError error_at(ErrorKind kind, std::uint64_t offset) noexcept { return {offset, kind}; }

ReadError end_of(const ReadCursor& cursor) noexcept {
  return {cursor.input.size(), ErrorKind::UnexpectedEnd};
}

// What the length-prefixed forms were given: where the written form starts and the length, if
// one was written.
struct Extent {
  std::uint64_t start;
  bool has_length;
  std::uint64_t length;
};

// Collects decoded octets, but keeps at most `keep` of them: past the atom limit the rest is only
// counted, since the string must still be read to its end (faults in its body are reported
// before AtomTooLong), yet nothing beyond the limit is ever needed.
class Sink {
 public:
  Sink(Buffer& buffer, std::uint64_t keep) noexcept : buffer_(buffer), keep_(keep) {
    buffer_.clear();
  }

  void push(std::uint8_t octet) {
    if (count_++ < keep_) buffer_.push_back(octet);
  }

  void append(const std::uint8_t* p, std::uint64_t n) {
    if (count_ < keep_) {
      std::uint64_t room = keep_ - count_;
      buffer_.append(p, n < room ? n : room);
    }
    count_ += n;
  }

  std::uint64_t count() const noexcept { return count_; }

  std::span<const std::uint8_t> view() const noexcept { return buffer_.view(); }

 private:
  Buffer& buffer_;
  std::uint64_t count_ = 0;
  std::uint64_t keep_;
};

// The checks every form ends with, on the decoded count: the written length, the empty-atom flag,
// then max_atom_len.
Result<bool, ReadError> check_decoded(const ReadCursor& cursor, const Extent& extent,
                                      std::uint64_t count) {
  if (extent.has_length && count != extent.length) {
    return error_at(ErrorKind::LengthMismatch, extent.start);
  }
  if (count == 0 && !cursor.options.allow_empty_atoms) {
    return error_at(ErrorKind::EmptyAtomNotAllowed, extent.start);
  }
  if (count > cursor.options.max_atom_len) {
    return error_at(ErrorKind::AtomTooLong, extent.start);
  }
  return true;
}

Result<View, ReadError> finish(const ReadCursor& cursor, const Extent& extent, const Sink& sink) {
  Result<bool, ReadError> checked = check_decoded(cursor, extent, sink.count());
  if (!checked) return checked.error();
  return sink.view();
}

// The cursor stands on the first octet of a token.
Result<View, ReadError> read_token(ReadCursor& cursor) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  const std::uint64_t start = cursor.position;
  std::uint64_t end = start + 1;
  while (end < n && is_token_char(in[end])) ++end;
  Result<bool, ReadError> checked = check_decoded(cursor, {start, false, 0}, end - start);
  if (!checked) return checked.error();
  cursor.position = end;
  return cursor.input.subspan(start, end - start);
}

// The cursor stands on the opening double quote.
Result<View, ReadError> read_quoted(ReadCursor& cursor, const Extent& extent, Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  const std::uint8_t quoted = quoted_classes(cursor.options);
  std::uint64_t pos = cursor.position + 1;
  std::uint64_t run = pos;
  while (run < n && stands_in_quotes(in[run], quoted)) ++run;
  if (run < n && in[run] == '"') {
    // No escapes: the octets are copied straight from the input, with no buffer in between.
    Result<bool, ReadError> checked = check_decoded(cursor, extent, run - pos);
    if (!checked) return checked.error();
    cursor.position = run + 1;
    return cursor.input.subspan(pos, run - pos);
  }
  Sink sink(scratch, cursor.options.max_atom_len);
  for (;;) {
    // Runs of octets that stand for themselves are copied in one piece.
    sink.append(in + pos, run - pos);
    pos = run;
    if (pos == n) return end_of(cursor);
    const std::uint8_t octet = in[pos++];
    if (octet == '"') break;
    if (octet != '\\') return error_at(ErrorKind::UnexpectedOctet, pos - 1);

    const std::uint64_t backslash = pos - 1;
    if (pos == n) return end_of(cursor);
    const std::uint8_t escape = in[pos++];
    switch (escape) {
      case 'a':
        sink.push(0x07);
        break;
      case 'b':
        sink.push(0x08);
        break;
      case 't':
        sink.push(0x09);
        break;
      case 'n':
        sink.push(0x0A);
        break;
      case 'v':
        sink.push(0x0B);
        break;
      case 'f':
        sink.push(0x0C);
        break;
      case 'r':
        sink.push(0x0D);
        break;
      case '"':
      case '\'':
      case '?':
      case '\\':
        sink.push(escape);
        break;
      case 'x': {
        int value = 0;
        for (int i = 0; i < 2; ++i) {
          if (pos == n) return end_of(cursor);
          int digit = hex_value(in[pos]);
          if (digit < 0) return error_at(ErrorKind::InvalidEscape, backslash);
          value = value * 16 + digit;
          ++pos;
        }
        sink.push(static_cast<std::uint8_t>(value));
        break;
      }
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7': {
        int value = escape - '0';
        for (int i = 0; i < 2; ++i) {
          if (pos == n) return end_of(cursor);
          std::uint8_t digit = in[pos];
          if (digit < '0' || digit > '7') return error_at(ErrorKind::InvalidEscape, backslash);
          value = value * 8 + (digit - '0');
          ++pos;
        }
        if (value > 0xFF) return error_at(ErrorKind::InvalidEscape, backslash);
        sink.push(static_cast<std::uint8_t>(value));
        break;
      }
      case '\n':
        // A line continuation; LF CR counts as one line break.
        if (pos < n && in[pos] == '\r') ++pos;
        break;
      case '\r':
        if (pos < n && in[pos] == '\n') ++pos;
        break;
      default:
        return error_at(ErrorKind::InvalidEscape, backslash);
    }
    run = pos;
    while (run < n && stands_in_quotes(in[run], quoted)) ++run;
  }
  Result<View, ReadError> result = finish(cursor, extent, sink);
  if (result) cursor.position = pos;
  return result;
}

// The body of a hexadecimal string whose closing '#' stands at `close` and whose octets all fit
// under the atom limit: digit pairs are decoded two octets a step straight into `scratch`. The
// refusals are those of the octet-at-a-time loop in read_hexadecimal, at the same offsets.
Result<View, ReadError> read_hexadecimal_to(ReadCursor& cursor, const Extent& extent,
                                            std::uint64_t close, Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  std::uint64_t pos = cursor.position + 1;
  const std::uint64_t room = (close - pos) / 2;
  scratch.clear();
  std::uint8_t* const out = scratch.extend(static_cast<std::size_t>(room));
  std::uint8_t* w = out;
  int high = -1;  // the first digit of the pair in hand, or -1
  while (pos < close) {
    if (high < 0 && close - pos >= 2) {
      const std::uint8_t first = hex_values[in[pos]];
      const std::uint8_t second = hex_values[in[pos + 1]];
      if ((first | second) != not_hex && (first | second) < 16) {
        *w++ = static_cast<std::uint8_t>(first << 4 | second);
        pos += 2;
        continue;
      }
    }
    const std::uint8_t digit = hex_values[in[pos]];
    if (digit != not_hex) {
      if (high < 0) {
        high = digit;
      } else {
        *w++ = static_cast<std::uint8_t>(high << 4 | digit);
        high = -1;
      }
    } else if (!is_whitespace(in[pos])) {
      return error_at(ErrorKind::InvalidHexDigit, pos);
    }
    ++pos;
  }
  if (high >= 0) return error_at(ErrorKind::OddHexDigits, extent.start);
  const std::uint64_t count = static_cast<std::uint64_t>(w - out);
  scratch.shrink_by(static_cast<std::size_t>(room - count));
  Result<bool, ReadError> checked = check_decoded(cursor, extent, count);
  if (!checked) return checked.error();
  cursor.position = close + 1;
  return scratch.view();
}

// The cursor stands on the opening '#'.
Result<View, ReadError> read_hexadecimal(ReadCursor& cursor, const Extent& extent,
                                         Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  std::uint64_t pos = cursor.position + 1;
  // Any '#' closes the string, so where the first one stands bounds the octets it can hold.
  const void* hash = pos < n ? std::memchr(in + pos, '#', n - pos) : nullptr;
  if (hash != nullptr) {
    const std::uint64_t close = static_cast<const std::uint8_t*>(hash) - in;
    if ((close - pos) / 2 <= cursor.options.max_atom_len) {
      return read_hexadecimal_to(cursor, extent, close, scratch);
    }
  }
  // No closing '#', or more digits than the atom limit allows: read an octet at a time, keeping
  // no more than the limit.
  Sink sink(scratch, cursor.options.max_atom_len);
  int high = -1;
  for (;;) {
    if (pos == n) return end_of(cursor);
    const std::uint8_t octet = in[pos];
    const int digit = hex_value(octet);
    if (digit >= 0) {
      if (high < 0) {
        high = digit;
      } else {
        sink.push(static_cast<std::uint8_t>(high << 4 | digit));
        high = -1;
      }
    } else if (octet == '#') {
      ++pos;
      break;
    } else if (!is_whitespace(octet)) {
      return error_at(ErrorKind::InvalidHexDigit, pos);
    }
    ++pos;
  }
  if (high >= 0) return error_at(ErrorKind::OddHexDigits, extent.start);
  Result<View, ReadError> result = finish(cursor, extent, sink);
  if (result) cursor.position = pos;
  return result;
}

// The cursor stands on the opening vertical bar.
Result<View, ReadError> read_base64_string(ReadCursor& cursor, const Extent& extent,
                                           Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  const std::uint64_t body = cursor.position + 1;
  const void* bar = body < n ? std::memchr(in + body, '|', n - body) : nullptr;
  if (bar == nullptr) return end_of(cursor);
  const std::uint64_t close = static_cast<const std::uint8_t*>(bar) - in;
  scratch.clear();
  Result<bool, std::uint64_t> decoded =
      base64_decode_into(cursor.input.subspan(body, close - body), scratch);
  if (!decoded) return error_at(ErrorKind::InvalidBase64, saturating_add(body, decoded.error()));
  Result<bool, ReadError> checked = check_decoded(cursor, extent, scratch.size());
  if (!checked) return checked.error();
  cursor.position = close + 1;
  return scratch.view();
}

// A verbatim string: `colon` is the offset of the colon after the length.
Result<View, ReadError> read_verbatim(ReadCursor& cursor, const Extent& extent,
                                      std::uint64_t colon) {
  const std::uint64_t n = cursor.input.size();
  const std::uint64_t begin = colon + 1;
  if (extent.length > max_u64 - begin) return error_at(ErrorKind::LengthOverflow, begin);
  // Nothing is allocated before the input is known to hold every octet the length claims.
  if (begin + extent.length > n) return end_of(cursor);
  Result<bool, ReadError> checked = check_decoded(cursor, extent, extent.length);
  if (!checked) return checked.error();
  cursor.position = begin + extent.length;
  return cursor.input.subspan(begin, extent.length);
}

// The restrictions on a form that has a length, in their fixed order; `form_allowed` is the
// form's own flag (true for quoted strings, which have none).
Result<bool, ReadError> check_length_form(const ReadCursor& cursor, std::uint64_t start,
                                          bool form_allowed, ErrorKind form_refusal) {
  const ReaderOptions& options = cursor.options;
  if (!options.allow_advanced) return error_at(ErrorKind::AdvancedNotAllowed, start);
  if (!form_allowed) return error_at(form_refusal, start);
  if (!options.allow_lengths) return error_at(ErrorKind::LengthNotAllowed, start);
  return true;
}

Result<View, ReadError> read_with_length(ReadCursor& cursor, Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  const std::uint64_t start = cursor.position;
  std::uint64_t length = in[start] - '0';
  std::uint64_t pos = start + 1;
  if (length == 0 && pos < n && is_digit(in[pos])) {
    return error_at(ErrorKind::LengthLeadingZero, start);
  }
  while (pos < n && is_digit(in[pos])) {
    const std::uint64_t digit = in[pos] - '0';
    if (length > (max_u64 - digit) / 10) return error_at(ErrorKind::LengthOverflow, start);
    length = length * 10 + digit;
    ++pos;
  }
  if (pos == n) return end_of(cursor);

  const ReaderOptions& options = cursor.options;
  const Extent extent{start, true, length};
  switch (in[pos]) {
    case ':':
      return read_verbatim(cursor, extent, pos);
    case '"': {
      Result<bool, ReadError> allowed =
          check_length_form(cursor, start, true, ErrorKind::AdvancedNotAllowed);
      if (!allowed) return allowed.error();
      cursor.position = pos;
      return read_quoted(cursor, extent, scratch);
    }
    case '#': {
      Result<bool, ReadError> allowed = check_length_form(cursor, start, options.allow_hexadecimal,
                                                          ErrorKind::HexadecimalNotAllowed);
      if (!allowed) return allowed.error();
      cursor.position = pos;
      return read_hexadecimal(cursor, extent, scratch);
    }
    case '|': {
      Result<bool, ReadError> allowed =
          check_length_form(cursor, start, options.allow_base64, ErrorKind::Base64NotAllowed);
      if (!allowed) return allowed.error();
      cursor.position = pos;
      return read_base64_string(cursor, extent, scratch);
    }
    default:
      return error_at(ErrorKind::UnexpectedOctet, pos);
  }
}

}  // namespace

Result<View, ReadError> read_octet_view(ReadCursor& cursor, Buffer& scratch) {
  const std::uint64_t start = cursor.position;
  if (start >= cursor.input.size()) return end_of(cursor);
  const ReaderOptions& options = cursor.options;
  const std::uint8_t first = cursor.input[start];
  if (is_digit(first)) return read_with_length(cursor, scratch);

  const Extent extent{start, false, 0};
  switch (first) {
    case '"':
      if (!options.allow_advanced) return error_at(ErrorKind::AdvancedNotAllowed, start);
      return read_quoted(cursor, extent, scratch);
    case '#':
      if (!options.allow_advanced) return error_at(ErrorKind::AdvancedNotAllowed, start);
      if (!options.allow_hexadecimal) return error_at(ErrorKind::HexadecimalNotAllowed, start);
      return read_hexadecimal(cursor, extent, scratch);
    case '|':
      if (!options.allow_advanced) return error_at(ErrorKind::AdvancedNotAllowed, start);
      if (!options.allow_base64) return error_at(ErrorKind::Base64NotAllowed, start);
      return read_base64_string(cursor, extent, scratch);
    default:
      if (!is_token_start(first)) return error_at(ErrorKind::UnexpectedOctet, start);
      if (!options.allow_advanced) return error_at(ErrorKind::AdvancedNotAllowed, start);
      return read_token(cursor);
  }
}

Result<Octets, ReadError> read_octet_string(ReadCursor& cursor) {
  Buffer scratch;
  Result<View, ReadError> octets = read_octet_view(cursor, scratch);
  if (!octets) return octets.error();
  // Decoded octets are handed over at exact length; octets that stand in the input are copied.
  if (!scratch.empty() && octets->data() == scratch.data()) return Octets(std::move(scratch));
  return Octets(*octets);
}

}  // namespace tarnel
