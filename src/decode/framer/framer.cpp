#include "tarnel/framer.h"

#include <array>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>

#include "tarnel/build.h"
#include "tarnel/octet_string.h"

namespace tarnel {
namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

constexpr bool is_digit(std::uint8_t octet) noexcept { return octet >= '0' && octet <= '9'; }

// The value of each hexadecimal digit, and -1 for every other octet.
constexpr std::array<std::int8_t, 256> hex_digit_values = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  return table;
}();

constexpr int hex_digit_value(std::uint8_t octet) noexcept { return hex_digit_values[octet]; }

// What the reader's driver needs of a builder, and nothing kept: the framer only asks whether a
// transport form's content reads, not what it holds.
class CheckingBuilder {
 public:
  using View = std::span<const std::uint8_t>;

  std::size_t size() const noexcept { return kinds_.size(); }

  bool is_list(std::size_t i) const noexcept { return kinds_[i] != 0; }

  bool atom(View) {
    kinds_.push_back(0);
    return true;
  }

  bool hinted_atom(View, View) { return atom({}); }

  bool list(std::size_t first) {
    kinds_.resize(first);
    kinds_.push_back(1);
    return true;
  }

 private:
  std::vector<std::uint8_t> kinds_;
};

}  // namespace

Framer::Framer(const ReaderOptions& options)
    : options_(options), quoted_(quoted_classes(options)) {}

std::uint64_t Framer::keep_from() const noexcept {
  return state_ == State::Between || state_ == State::Done ? pos_ : sexp_start_;
}

void Framer::skip_to(std::uint64_t offset) noexcept {
  assert(state_ == State::Between && offset >= pos_);
  pos_ = offset;
}

Frame Framer::refuse(ErrorKind kind, std::uint64_t offset) {
  state_ = State::Done;
  final_ = Frame{FrameStatus::Refused, 0, 0, ReadError{offset, kind}};
  return final_;
}

Frame Framer::complete() {
  state_ = State::Between;
  open_.clear();
  return Frame{FrameStatus::Complete, sexp_start_, pos_, {}};
}

// The S-expression's element (or the last octet string of one) is finished; `out` receives the
// answer when that finishes the S-expression or breaks a rule, and the result is then false.
bool Framer::element_done(bool is_list, Frame& out) {
  if (open_.empty()) {
    out = complete();
    return false;
  }
  OpenList& list = open_.back();
  if (!list.has_elements) {
    list.has_elements = true;
    list.first_is_list = is_list;
  }
  state_ = State::Element;
  return true;
}

bool Framer::atom_done(Frame& out) {
  if (role_ == AtomRole::Hint) {
    state_ = State::HintClose;
    return true;
  }
  role_ = AtomRole::Plain;
  return element_done(false, out);
}

// The checks every quoted or hexadecimal string ends with, in the reader's order.
bool Framer::close_string(std::uint64_t count, Frame& out) {
  if (has_length_ && count != length_) {
    out = refuse(ErrorKind::LengthMismatch, atom_start_);
    return false;
  }
  if (count == 0 && !options_.allow_empty_atoms) {
    out = refuse(ErrorKind::EmptyAtomNotAllowed, atom_start_);
    return false;
  }
  if (count > options_.max_atom_len) {
    out = refuse(ErrorKind::AtomTooLong, atom_start_);
    return false;
  }
  return atom_done(out);
}

// The first octet of an octet string, at pos_: the form it begins and the restrictions on it.
bool Framer::start_atom(std::uint8_t octet, Frame& out) {
  atom_start_ = pos_;
  has_length_ = false;
  count_ = 0;
  if (is_digit(octet)) {
    state_ = State::Length;
    length_ = octet - '0';
    count_ = 1;  // digits read
    ++pos_;
    return true;
  }
  const bool advanced = options_.allow_advanced;
  switch (octet) {
    case '"':
      if (!advanced) break;
      state_ = State::Quoted;
      ++pos_;
      return true;
    case '#':
      if (!advanced) break;
      if (!options_.allow_hexadecimal) {
        out = refuse(ErrorKind::HexadecimalNotAllowed, pos_);
        return false;
      }
      state_ = State::Hexadecimal;
      ++pos_;
      return true;
    case '|':
      if (!advanced) break;
      if (!options_.allow_base64) {
        out = refuse(ErrorKind::Base64NotAllowed, pos_);
        return false;
      }
      state_ = State::Base64;
      ++pos_;
      return true;
    default:
      if (!is_token_start(octet)) {
        out = refuse(ErrorKind::UnexpectedOctet, pos_);
        return false;
      }
      if (!advanced) break;
      state_ = State::Token;
      ++pos_;
      if (options_.max_atom_len == 0) {
        out = refuse(ErrorKind::AtomTooLong, atom_start_);
        return false;
      }
      return true;
  }
  out = refuse(ErrorKind::AdvancedNotAllowed, pos_);
  return false;
}

