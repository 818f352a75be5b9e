#include "tarnel/pretty.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "tarnel/advanced.h"

// How the layout is found as the tree arrives. Laid out on one line, the text is fixed: the
// layout only turns some of the single spaces between elements into line breaks. What decides
// each choice is the size of a list or an atom: the characters from its first one up to the next
// space of the one-line text, or its end (so the list or atom with the closing parentheses that
// follow it on its line). A list is written on one line where its column plus its size is at most
// the width; an atom after a leading atom stays on the first line where the column after the space
// plus its size is. The input side counts characters along the one-line text and learns each size
// when the next space comes; the output side takes the held-back tokens in order and settles each
// as soon as it can: when its size is known, or when more than the room left on the line has come
// since its start, so it cannot fit whatever follows. Either way it waits on at most about a
// line's worth of text. What is held back is that one-line text itself, so a list settled onto
// one line is copied out in one piece; only an atom that may follow a leading atom on its line
// needs its size, besides the lists.

namespace tarnel {
namespace {

constexpr std::uint64_t most = std::uint64_t{1} << 62;

// Atoms of up to this many octets (data and hint alike) are written to the held-back text as they
// come, which measures them in the same pass, and copied out from there once placed; longer ones
// are measured first and written straight to the output, never held.
constexpr std::size_t written_ahead = 1024;

std::uint64_t atom_text_size(std::span<const std::uint8_t> data, const Octets* hint) noexcept {
  std::uint64_t size = octet_string_text_size(data);
  if (hint != nullptr) size += 2 + octet_string_text_size(hint->view());
  return size;
}

void write_atom(std::span<const std::uint8_t> data, const Octets* hint, Buffer& out) {
  if (hint != nullptr) {
    out.push_back('[');
    write_octet_string(hint->view(), out);
    out.push_back(']');
  }
  write_octet_string(data, out);
}

}  // namespace

PrettyWriter::PrettyWriter(Buffer& out, const PrettyOptions& layout) : out_(&out) {
  layout_.width = std::clamp<std::uint64_t>(layout.width, 1, most);
  layout_.indent = std::min(layout.indent, most);
  max_indent_ = layout_.width / 2;
  // Room for a small value at once, rather than a growing step by step.
  tokens_.reserve(compact_from * 2);
  unsized_.reserve(16);
  open_.reserve(16);
  broken_.reserve(16);
  text_.reserve(256);
}

void PrettyWriter::restart(Buffer& out) noexcept {
  reset();
  out_ = &out;
}

void PrettyWriter::reset() noexcept {
  position_ = 0;
  open_.clear();
  unsized_.clear();
  tokens_.clear();
  head_ = 0;
  first_number_ = 0;
  text_.clear();
  text_base_ = 0;
  waiting_ = false;
  settles_past_ = 0;
  column_ = 0;
  broken_.clear();
  placed_ = false;
}

void PrettyWriter::sizes_end_at(std::size_t from, std::uint64_t end) noexcept {
  const std::uint64_t held_from = first_number_ + head_;
  for (std::size_t i = from; i < unsized_.size(); ++i) {
    const std::uint64_t number = unsized_[i];
    if (number < held_from) continue;  // written already
    if (number == held_from) waiting_ = false;
    Token& token = tokens_[static_cast<std::size_t>(number - first_number_)];
    token.size = end - token.start;
  }
  unsized_.resize(from);
}

void PrettyWriter::compact() noexcept {
  // The text before the first token held is written out (or a space the layout replaces).
  const std::uint64_t from = tokens_[head_].start;
  const std::size_t dropped = static_cast<std::size_t>(from - text_base_);
  std::memmove(text_.data(), text_.data() + dropped, text_.size() - dropped);
  text_.shrink_by(dropped);
  text_base_ = from;
  tokens_.erase(tokens_.begin(), tokens_.begin() + static_cast<std::ptrdiff_t>(head_));
  first_number_ += head_;
  head_ = 0;
}

void PrettyWriter::open_list() {
  element_starts();
  push(Kind::Open);
  const std::uint64_t number = first_number_ + tokens_.size() - 1;
  unsized_.push_back(number);
  open_.push_back({number, unsized_.size() - 1, false, false});
  text_.push_back('(');
  ++position_;
  settle();
}

void PrettyWriter::close_list() {
  assert(!open_.empty());
  const std::uint64_t opened = open_.back().number;
  open_.pop_back();
  push(Kind::Close);
  const std::uint64_t number = first_number_ + tokens_.size() - 1;
  if (opened >= first_number_ + head_) {
    tokens_[static_cast<std::size_t>(opened - first_number_)].extent = number;
  }
  text_.push_back(')');
  ++position_;
  settle();
}

void PrettyWriter::atom(std::span<const std::uint8_t> data, const Octets* hint) {
  const bool follows = element_starts();
  // Only an atom that may stay on the first line after a leading atom needs its size.
  bool sized = false;
  if (!open_.empty()) {
    Open& list = open_.back();
    if (follows) {
      sized = list.atom_first;
    } else {
      list.atom_first = true;
    }
  }
  if (head_ == tokens_.size()) {
    // Nothing is held back, so the output is inside the lists the input is: where the atom goes
    // does not hang on its length unless it may stay on a first line. Written straight out, it is
    // measured as it goes.
    Broken* parent = broken_.empty() ? nullptr : &broken_.back();
    if (parent == nullptr || !follows || !parent->on_first_line) {
      if (parent != nullptr) {
        if (follows) {
          break_line();
        } else {
          parent->on_first_line = true;
        }
        parent->has_elements = true;
      }
      const std::size_t before = out_->size();
      write_atom(data, hint, *out_);
      const std::size_t length = out_->size() - before;
      column_ += length;
      position_ += length;
      text_.clear();
      text_base_ = position_;
      return;
    }
  }
  Token& token = push(Kind::Atom);
  if (data.size() <= written_ahead && (hint == nullptr || hint->size() <= written_ahead)) {
    // Written to the held-back text as it comes, which also measures it.
    const std::size_t before = text_.size();
    write_atom(data, hint, text_);
    token.extent = text_.size() - before;
  } else {
    token.extent = atom_text_size(data, hint);
    token.unkept = true;
  }
  if (sized) unsized_.push_back(first_number_ + tokens_.size() - 1);
  position_ += token.extent;
  atom_data_ = data;
  atom_hint_ = hint;
  settle();
  if (head_ != tokens_.size() && tokens_.back().unkept) {
    // Still held back (so no longer than about a line): its text is kept until it is placed.
    write_atom(data, hint, text_);
    tokens_.back().unkept = false;
  }
  atom_data_ = {};
  atom_hint_ = nullptr;
}

void PrettyWriter::finish() {
  assert(open_.empty());
  sizes_end_at(0, position_);
  drain();
  assert(head_ == tokens_.size());
  reset();
}

// Everything up to tokens_[index] has been written out.
void PrettyWriter::drop_through(std::size_t index) noexcept {
  head_ = index + 1;
  if (head_ == tokens_.size()) {
    first_number_ += head_;
    head_ = 0;
    tokens_.clear();
    text_.clear();
    text_base_ = position_;
  }
}

void PrettyWriter::write_atom_text(const Token& token) {
  if (token.unkept) {
    write_atom(atom_data_, atom_hint_, *out_);  // the atom being handed over
  } else {
    out_->append(held(token.start), static_cast<std::size_t>(token.extent));
  }
}

void PrettyWriter::break_line() {
  column_ = std::min(broken_.back().column + layout_.indent, max_indent_);
  std::uint8_t* w = out_->extend(static_cast<std::size_t>(column_) + 1);
  *w = '\n';
  std::memset(w + 1, ' ', static_cast<std::size_t>(column_));
}

// Writes the held-back list in front, whose size is known (so it is held whole up to its `)`), on
// one line: its one-line text as it is held.
void PrettyWriter::write_flat() {
  const Token& open = tokens_[head_];
  const std::size_t close = static_cast<std::size_t>(open.extent - first_number_);
  const std::size_t length = static_cast<std::size_t>(tokens_[close].start + 1 - open.start);
  out_->append(held(open.start), length);
  column_ += length;
  drop_through(close);
}

// Settles and writes the held-back tokens in order, up to the first that cannot be settled yet.
void PrettyWriter::drain() {
  waiting_ = false;
  while (head_ != tokens_.size()) {
    const Token& token = tokens_[head_];
    if (token.kind == Kind::Close) {
      out_->push_back(')');
      ++column_;
      broken_.pop_back();
      drop_through(head_);
      continue;
    }
    Broken* parent = broken_.empty() ? nullptr : &broken_.back();
    const bool follows = parent != nullptr && parent->has_elements;
    // Its size, or where that is not known yet, the least it can be.
    const std::uint64_t least = token.size != unknown ? token.size : position_ - token.start;
    if (token.kind == Kind::Atom) {
      if (follows) {
        if (parent->on_first_line && fits(column_ + 1, least)) {
          if (token.size == unknown) {
            // May fit yet: it waits for its size, or for more than the room left.
            waiting_ = true;
            settles_past_ = token.start + (layout_.width - column_ - 1);
            return;
          }
          out_->push_back(' ');
          ++column_;
        } else {
          parent->on_first_line = false;
          break_line();
        }
      } else if (parent != nullptr) {
        parent->on_first_line = true;  // a leading atom: atoms may follow it on its line
      }
      write_atom_text(token);
      column_ += token.extent;
      if (parent != nullptr) parent->has_elements = true;
      drop_through(head_);
      continue;
    }
    // A list: after an element, always on a line of its own.
    if (follows && !placed_) {
      parent->on_first_line = false;
      break_line();
      placed_ = true;
    }
    const bool flat = fits(column_, least);
    if (flat && token.size == unknown) {
      waiting_ = true;  // as an atom does
      settles_past_ = token.start + (layout_.width - column_);
      return;
    }
    placed_ = false;
    if (parent != nullptr) parent->has_elements = true;
    if (flat) {
      write_flat();
      continue;
    }
    out_->push_back('(');
    broken_.push_back({column_, false, false});
    ++column_;
    drop_through(head_);
  }
}

Buffer encode_pretty(const Value& value, const PrettyOptions& layout) {
  Buffer out;
  PrettyWriter writer(out, layout);
  write_tree(value, writer);
  writer.finish();
  return out;
}

}  // namespace tarnel
