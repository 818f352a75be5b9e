// The framer: finds where each S-expression of a stream ends, as the octets arrive in pieces.
//
// A stream is S-expressions one after another, with any of the six whitespace octets between
// them. The framer follows the octets with state that survives between calls (the open lists,
// the form being read, the verbatim octets still to come, an escape or a hexadecimal digit in
// hand, the offset) and answers, for the octets seen so far: the current S-expression ends at
// this offset; it is refused with this kind at this offset; more input is needed; or, at the end
// of the stream, that the stream ended cleanly.
//
// Its answers are those of the reader (reader.h) on the same octets, whatever the split:
// - where it says an S-expression ends at `end`, `read_prefix` of the octets from its start
//   reads it and consumes exactly `end - start`;
// - it never asks for more where `read_prefix` of the octets seen already refuses: the same kind
//   at the same offset, counted from the start of the stream;
// - a token that runs to the last octet seen may go on, so it waits for one more octet or the
//   end of the stream;
// - every restriction and limit of the options applies across the pieces. `max_input_len`
//   counts the octets of one S-expression (the whitespace between them is not counted): once
//   an S-expression needs an octet past the limit, and the stream holds one, it is refused as
//   `InputTooLong` at its start plus the limit.
//
// Each octet is examined a bounded number of times whatever the pieces: an element that arrives
// whole is taken in one step by the reader's own scanner, and one it declines (or that is cut by
// the end of a piece) is followed an octet at a time as it arrives; the body of a base-64 string
// or a transport form is read once more, by the codec, when it closes.
// Nothing is allocated from a length written in the input; the state grows only with the depth
// of the open lists, which `max_depth` bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/options.h"

namespace tarnel {

/// What the framer found in the octets it was shown.
enum class FrameStatus : std::uint8_t {
  /// The S-expression under way (or the whitespace before one) needs more octets.
  NeedMore,
  /// An S-expression occupies the stream from `start` to `end`.
  Complete,
  /// The stream is refused: `error` says how and where (offset from the stream's start).
  Refused,
  /// The stream ended cleanly: nothing but whitespace after the last S-expression.
  Ended,
};

/// One answer of the framer. Offsets count from the first octet of the stream.
struct Frame {
  /// What was found; the other fields mean something only for the status named beside them.
  FrameStatus status = FrameStatus::NeedMore;
  /// Complete: the S-expression's first octet.
  std::uint64_t start = 0;
  /// Complete: just past its last octet.
  std::uint64_t end = 0;
  /// Refused: the kind, and the offset from the start of the stream.
  ReadError error;
};

/// Finds the S-expressions of one stream, read under one set of options.
///
/// The caller keeps the stream's octets in a window of its own and shows it to `scan` after
/// each piece arrives, with the stream offset of the window's first octet. The window must hold
/// every octet from `keep_from()` up to the last one received; octets before `keep_from()` may
/// be dropped. After `Complete`, the next call looks for the following S-expression; after
/// `Refused` or `Ended`, every call gives the same answer.
///
/// Thread safety: a framer is the state of one stream; calls on one framer must not overlap
/// (distinct framers are independent).
class TARNEL_EXPORT Framer {
 public:
  /// A framer at the start of a stream, following `options` (copied: the caller's may go).
  /// Throws std::bad_alloc when memory runs out.
  explicit Framer(const ReaderOptions& options);

  /// Follows the octets of `window` that it has not seen yet and answers for the stream so far.
  ///
  /// - `window`: the stream's octets from stream offset `window_start` on; it must reach back to
  ///   `keep_from()` at least and end at the last octet received. Only read, during the call.
  /// - `window_start`: the stream offset of the window's first octet.
  /// - `at_end`: no octet follows the window: the stream has ended.
  /// - Returns `Complete` with the S-expression's start and end, `NeedMore` (never with
  ///   `at_end`), `Refused` with the kind and stream offset `read_prefix` gives for the same
  ///   octets, or `Ended` once only whitespace followed the last S-expression. Refusals are
  ///   answers, not failures.
  /// - Throws std::bad_alloc when memory runs out; the stream's state is then lost.
  Frame scan(std::span<const std::uint8_t> window, std::uint64_t window_start, bool at_end);

