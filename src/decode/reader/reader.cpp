#include "decode/reader/reader.h"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "base64/base64.h"
#include "buffer.h"

namespace tarnel {
namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

ReadError error_at(ErrorKind kind, std::uint64_t offset) noexcept { return {offset, kind}; }

void skip_whitespace(ReadCursor& cursor) noexcept {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  std::uint64_t pos = cursor.position;
  while (pos < n && is_whitespace(in[pos])) ++pos;
  cursor.position = pos;
}

void skip_whitespace_if_advanced(ReadCursor& cursor) noexcept {
  if (cursor.options.allow_advanced) skip_whitespace(cursor);
}

// A basic transport form: the cursor stands on its '{'. The content is decoded and read as a
// whole canonical S-expression of its own; any fault in it is reported at the '{'.
Result<Value> read_transport(ReadCursor& cursor) {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  const std::uint64_t brace = cursor.position;
  if (!cursor.options.allow_transport) return error_at(ErrorKind::TransportNotAllowed, brace);
  const std::uint64_t body = brace + 1;
  const void* close_brace = body < n ? std::memchr(in + body, '}', n - body) : nullptr;
  if (close_brace == nullptr) return error_at(ErrorKind::UnexpectedEnd, n);
  const std::uint64_t close = static_cast<const std::uint8_t*>(close_brace) - in;

  Result<Buffer, std::uint64_t> decoded = base64_decode(cursor.input.subspan(body, close - body));
  if (!decoded) {
    const std::uint64_t relative = decoded.error();
    const std::uint64_t offset = relative > max_u64 - body ? max_u64 : body + relative;
    return error_at(ErrorKind::InvalidBase64, offset);
  }
  cursor.position = close + 1;

  const ReaderOptions inner = transport_inner_options(cursor.options);
  Result<Value> value = read_whole(inner, decoded->view());
  if (!value) return error_at(value.error().kind, brace);
  return value;
}

// One list still open: where its '(' stands, and where its elements begin on the shared stack.
struct OpenList {
  std::uint64_t start;
  std::size_t first;
};

// The elements of every open list, innermost last, on one stack: a list's elements are moved
// into a vector of exactly their number when its ')' arrives, so no list's storage is grown
// element by element.
class Reading {
 public:
  explicit Reading(ReadCursor& cursor) : cursor_(cursor) {}

  Result<Value> run();

 private:
  Result<Value> close_list();
  Result<Value> read_hinted_atom();

  ReadCursor& cursor_;
  std::vector<OpenList> open_;
  std::vector<Value> elements_;
};

Result<Value> Reading::close_list() {
  const OpenList list = open_.back();
  open_.pop_back();
  ++cursor_.position;
  const std::size_t count = elements_.size() - list.first;
  const ReaderOptions& options = cursor_.options;
  if (count == 0) {
    if (!options.allow_empty_lists) return error_at(ErrorKind::EmptyListNotAllowed, list.start);
    return Value::list({});
  }
  if (!options.allow_list_as_first_element && elements_[list.first].is_list()) {
    return error_at(ErrorKind::ListAsFirstElementNotAllowed, list.start);
  }
  auto first = elements_.begin() + static_cast<std::ptrdiff_t>(list.first);
  Value::List items(std::make_move_iterator(first), std::make_move_iterator(elements_.end()));
  elements_.erase(first, elements_.end());
  return Value::list(std::move(items));
}

// The cursor stands on a '['.
Result<Value> Reading::read_hinted_atom() {
  const std::uint64_t n = cursor_.input.size();
  if (!cursor_.options.allow_display_hints) {
    return error_at(ErrorKind::HintNotAllowed, cursor_.position);
  }
  ++cursor_.position;
  skip_whitespace_if_advanced(cursor_);
  Result<Octets> hint = read_octet_string(cursor_);
  if (!hint) return hint.error();
  skip_whitespace_if_advanced(cursor_);
  if (cursor_.position == n) return error_at(ErrorKind::UnexpectedEnd, n);
  if (cursor_.input[cursor_.position] != ']') {
    return error_at(ErrorKind::UnexpectedOctet, cursor_.position);
  }
  ++cursor_.position;
  skip_whitespace_if_advanced(cursor_);
  if (cursor_.position < n && cursor_.input[cursor_.position] == '(') {
    return error_at(ErrorKind::HintOnList, cursor_.position);
  }
  Result<Octets> data = read_octet_string(cursor_);
  if (!data) return data.error();
  return Value::atom(std::move(*data), std::make_unique<Octets>(std::move(*hint)));
}

Result<Value> Reading::run() {
  const ReaderOptions& options = cursor_.options;
  const std::uint64_t n = cursor_.input.size();
  for (;;) {
    skip_whitespace_if_advanced(cursor_);
    if (cursor_.position == n) return error_at(ErrorKind::UnexpectedEnd, n);
    const std::uint8_t octet = cursor_.input[cursor_.position];
    if (octet == '(') {
      if (open_.size() >= options.max_depth) {
        return error_at(ErrorKind::TooDeep, cursor_.position);
      }
      open_.push_back({cursor_.position, elements_.size()});
      ++cursor_.position;
      continue;
    }

    if (octet == ')') {
      if (open_.empty()) return error_at(ErrorKind::UnmatchedParenthesis, cursor_.position);
      Result<Value> list = close_list();
      if (!list) return list.error();
      if (open_.empty()) return list;
      elements_.push_back(std::move(*list));
    } else if (octet == '[') {
      Result<Value> atom = read_hinted_atom();
      if (!atom) return atom.error();
      if (open_.empty()) return atom;
      elements_.push_back(std::move(*atom));
    } else {
      Result<Octets> data = read_octet_string(cursor_);
      if (!data) return data.error();
      if (open_.empty()) return Value::atom(std::move(*data));
      elements_.push_back(Value::atom(std::move(*data)));
    }
  }
}

}  // namespace

Result<Value> read_one(ReadCursor& cursor) {
  skip_whitespace_if_advanced(cursor);
  if (cursor.position < cursor.input.size() && cursor.input[cursor.position] == '{') {
    return read_transport(cursor);
  }
  Reading reading(cursor);
  return reading.run();
}

Result<Value> read_whole(const ReaderOptions& options, std::span<const std::uint8_t> input) {
  if (input.size() > options.max_input_len) {
    return error_at(ErrorKind::InputTooLong, options.max_input_len);
  }
  ReadCursor cursor{options, input, 0};
  Result<Value> value = read_one(cursor);
  if (!value) return value;
  skip_whitespace_if_advanced(cursor);
  if (cursor.position != input.size()) return error_at(ErrorKind::TrailingOctets, cursor.position);
  return value;
}

Result<Prefix> read_prefix(const ReaderOptions& options, std::span<const std::uint8_t> input) {
  if (input.size() > options.max_input_len) {
    return error_at(ErrorKind::InputTooLong, options.max_input_len);
  }
  ReadCursor cursor{options, input, 0};
  Result<Value> value = read_one(cursor);
  if (!value) return value.error();
  return Prefix{std::move(*value), cursor.position};
}

}  // namespace tarnel
