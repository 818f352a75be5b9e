#include "tarnel/octet_string.h"

#include <cstddef>
#include <cstring>
#include <limits>

#include "tarnel/detail/runs.h"
#include "tarnel/base64.h"
#include "tarnel/buffer.h"

namespace tarnel {
namespace {

using View = std::span<const std::uint8_t>;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

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
  const Fault fault = decoded_fault(cursor.options, extent.has_length, extent.length, count);
  if (fault) return error_at(*fault, extent.start);
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
  const std::uint64_t end =
      start + 1 + scan::native::run<scan::TokenChars>(in + start + 1, n - start - 1);
  Result<bool, ReadError> checked = check_decoded(cursor, {start, false, 0}, end - start);
  if (!checked) return checked.error();
  cursor.position = end;
  return cursor.input.subspan(start, end - start);
}

// The octets from `pos` on (of `n`) that stand for themselves inside a quoted string.
std::uint64_t quoted_run(const ReadCursor& cursor, const std::uint8_t* in, std::uint64_t pos,
                         std::uint64_t n) noexcept {
  return cursor.options.allow_raw_octets
             ? scan::native::run<scan::QuotedOrRawChars>(in + pos, n - pos)
             : scan::native::run<scan::QuotedChars>(in + pos, n - pos);
}

// The cursor stands on the opening double quote.
Result<View, ReadError> read_quoted(ReadCursor& cursor, const Extent& extent, Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  std::uint64_t pos = cursor.position + 1;
  std::uint64_t run = pos + quoted_run(cursor, in, pos, n);
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
    const Escape escape = escapes[in[pos++]];
    switch (escape.kind) {
      case EscapeKind::Octet:
        sink.push(escape.value);
        break;
      case EscapeKind::Hexadecimal:
      case EscapeKind::Octal: {
        const unsigned base = escape_base(escape.kind);
        unsigned value = escape.value;
        for (unsigned i = 0; i < escape_digits; ++i) {
          if (pos == n) return end_of(cursor);
          const int digit = escape_digit(base, in[pos]);
          if (digit < 0) return error_at(ErrorKind::InvalidEscape, backslash);
          value = value * base + static_cast<unsigned>(digit);
          ++pos;
        }
        if (!escape_value_fits(value)) return error_at(ErrorKind::InvalidEscape, backslash);
        sink.push(static_cast<std::uint8_t>(value));
        break;
      }
      case EscapeKind::LineBreak:
        // LF CR and CR LF count as one line break.
        if (pos < n && in[pos] == escape.value) ++pos;
        break;
      case EscapeKind::Invalid:
        return error_at(ErrorKind::InvalidEscape, backslash);
    }
    run = pos + quoted_run(cursor, in, pos, n);
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
  int high = -1;  // the first digit of a pair split by whitespace, or -1
  for (;;) {
    // A run of digits, decoded a word or a vector at a time, then one whitespace octet.
    const std::uint8_t* digits = in + pos;
    std::uint64_t count = scan::native::run<scan::HexDigits>(digits, close - pos);
    pos += count;
    if (high >= 0 && count != 0) {
      *w++ = static_cast<std::uint8_t>(high << 4 | hex_values[*digits++]);
      --count;
      high = -1;
    }
    scan::native::decode_hex(digits, static_cast<std::size_t>(count / 2), w);
    w += count / 2;
    if (count % 2 != 0) high = hex_values[digits[count - 1]];
    if (pos == close) break;
    if (!is_whitespace(in[pos])) return error_at(ErrorKind::InvalidHexDigit, pos);
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
    const std::uint8_t digit = hex_values[octet];
    if (digit != not_hex) {
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

Result<View, ReadError> read_with_length(ReadCursor& cursor, Buffer& scratch) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  const std::uint64_t start = cursor.position;
  std::uint64_t length = in[start] - '0';
  std::uint64_t pos = start + 1;
  for (; pos < n && is_digit(in[pos]); ++pos) {
    const Fault fault = next_length_digit(length, pos - start, in[pos]);
    if (fault) return error_at(*fault, start);
  }
  if (pos == n) return end_of(cursor);

  const Fault fault = form_fault_after_length(cursor.options, in[pos]);
  if (fault) return error_at(*fault, *fault == ErrorKind::UnexpectedOctet ? pos : start);
  const Extent extent{start, true, length};
  if (in[pos] == ':') return read_verbatim(cursor, extent, pos);
  cursor.position = pos;
  switch (forms[in[pos]]) {
    case Form::Quoted:
      return read_quoted(cursor, extent, scratch);
    case Form::Hexadecimal:
      return read_hexadecimal(cursor, extent, scratch);
    default:
      return read_base64_string(cursor, extent, scratch);
  }
}

}  // namespace

Result<View, ReadError> read_octet_view(ReadCursor& cursor, Buffer& scratch) {
  const std::uint64_t start = cursor.position;
  if (start >= cursor.input.size()) return end_of(cursor);
  const std::uint8_t first = cursor.input[start];
  const Form form = forms[first];
  const Fault fault = form_fault(cursor.options, form);
  if (fault) return error_at(*fault, start);
  const Extent extent{start, false, 0};
  switch (form) {
    case Form::Length:
      return read_with_length(cursor, scratch);
    case Form::Quoted:
      return read_quoted(cursor, extent, scratch);
    case Form::Hexadecimal:
      return read_hexadecimal(cursor, extent, scratch);
    case Form::Base64:
      return read_base64_string(cursor, extent, scratch);
    default:
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