  /// As above, over a window of text (a `std::string` the caller appends pieces to, say).
  Frame scan(std::string_view window, std::uint64_t window_start, bool at_end) {
    return scan(as_octets(window), window_start, at_end);
  }

  /// As above, over a window of `std::byte`s.
  Frame scan(std::span<const std::byte> window, std::uint64_t window_start, bool at_end) {
    return scan(as_octets(window), window_start, at_end);
  }

  /// The first stream offset the framer may still look at: the start of the S-expression under
  /// way, or the next octet to examine between S-expressions. Never decreases.
  std::uint64_t keep_from() const noexcept;

  /// The stream offset of the next octet to examine.
  std::uint64_t position() const noexcept { return pos_; }

  /// Moves past octets the caller has framed itself. Only between S-expressions (`between()`),
  /// to an offset not before `position()`; anything else is a programming error.
  void skip_to(std::uint64_t offset) noexcept;

  /// Whether the framer is between S-expressions (it has examined no octet of the next one).
  bool between() const noexcept { return state_ == State::Between; }

 private:
  enum class State : std::uint8_t {
    Between,       // whitespace between S-expressions
    Element,       // an element of a list, or the first octet of the S-expression
    HintOpen,      // after '[': whitespace, then the hint
    HintClose,     // after the hint: whitespace, then ']'
    HintData,      // after ']': whitespace, then the data (not a list)
    Length,        // the digits of a length
    Verbatim,      // the octets of a verbatim string
    Token,         // a token
    Quoted,        // a quoted string
    Escape,        // after a backslash in a quoted string
    EscapeDigits,  // the hexadecimal or octal digits of an escape
    LineBreak,     // after a line continuation, the optional second octet of its line break
    Hexadecimal,   // the digits of a hexadecimal string
    Base64,        // the body of a base-64 string, up to its '|'
    Transport,     // the body of a transport form, up to its '}'
    Done,          // refused or ended: the answer is final
  };

  // Where an atom stands within its element: the hint, the data after a hint, or plain.
  enum class AtomRole : std::uint8_t { Plain, Hint, HintedData };

  struct OpenList {
    std::uint64_t start;
    bool has_elements;
    bool first_is_list;
  };

  Frame refuse(ErrorKind kind, std::uint64_t offset);
  Frame complete();
  bool start_atom(std::uint8_t octet, Frame& out);
  bool start_length_form(std::uint8_t octet, Frame& out);
  bool close_string(std::uint64_t count, Frame& out);
  bool atom_done(Frame& out);
  bool element_done(bool is_list, Frame& out);
  static std::uint64_t skip_whitespace(const std::uint8_t* in, std::uint64_t shift,
                                       std::uint64_t at, std::uint64_t stop) noexcept;
  std::uint64_t quick_atom(const std::uint8_t* in, std::uint64_t shift, std::uint64_t from,
                           std::uint64_t stop);
  bool quick_elements(const std::uint8_t* in, std::uint64_t shift, std::uint64_t stop, Frame& out);
  bool close_delegated(std::span<const std::uint8_t> window, std::uint64_t window_start,
                       Frame& out);

  ReaderOptions options_;
  State state_ = State::Between;
  AtomRole role_ = AtomRole::Plain;
  std::uint64_t pos_ = 0;         // the next octet to examine
  std::uint64_t sexp_start_ = 0;  // the S-expression under way
  std::uint64_t limit_end_ = 0;   // the first offset past what max_input_len allows it
  std::vector<OpenList> open_;
  // The octet string under way.
  std::uint64_t atom_start_ = 0;        // its first octet (the length's first digit, if any)
  bool has_length_ = false;             // a length was written before the form
  std::uint64_t length_ = 0;            // the written length, or verbatim octets still to come
  std::uint64_t count_ = 0;             // octets decoded so far (quoted), or digits (hexadecimal)
  std::uint64_t escape_start_ = 0;      // the backslash of the escape under way
  std::uint8_t escape_digits_ = 0;      // digits of the escape still to come
  std::uint8_t escape_value_ = 0;       // 16 for hexadecimal escapes, 8 for octal
  unsigned escape_accum_ = 0;           // the value of the digits so far
  std::uint8_t line_break_second_ = 0;  // the octet that completes a CR LF or LF CR
  Frame final_;                         // the answer once Done
  Buffer scratch_;                      // decoded octets of a base-64 string being checked
};

}  // namespace tarnel