// The octet after a length's digits, at pos_.
bool Framer::start_length_form(std::uint8_t octet, Frame& out) {
  has_length_ = true;
  if (octet == ':') {
    ++pos_;
    // The reader counts from the S-expression's first octet.
    if (length_ > max_u64 - (pos_ - sexp_start_)) {
      out = refuse(ErrorKind::LengthOverflow, pos_);
      return false;
    }
    state_ = State::Verbatim;
    count_ = length_;  // octets still to come
    if (count_ != 0) return true;
    return close_string(0, out);
  }
  State form;
  bool form_allowed = true;
  ErrorKind refusal = ErrorKind::AdvancedNotAllowed;
  switch (octet) {
    case '"':
      form = State::Quoted;
      break;
    case '#':
      form = State::Hexadecimal;
      form_allowed = options_.allow_hexadecimal;
      refusal = ErrorKind::HexadecimalNotAllowed;
      break;
    case '|':
      form = State::Base64;
      form_allowed = options_.allow_base64;
      refusal = ErrorKind::Base64NotAllowed;
      break;
    default:
      out = refuse(ErrorKind::UnexpectedOctet, pos_);
      return false;
  }
  if (!options_.allow_advanced) {
    out = refuse(ErrorKind::AdvancedNotAllowed, atom_start_);
    return false;
  }
  if (!form_allowed) {
    out = refuse(refusal, atom_start_);
    return false;
  }
  if (!options_.allow_lengths) {
    out = refuse(ErrorKind::LengthNotAllowed, atom_start_);
    return false;
  }
  state_ = form;
  count_ = 0;
  ++pos_;
  return true;
}

std::uint64_t Framer::skip_whitespace(const std::uint8_t* in, std::uint64_t shift, std::uint64_t at,
                                      std::uint64_t stop) noexcept {
  while (at < stop && is_whitespace(in[at - shift])) ++at;
  return at;
}

// The octet string that starts at `from` (< stop), where it is one of the common forms and the
// octets at hand hold it whole, with nothing the options refuse: where it ends, or 0.
std::uint64_t Framer::quick_atom(const std::uint8_t* in, std::uint64_t shift, std::uint64_t from,
                                 std::uint64_t stop) const noexcept {
  const bool advanced = options_.allow_advanced;
  const std::uint8_t octet = in[from - shift];
  std::uint64_t at = from + 1;
  if (octet >= '1' && octet <= '9') {
    // At most nine digits: no length that overflows, and no leading zero.
    std::uint64_t length = octet - '0';
    const std::uint64_t digits_end = from + 9 < stop ? from + 9 : stop;
    while (at < digits_end && is_digit(in[at - shift])) {
      length = length * 10 + (in[at++ - shift] - '0');
    }
    if (at >= stop || in[at - shift] != ':') return 0;
    ++at;
    if (length > stop - at || length > options_.max_atom_len) return 0;
    return at + length;
  }
  if (!advanced) return 0;
  if (is_token_start(octet)) {
    while (at < stop && is_token_char(in[at - shift])) ++at;
    // A token that runs to the end of what is at hand may go on.
    if (at >= stop || at - from > options_.max_atom_len) return 0;
    return at;
  }
  if (octet == '#' && options_.allow_hexadecimal) {
    // Digits only, no whitespace, up to the closing '#'.
    const void* hash = std::memchr(in + (at - shift), '#', stop - at);
    if (hash == nullptr) return 0;
    const std::uint64_t close =
        shift + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hash) - in);
    int not_digit = 0;
    for (std::uint64_t p = at; p < close; ++p) not_digit |= hex_digit_value(in[p - shift]);
    const std::uint64_t count = (close - at) / 2;
    if (not_digit < 0 || (close - at) % 2 != 0 || (count == 0 && !options_.allow_empty_atoms) ||
        count > options_.max_atom_len) {
      return 0;
    }
    return close + 1;
  }
  if (octet == '"') {
    while (at < stop && stands_in_quotes(in[at - shift], quoted_)) ++at;
    if (at >= stop || in[at - shift] != '"') return 0;
    const std::uint64_t count = at - from - 1;
    if ((count == 0 && !options_.allow_empty_atoms) || count > options_.max_atom_len) return 0;
    return at + 1;
  }
  return 0;
}

