#include "tarnel/framer.h"

#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>

#include "tarnel/build.h"
#include "tarnel/octet_string.h"
#include "tarnel/detail/atoms.h"
#include "tarnel/detail/grammar.h"
#include "tarnel/detail/runs.h"

namespace tarnel {
namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

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

Framer::Framer(const ReaderOptions& options) : options_(options) {}

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
  const Fault fault = decoded_fault(options_, has_length_, length_, count);
  if (fault) {
    out = refuse(*fault, atom_start_);
    return false;
  }
  return atom_done(out);
}

// The first octet of an octet string, at pos_: the form it begins and the restrictions on it.
bool Framer::start_atom(std::uint8_t octet, Frame& out) {
  atom_start_ = pos_;
  has_length_ = false;
  count_ = 0;
  const Form form = forms[octet];
  const Fault fault = form_fault(options_, form);
  if (fault) {
    out = refuse(*fault, pos_);
    return false;
  }
  ++pos_;
  switch (form) {
    case Form::Length:
      state_ = State::Length;
      length_ = octet - '0';
      count_ = 1;  // digits read
      return true;
    case Form::Quoted:
      state_ = State::Quoted;
      return true;
    case Form::Hexadecimal:
      state_ = State::Hexadecimal;
      return true;
    case Form::Base64:
      state_ = State::Base64;
      return true;
    default:
      state_ = State::Token;
      // Every token has an octet: with no room for one, it is refused here and now.
      if (options_.max_atom_len == 0) {
        out = refuse(ErrorKind::AtomTooLong, atom_start_);
        return false;
      }
      return true;
  }
}

// The octet after a length's digits, at pos_.
bool Framer::start_length_form(std::uint8_t octet, Frame& out) {
  has_length_ = true;
  const Fault fault = form_fault_after_length(options_, octet);
  if (fault) {
    out = refuse(*fault, *fault == ErrorKind::UnexpectedOctet ? pos_ : atom_start_);
    return false;
  }
  ++pos_;
  switch (forms[octet]) {
    case Form::Quoted:
      state_ = State::Quoted;
      break;
    case Form::Hexadecimal:
      state_ = State::Hexadecimal;
      break;
    case Form::Base64:
      state_ = State::Base64;
      break;
    default:
      // ':' (a verbatim string). The reader counts from the S-expression's first octet.
      if (length_ > max_u64 - (pos_ - sexp_start_)) {
        out = refuse(ErrorKind::LengthOverflow, pos_);
        return false;
      }
      state_ = State::Verbatim;
      count_ = length_;  // octets still to come
      if (count_ != 0) return true;
      return close_string(0, out);
  }
  count_ = 0;
  return true;
}

std::uint64_t Framer::skip_whitespace(const std::uint8_t* in, std::uint64_t shift, std::uint64_t at,
                                      std::uint64_t stop) noexcept {
  while (at < stop && is_whitespace(in[at - shift])) ++at;
  return at;
}

// The octet string that starts at `from` (< stop), where the octets at hand hold it whole in one
// of the forms the quick scanner takes, with nothing the options refuse: where it ends, or 0.
std::uint64_t Framer::quick_atom(const std::uint8_t* in, std::uint64_t shift, std::uint64_t from,
                                 std::uint64_t stop) {
  std::span<const std::uint8_t> octets;
  const std::size_t taken = scan::quick_atom<scan::Take::Follow>(
      options_, in + (from - shift), static_cast<std::size_t>(stop - from), false, scratch_,
      octets);
  return taken == 0 ? 0 : from + taken;
}

// Inside a list, the elements that are most of most input, where the octets hold them whole:
// brackets, whitespace, and atoms (with or without a hint) in the forms the quick scanner takes.
// Each is taken in one step; anything else, and anything these would refuse, is left where it
// stands for the states to take octet by octet (which then refuse it exactly). False where an
// element finished the S-expression, with the answer in `out`.
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
      pos_ += scan::native::run<scan::TokenChars>(in + (pos_ - shift), stop - pos_);
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
          const Fault fault = next_length_digit(length_, count_, octet);
          if (fault) return refuse(*fault, atom_start_);
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
        const std::uint8_t* at = in + (pos_ - shift);
        const std::uint64_t run = options_.allow_raw_octets
                                      ? scan::native::run<scan::QuotedOrRawChars>(at, stop - pos_)
                                      : scan::native::run<scan::QuotedChars>(at, stop - pos_);
        pos_ += run;
        count_ += run;
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

      case State::Escape: {
        const Escape escape = escapes[octet];
        ++pos_;
        state_ = State::Quoted;
        switch (escape.kind) {
          case EscapeKind::Octet:
            ++count_;
            break;
          case EscapeKind::Hexadecimal:
          case EscapeKind::Octal:
            state_ = State::EscapeDigits;
            escape_value_ = static_cast<std::uint8_t>(escape_base(escape.kind));
            escape_digits_ = escape_digits;
            escape_accum_ = escape.value;
            break;
          case EscapeKind::LineBreak:
            state_ = State::LineBreak;
            line_break_second_ = escape.value;
            break;
          case EscapeKind::Invalid:
            return refuse(ErrorKind::InvalidEscape, escape_start_);
        }
        break;
      }

      case State::EscapeDigits: {
        const int digit = escape_digit(escape_value_, octet);
        if (digit < 0) return refuse(ErrorKind::InvalidEscape, escape_start_);
        escape_accum_ = escape_accum_ * escape_value_ + static_cast<unsigned>(digit);
        ++pos_;
        if (--escape_digits_ == 0) {
          if (!escape_value_fits(escape_accum_)) {
            return refuse(ErrorKind::InvalidEscape, escape_start_);
          }
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
          const std::uint64_t digits =
              scan::native::run<scan::HexDigits>(in + (pos_ - shift), stop - pos_);
          count_ += digits;
          pos_ += digits;
          if (pos_ == stop) break;
          const std::uint8_t c = in[pos_ - shift];
          if (c == '#') {
            ++pos_;
            if (count_ % 2 != 0) return refuse(ErrorKind::OddHexDigits, atom_start_);
            if (!close_string(count_ / 2, out)) return out;
            break;
          }
          if (!is_whitespace(c)) return refuse(ErrorKind::InvalidHexDigit, pos_);
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
