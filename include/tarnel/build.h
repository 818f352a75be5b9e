// Reading into a builder of one's own: the reader's driver, written once over what it builds.
// `read_whole` and `read_prefix` build a `Value` tree with it, the converter writes output with it,
// and a binding builds its own objects with it directly, so that a read makes no intermediate tree
// and holds no more than the input and the result.
//
// A builder (the concept `Builder` below) keeps one stack of finished elements for every open
// list, innermost last, and is told what the driver reads in input order:
//
//     std::size_t size() const;            // elements on the stack
//     bool is_list(std::size_t i) const;   // whether element i is a list
//     bool atom(View data);                // push an atom without a hint
//     bool hinted_atom(View data, View hint);
//     bool list(std::size_t first);        // replace elements [first, size()) by their list
//     bool open_list();                    // optional: a list opens, before its elements
//
// The views are valid only during the call: they point into the input or the driver's scratch
// buffers. A builder that cannot build returns false and keeps the reason to itself; the read
// then stops with `Stop::by_builder`. When a read succeeds the builder holds exactly one element,
// the S-expression read; after a failure it holds whatever was finished, for it to release. A
// builder the stream engine (stream.h) reads into also has `void reset()`, which drops whatever
// it holds (`StreamBuilder`).
//
// The rules are those of read_whole and read_prefix (reader.h): the same refusals at the same
// offsets in the same order, lists on a heap stack bounded by `max_depth`, no recursion. A read
// uses only its own builder, cursor and scratch: reads on different threads share nothing else.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "tarnel/base64.h"
#include "tarnel/buffer.h"
#include "tarnel/detail/atoms.h"
#include "tarnel/detail/portability.h"
#include "tarnel/error.h"
#include "tarnel/octet_string.h"
#include "tarnel/options.h"
#include "tarnel/result.h"

namespace tarnel {

/// What the driver builds with: see the paragraph atop this header.
template <class B>
concept Builder = requires(B& b, const B& cb, std::span<const std::uint8_t> v, std::size_t i) {
  { cb.size() } -> std::convertible_to<std::size_t>;
  { cb.is_list(i) } -> std::convertible_to<bool>;
  { b.atom(v) } -> std::convertible_to<bool>;
  { b.hinted_atom(v, v) } -> std::convertible_to<bool>;
  { b.list(i) } -> std::convertible_to<bool>;
};

/// A builder the stream engine can reuse from one S-expression to the next: `reset()` drops
/// every element it holds (what a refused or abandoned read left).
template <class B>
concept StreamBuilder = Builder<B> && requires(B& b) {
  b.reset();
};

namespace build_detail {

using View = std::span<const std::uint8_t>;

inline Stop refused(ErrorKind kind, std::uint64_t offset) noexcept {
  return Stop{false, ReadError{offset, kind}};
}

inline Stop refused(ReadError error) noexcept { return Stop{false, error}; }

inline constexpr Stop builder_failed{true, {}};

inline void skip_whitespace(ReadCursor& cursor) noexcept {
  const std::uint8_t* in = cursor.input.data();
  const std::uint64_t n = cursor.input.size();
  std::uint64_t pos = cursor.position;
  while (pos < n && is_whitespace(in[pos])) ++pos;
  cursor.position = pos;
}

inline void skip_whitespace_if_advanced(ReadCursor& cursor) noexcept {
  if (cursor.options.allow_advanced) skip_whitespace(cursor);
}

// One list still open: where its '(' stands, and where its elements begin on the builder's stack.
struct OpenList {
  std::uint64_t start;
  std::size_t first;
};

// The octet string at the cursor: taken in one step where its form allows (detail/atoms.h),
// else read in full; on success the cursor stands past it. Kept out of line: the driver takes
// plain atoms itself, and this serves the two octet strings of a hinted atom, which are few.
TARNEL_NOINLINE inline Result<View, ReadError> read_atom(ReadCursor& cursor, Buffer& scratch) {
  const std::uint64_t pos = cursor.position;
  const std::uint64_t n = cursor.input.size();
  if (pos < n) {
    View octets;
    const std::size_t taken = scan::quick_atom<scan::Take::Decode>(
        cursor.options, cursor.input.data() + pos, n - pos, true, scratch, octets);
    if (taken != 0) {
      cursor.position = pos + taken;
      return octets;
    }
  }
  return read_octet_view(cursor, scratch);
}

}  // namespace build_detail

/// What a driver keeps between the elements of one read: its stack of open lists and the
/// scratch buffers decoded octet strings go to. A caller that reads many S-expressions one after
/// another hands the same one to each read, so that none of them allocates it afresh.
struct BuildScratch {
  std::vector<build_detail::OpenList> open;
  Buffer data;
  Buffer hint;
};

namespace build_detail {

template <Builder B>
class Driver {
 public:
  Driver(ReadCursor& cursor, B& builder, BuildScratch& scratch) noexcept
      : cursor_(cursor),
        builder_(builder),
        open_(scratch.open),
        data_scratch_(scratch.data),
        hint_scratch_(scratch.hint) {
    open_.clear();
  }