// Inside a list, the elements that are most of most input, where the octets hold them whole:
// brackets, whitespace, and atoms (with or without a hint) written as short verbatim strings,
// tokens, quoted strings without escapes or hexadecimal strings without whitespace. Each is
// taken in one step; anything else, and anything these would refuse, is left where it stands for
// the states to take octet by octet (which then refuse it exactly). False where an element
// finished the S-expression, with the answer in `out`.
bool Framer::quick_elements(const std::uint8_t* in, std::uint64_t shift, std::uint64_t stop,
                            Frame& out) {
  const bool advanced = options_.allow_advanced;
  while (pos_ < stop) {
    const std::uint8_t octet = in[pos_ - shift];
    if (octet == '(') {
      if (open_.size() >= options_.max_depth) return true;
      open_.push_back({pos_, false, false});
      ++pos_;
      continue;
    }
    if (octet == ')') {
      const OpenList& list = open_.back();
      if (list.has_elements ? list.first_is_list && !options_.allow_list_as_first_element
                            : !options_.allow_empty_lists) {
        return true;
      }
      open_.pop_back();
      ++pos_;
      if (!element_done(true, out)) return false;
      continue;
    }
    if (advanced && is_whitespace(octet)) {
      ++pos_;
      continue;
    }
    if (octet == '[') {
      // A hinted atom: both of its octet strings in one of the forms below.
      if (!options_.allow_display_hints) return true;
      std::uint64_t at = pos_ + 1;
      if (advanced) at = skip_whitespace(in, shift, at, stop);
      at = at < stop ? quick_atom(in, shift, at, stop) : 0;
      if (at == 0) return true;
      if (advanced) at = skip_whitespace(in, shift, at, stop);
      if (at >= stop || in[at - shift] != ']') return true;
      if (advanced) at = skip_whitespace(in, shift, at + 1, stop);
      at = at < stop && in[at - shift] != '(' ? quick_atom(in, shift, at, stop) : 0;
      if (at == 0) return true;
      pos_ = at;
    } else {
      const std::uint64_t end = quick_atom(in, shift, pos_, stop);
      if (end == 0) return true;
      pos_ = end;
    }
    if (!element_done(false, out)) return false;
  }
  return true;
}

// A base-64 string or a transport form has just closed (pos_ is past its closing octet): the
// reader's own code decodes and checks it, on exactly the octets the reader would see.
bool Framer::close_delegated(std::span<const std::uint8_t> window, std::uint64_t window_start,
                             Frame& out) {
  if (state_ == State::Transport) {
    const std::span<const std::uint8_t> form =
        window.subspan(sexp_start_ - window_start, pos_ - sexp_start_);
    ReadCursor cursor{options_, form, 0};
    CheckingBuilder builder;
    Built read = build_one(cursor, builder);
    if (!read) {
      out = refuse(read.error().refusal.kind, sexp_start_ + read.error().refusal.offset);
      return false;
    }
    out = complete();
    return false;
  }
  const std::span<const std::uint8_t> atom =
      window.subspan(atom_start_ - window_start, pos_ - atom_start_);
  ReadCursor cursor{options_, atom, 0};
  Result<std::span<const std::uint8_t>, ReadError> read = read_octet_view(cursor, scratch_);
  scratch_.clear();
  if (!read) {
    out = refuse(read.error().kind, atom_start_ + read.error().offset);
    return false;
  }
  return atom_done(out);
}