  Built run();

 private:
  Built read_transport();
  Built read_lists();
  Result<bool, Stop> close_list();
  Result<bool, Stop> read_hinted_atom();

  ReadCursor& cursor_;
  B& builder_;
  std::vector<OpenList>& open_;
  Buffer& data_scratch_;
  Buffer& hint_scratch_;
};

// A basic transport form: the cursor stands on its '{'. The content is decoded and read as a
// whole canonical S-expression of its own; any fault in it is reported at the '{'.
template <Builder B>
Built Driver<B>::read_transport() {
  const std::uint8_t* in = cursor_.input.data();
  const std::uint64_t n = cursor_.input.size();
  const std::uint64_t brace = cursor_.position;
  if (!cursor_.options.allow_transport) return refused(ErrorKind::TransportNotAllowed, brace);
  const std::uint64_t body = brace + 1;
  const void* close_brace = body < n ? std::memchr(in + body, '}', n - body) : nullptr;
  if (close_brace == nullptr) return refused(ErrorKind::UnexpectedEnd, n);
  const std::uint64_t close = static_cast<const std::uint8_t*>(close_brace) - in;

  Result<Buffer, std::uint64_t> decoded = base64_decode(cursor_.input.subspan(body, close - body));
  if (!decoded) {
    constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t relative = decoded.error();
    return refused(ErrorKind::InvalidBase64, relative > max_u64 - body ? max_u64 : body + relative);
  }
  cursor_.position = close + 1;

  const ReaderOptions inner = transport_inner_options(cursor_.options);
  if (decoded->size() > inner.max_input_len) return refused(ErrorKind::InputTooLong, brace);
  ReadCursor inner_cursor{inner, decoded->view(), 0};
  BuildScratch inner_scratch;
  Built read = Driver(inner_cursor, builder_, inner_scratch).run();
  if (!read) {
    if (read.error().by_builder) return read.error();
    return refused(read.error().refusal.kind, brace);
  }
  if (inner_cursor.position != decoded->size()) return refused(ErrorKind::TrailingOctets, brace);
  return cursor_.position;
}

template <Builder B>
Result<bool, Stop> Driver<B>::close_list() {
  const OpenList list = open_.back();
  open_.pop_back();
  ++cursor_.position;
  const ReaderOptions& options = cursor_.options;
  if (builder_.size() == list.first) {
    if (!options.allow_empty_lists) return refused(ErrorKind::EmptyListNotAllowed, list.start);
  } else if (!options.allow_list_as_first_element && builder_.is_list(list.first)) {
    return refused(ErrorKind::ListAsFirstElementNotAllowed, list.start);
  }
  if (!builder_.list(list.first)) return builder_failed;
  return true;
}

// The cursor stands on a '['.
template <Builder B>
Result<bool, Stop> Driver<B>::read_hinted_atom() {
  const std::uint64_t n = cursor_.input.size();
  if (!cursor_.options.allow_display_hints) {
    return refused(ErrorKind::HintNotAllowed, cursor_.position);
  }
  ++cursor_.position;
  skip_whitespace_if_advanced(cursor_);
  Result<View, ReadError> hint = read_atom(cursor_, hint_scratch_);
  if (!hint) return refused(hint.error());
  skip_whitespace_if_advanced(cursor_);
  if (cursor_.position == n) return refused(ErrorKind::UnexpectedEnd, n);
  if (cursor_.input[cursor_.position] != ']') {
    return refused(ErrorKind::UnexpectedOctet, cursor_.position);
  }
  ++cursor_.position;
  skip_whitespace_if_advanced(cursor_);
  if (cursor_.position < n && cursor_.input[cursor_.position] == '(') {
    return refused(ErrorKind::HintOnList, cursor_.position);
  }
  Result<View, ReadError> data = read_atom(cursor_, data_scratch_);
  if (!data) return refused(data.error());
  if (!builder_.hinted_atom(*data, *hint)) return builder_failed;
  return true;
}

// Elements in a loop; lists open and close on the heap stack. Ends with the first element that
// closes at depth zero, which is then the builder's last element.
template <Builder B>
Built Driver<B>::read_lists() {
  const ReaderOptions& options = cursor_.options;
  const bool advanced = options.allow_advanced;
  const std::uint8_t* const in = cursor_.input.data();
  const std::uint64_t n = cursor_.input.size();
  // The position is kept here and handed to the cursor around the steps that use it, and before
  // each call of the builder, which may ask the cursor where it stands.
  std::uint64_t pos = cursor_.position;
  for (;;) {
    if (advanced) {
      while (pos < n && is_whitespace(in[pos])) ++pos;
    }
    if (pos == n) return refused(ErrorKind::UnexpectedEnd, n);
    const std::uint8_t octet = in[pos];
    if (octet == '(') {
      if (open_.size() >= options.max_depth) return refused(ErrorKind::TooDeep, pos);
      open_.push_back({pos, builder_.size()});
      if constexpr (requires(B & b) { b.open_list(); }) {
        cursor_.position = pos;  // a builder may ask where the list opens
        if (!builder_.open_list()) return builder_failed;
      }
      ++pos;
      continue;
    }
    if (octet == ')') {
      if (open_.empty()) return refused(ErrorKind::UnmatchedParenthesis, pos);
      cursor_.position = pos;
      Result<bool, Stop> closed = close_list();
      if (!closed) return closed.error();
      pos = cursor_.position;
    } else if (octet == '[') {
      cursor_.position = pos;
      Result<bool, Stop> atom = read_hinted_atom();
      if (!atom) return atom.error();
      pos = cursor_.position;
    } else {
      View data;
      const std::size_t taken = scan::quick_atom<scan::Take::Decode>(options, in + pos, n - pos,
                                                                     true, data_scratch_, data);
      if (taken != 0) {
        pos += taken;
      } else {
        cursor_.position = pos;
        Result<View, ReadError> read = read_octet_view(cursor_, data_scratch_);
        if (!read) return refused(read.error());
        data = *read;
        pos = cursor_.position;
      }
      cursor_.position = pos;  // a builder may ask where the atom ends
      if (!builder_.atom(data)) return builder_failed;
    }
    if (open_.empty()) {
      cursor_.position = pos;
      return pos;
    }
  }
}

template <Builder B>
Built Driver<B>::run() {
  skip_whitespace_if_advanced(cursor_);
  if (cursor_.position < cursor_.input.size() && cursor_.input[cursor_.position] == '{') {
    return read_transport();
  }
  return read_lists();
}

}  // namespace build_detail

/// Reads one S-expression at the cursor into `builder` (leading whitespace skipped where
/// allowed); on success the cursor stands just past it.
template <Builder B>
Built build_one(ReadCursor& cursor, B& builder, BuildScratch& scratch) {
  return build_detail::Driver<B>(cursor, builder, scratch).run();
}

/// As above, with scratch of its own.
template <Builder B>
Built build_one(ReadCursor& cursor, B& builder) {
  BuildScratch scratch;
  return build_one(cursor, builder, scratch);
}

/// `read_whole` into a builder: one S-expression that makes up the whole input.
template <Builder B>
Built build_whole(const ReaderOptions& options, std::span<const std::uint8_t> input, B& builder) {
  if (input.size() > options.max_input_len) {
    return build_detail::refused(ErrorKind::InputTooLong, options.max_input_len);
  }
  ReadCursor cursor{options, input, 0};
  Built read = build_one(cursor, builder);
  if (!read) return read;
  build_detail::skip_whitespace_if_advanced(cursor);
  if (cursor.position != input.size()) {
    return build_detail::refused(ErrorKind::TrailingOctets, cursor.position);
  }
  return cursor.position;
}

/// `read_prefix` into a builder: one S-expression from the start of the input; the result is
/// the number of octets it occupied.
template <Builder B>
Built build_prefix(const ReaderOptions& options, std::span<const std::uint8_t> input, B& builder,
                   BuildScratch& scratch) {
  if (input.size() > options.max_input_len) {
    return build_detail::refused(ErrorKind::InputTooLong, options.max_input_len);
  }
  ReadCursor cursor{options, input, 0};
  return build_one(cursor, builder, scratch);
}

/// As above, with scratch of its own.
template <Builder B>
Built build_prefix(const ReaderOptions& options, std::span<const std::uint8_t> input, B& builder) {
  BuildScratch scratch;
  return build_prefix(options, input, builder, scratch);
}

}  // namespace tarnel