Frame Framer::scan(std::span<const std::uint8_t> window, std::uint64_t window_start, bool at_end) {
  if (state_ == State::Done) return final_;
  assert(window_start <= keep_from());
  // The window's octets by stream offset: in[offset - shift].
  const std::uint8_t* const in = window.data();
  const std::uint64_t shift = window_start;
  const std::uint64_t window_end = window_start + window.size();
  const bool advanced = options_.allow_advanced;
  Frame out;

  for (;;) {
    if (state_ == State::Between) {
      while (pos_ < window_end && is_whitespace(in[pos_ - shift])) ++pos_;
      if (pos_ == window_end) {
        if (!at_end) return Frame{};
        state_ = State::Done;
        final_ = Frame{FrameStatus::Ended, 0, 0, {}};
        return final_;
      }
      sexp_start_ = pos_;
      limit_end_ =
          options_.max_input_len > max_u64 - pos_ ? max_u64 : pos_ + options_.max_input_len;
      state_ = State::Element;
      role_ = AtomRole::Plain;
    }

    if (pos_ == window_end) {
      if (!at_end) return Frame{};
      // A token ends with the stream; anything else is cut short.
      if (state_ == State::Token) {
        if (!atom_done(out)) return out;
        continue;
      }
      return refuse(ErrorKind::UnexpectedEnd, window_end);
    }
    const std::uint8_t octet = in[pos_ - shift];
    if (state_ == State::Token) {
      // The octet after a token decides whether it goes on, also where the limit falls there.
      if (!is_token_char(octet)) {
        if (!atom_done(out)) return out;
        continue;
      }
      if (pos_ >= limit_end_) return refuse(ErrorKind::InputTooLong, limit_end_);
      const std::uint64_t stop = window_end < limit_end_ ? window_end : limit_end_;
      ++pos_;
      while (pos_ < stop && is_token_char(in[pos_ - shift])) ++pos_;
      if (pos_ - atom_start_ > options_.max_atom_len) {
        return refuse(ErrorKind::AtomTooLong, atom_start_);
      }
      continue;
    }
    // Every other state takes the octet in hand, which the limit must allow.
    if (pos_ >= limit_end_) return refuse(ErrorKind::InputTooLong, limit_end_);
    const std::uint64_t stop = window_end < limit_end_ ? window_end : limit_end_;

    switch (state_) {
      case State::Element:
        if (!open_.empty()) {
          // The common elements, wholly at hand, without a state for each of their parts.
          const std::uint64_t before = pos_;
          if (!quick_elements(in, shift, stop, out)) return out;
          if (pos_ != before) break;
        }
        if (advanced && is_whitespace(octet)) {
          ++pos_;
          while (pos_ < stop && is_whitespace(in[pos_ - shift])) ++pos_;
          break;
        }
        if (octet == '(') {
          if (open_.size() >= options_.max_depth) return refuse(ErrorKind::TooDeep, pos_);
          open_.push_back({pos_, false, false});
          ++pos_;
          break;
        }
        if (octet == ')') {
          if (open_.empty()) return refuse(ErrorKind::UnmatchedParenthesis, pos_);
          const OpenList list = open_.back();
          open_.pop_back();
          ++pos_;
          if (!list.has_elements) {
            if (!options_.allow_empty_lists) {
              return refuse(ErrorKind::EmptyListNotAllowed, list.start);
            }
          } else if (list.first_is_list && !options_.allow_list_as_first_element) {
            return refuse(ErrorKind::ListAsFirstElementNotAllowed, list.start);
          }
          if (!element_done(true, out)) return out;
          break;
        }
        if (octet == '[') {
          if (!options_.allow_display_hints) return refuse(ErrorKind::HintNotAllowed, pos_);
          ++pos_;
          state_ = State::HintOpen;
          break;
        }
        if (octet == '{' && open_.empty() && pos_ == sexp_start_) {
          if (!options_.allow_transport) return refuse(ErrorKind::TransportNotAllowed, pos_);
          state_ = State::Transport;
          ++pos_;
          break;
        }
        role_ = AtomRole::Plain;
        if (!start_atom(octet, out)) return out;
        break;

      case State::HintOpen:
      case State::HintData:
        if (advanced && is_whitespace(octet)) {
          ++pos_;
          break;
        }
        if (state_ == State::HintData) {
          if (octet == '(') return refuse(ErrorKind::HintOnList, pos_);
          role_ = AtomRole::HintedData;
        } else {
          role_ = AtomRole::Hint;
        }
        if (!start_atom(octet, out)) return out;
        break;

      case State::HintClose:
        if (advanced && is_whitespace(octet)) {
          ++pos_;
          break;
        }
        if (octet != ']') return refuse(ErrorKind::UnexpectedOctet, pos_);
        ++pos_;
        state_ = State::HintData;
        break;

      case State::Length:
        if (is_digit(octet)) {
          if (count_ == 1 && length_ == 0) {
            return refuse(ErrorKind::LengthLeadingZero, atom_start_);
          }
          const std::uint64_t digit = octet - '0';
          if (length_ > (max_u64 - digit) / 10) {
            return refuse(ErrorKind::LengthOverflow, atom_start_);
          }
          length_ = length_ * 10 + digit;
          ++count_;
          ++pos_;
          break;
        }
        if (!start_length_form(octet, out)) return out;
        break;

      case State::Verbatim: {
        const std::uint64_t take = count_ < stop - pos_ ? count_ : stop - pos_;
        pos_ += take;
        count_ -= take;
        if (count_ == 0 && !close_string(length_, out)) return out;
        break;
      }

      case State::Quoted: {
        const std::uint64_t run = pos_;
        while (pos_ < stop && stands_in_quotes(in[pos_ - shift], quoted_)) ++pos_;
        count_ += pos_ - run;
        if (pos_ == stop) break;
        const std::uint8_t next = in[pos_ - shift];
        if (next == '"') {
          ++pos_;
          if (!close_string(count_, out)) return out;
        } else if (next == '\\') {
          escape_start_ = pos_++;
          state_ = State::Escape;
        } else {
          return refuse(ErrorKind::UnexpectedOctet, pos_);
        }
        break;
      }

      case State::Escape:
        ++pos_;
        state_ = State::Quoted;
        switch (octet) {
          case 'a':
          case 'b':
          case 't':
          case 'n':
          case 'v':
          case 'f':
          case 'r':
          case '"':
          case '\'':
          case '?':
          case '\\':
            ++count_;
            break;
          case 'x':
            state_ = State::EscapeDigits;
            escape_value_ = 16;
            escape_digits_ = 2;
            escape_accum_ = 0;
            break;
          case '0':
          case '1':
          case '2':
          case '3':
          case '4':
          case '5':
          case '6':
          case '7':
            state_ = State::EscapeDigits;
            escape_value_ = 8;
            escape_digits_ = 2;
            escape_accum_ = octet - '0';
            break;
          case '\n':
            state_ = State::LineBreak;
            line_break_second_ = '\r';
            break;
          case '\r':
            state_ = State::LineBreak;
            line_break_second_ = '\n';
            break;
          default:
            return refuse(ErrorKind::InvalidEscape, escape_start_);
        }
        break;

      case State::EscapeDigits: {
        int digit = hex_digit_value(octet);
        if (escape_value_ == 8 && digit >= 8) digit = -1;
        if (digit < 0) return refuse(ErrorKind::InvalidEscape, escape_start_);
        escape_accum_ = escape_accum_ * escape_value_ + static_cast<unsigned>(digit);
        ++pos_;
        if (--escape_digits_ == 0) {
          if (escape_accum_ > 0xFF) return refuse(ErrorKind::InvalidEscape, escape_start_);
          ++count_;
          state_ = State::Quoted;
        }
        break;
      }

      case State::LineBreak:
        if (octet == line_break_second_) ++pos_;
        state_ = State::Quoted;
        break;

      case State::Hexadecimal:
        while (pos_ < stop) {
          const std::uint8_t c = in[pos_ - shift];
          if (hex_digit_value(c) >= 0) {
            ++count_;
          } else if (c == '#') {
            ++pos_;
            if (count_ % 2 != 0) return refuse(ErrorKind::OddHexDigits, atom_start_);
            if (!close_string(count_ / 2, out)) return out;
            break;
          } else if (!is_whitespace(c)) {
            return refuse(ErrorKind::InvalidHexDigit, pos_);
          }
          ++pos_;
        }
        break;

      case State::Base64:
      case State::Transport: {
        const std::uint8_t closer = state_ == State::Base64 ? '|' : '}';
        const void* found = std::memchr(in + (pos_ - shift), closer, stop - pos_);
        if (found == nullptr) {
          pos_ = stop;
          break;
        }
        pos_ = shift + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(found) - in) + 1;
        if (!close_delegated(window, window_start, out)) return out;
        break;
      }

      case State::Between:
      case State::Token:
      case State::Done:
        assert(false);
        return refuse(ErrorKind::UnexpectedOctet, pos_);
    }
  }
}

}  // namespace tarnel
