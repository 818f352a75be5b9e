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
// line's worth of text.

namespace tarnel {
namespace {

constexpr std::uint64_t most = std::uint64_t{1} << 62;
constexpr std::uint64_t unknown = UINT64_MAX;
constexpr std::uint64_t unkept = UINT64_MAX;

// Held-back tokens already written are dropped once there are this many and they are half of
// what is held.
constexpr std::size_t compact_from = 32;

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
  text_used_ = 0;
  column_ = 0;
  broken_.clear();
  placed_ = false;
}

// A list or an atom begins in the input: after an element of the same list, a space, which ends
// the size of everything begun since that list's own start.
void PrettyWriter::element_starts() {
  if (open_.empty()) return;
  Open& list = open_.back();
  if (list.has_elements) {
    sizes_end_at(list.unsized_at + 1, position_);
    ++position_;
  }
  list.has_elements = true;
}

void PrettyWriter::sizes_end_at(std::size_t from, std::uint64_t end) noexcept {
  const std::uint64_t held_from = first_number_ + head_;
  for (std::size_t i = from; i < unsized_.size(); ++i) {
    const std::uint64_t number = unsized_[i];
    if (number < held_from) continue;  // written already
    Token& token = tokens_[static_cast<std::size_t>(number - first_number_)];
    token.size = end - token.start;
  }
  unsized_.resize(from);
}

void PrettyWriter::push(Kind kind, std::uint64_t text_len) {
  if (head_ >= compact_from && head_ * 2 >= tokens_.size()) {
    tokens_.erase(tokens_.begin(), tokens_.begin() + static_cast<std::ptrdiff_t>(head_));
    first_number_ += head_;
    head_ = 0;
    const std::size_t used = static_cast<std::size_t>(text_used_ - text_base_);
    std::memmove(text_.data(), text_.data() + used, text_.size() - used);
    text_.shrink_by(used);
    text_base_ = text_used_;
  }
  tokens_.push_back({kind, position_, unknown, unkept, text_len});
  if (kind != Kind::Close) unsized_.push_back(first_number_ + tokens_.size() - 1);
}

void PrettyWriter::open_list() {
  element_starts();
  push(Kind::Open, 0);
  open_.push_back({unsized_.size() - 1, false});
  ++position_;
  drain();
}

void PrettyWriter::close_list() {
  assert(!open_.empty());
  open_.pop_back();
  push(Kind::Close, 0);
  ++position_;
  drain();
}

void PrettyWriter::atom(std::span<const std::uint8_t> data, const Octets* hint) {
  element_starts();
  push(Kind::Atom, 0);
  Token& token = tokens_.back();
  if (data.size() <= written_ahead && (hint == nullptr || hint->size() <= written_ahead)) {
    // Written where held-back text is kept, which also measures it.
    const std::size_t before = text_.size();
    write_atom(data, hint, text_);
    token.text_at = text_base_ + before;
    token.text_len = text_.size() - before;
  } else {
    token.text_len = atom_text_size(data, hint);
  }
  position_ += token.text_len;
  atom_data_ = data;
  atom_hint_ = hint;
  drain();
  if (head_ != tokens_.size() && tokens_.back().text_at == unkept) {
    // Still held back (so no longer than about a line): its text is kept until it is placed.
    Token& held = tokens_.back();
    held.text_at = text_base_ + text_.size();
    write_atom(data, hint, text_);
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

void PrettyWriter::pop_front() noexcept {
  ++head_;
  if (head_ == tokens_.size()) {
    first_number_ += head_;
    head_ = 0;
    tokens_.clear();
    text_base_ += text_.size();
    text_used_ = text_base_;
    text_.clear();
  }
}

void PrettyWriter::write_atom_text(const Token& token) {
  if (token.text_at == unkept) {
    write_atom(atom_data_, atom_hint_, *out_);  // the atom being handed over
    return;
  }
  out_->append(text_.data() + (token.text_at - text_base_),
               static_cast<std::size_t>(token.text_len));
  text_used_ = token.text_at + token.text_len;
}

void PrettyWriter::break_line() {
  column_ = std::min(broken_.back().column + layout_.indent, max_indent_);
  std::uint8_t* w = out_->extend(static_cast<std::size_t>(column_) + 1);
  *w = '\n';
  std::memset(w + 1, ' ', static_cast<std::size_t>(column_));
}

// Writes the held-back list in front, whose size is known (so it is held whole), on one line.
void PrettyWriter::write_flat() {
  std::size_t depth = 0;
  bool first = true;
  std::uint64_t written = 0;
  do {
    assert(head_ < tokens_.size());
    const Token& token = tokens_[head_];
    if (token.kind == Kind::Close) {
      out_->push_back(')');
      ++written;
      --depth;
      first = false;
    } else {
      if (!first) {
        out_->push_back(' ');
        ++written;
      }
      if (token.kind == Kind::Open) {
        out_->push_back('(');
        ++written;
        ++depth;
        first = true;
      } else {
        write_atom_text(token);
        written += token.text_len;
        first = false;
      }
    }
    pop_front();
  } while (depth != 0);
  column_ += written;
}

// Settles and writes the held-back tokens in order, up to the first that cannot be settled yet.
void PrettyWriter::drain() {
  while (head_ != tokens_.size()) {
    const Token& token = tokens_[head_];
    if (token.kind == Kind::Close) {
      out_->push_back(')');
      ++column_;
      broken_.pop_back();
      pop_front();
      continue;
    }
    Broken* parent = broken_.empty() ? nullptr : &broken_.back();
    const bool follows = parent != nullptr && parent->has_elements;
    // Its size, or where that is not known yet, the least it can be.
    const std::uint64_t least = token.size != unknown ? token.size : position_ - token.start;
    if (token.kind == Kind::Atom) {
      if (follows) {
        if (parent->on_first_line && fits(column_ + 1, least)) {
          if (token.size == unknown) return;  // may fit yet
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
      column_ += token.text_len;
      if (parent != nullptr) parent->has_elements = true;
      pop_front();
      continue;
    }
    // A list: after an element, always on a line of its own.
    if (follows && !placed_) {
      parent->on_first_line = false;
      break_line();
      placed_ = true;
    }
    const bool flat = fits(column_, least);
    if (flat && token.size == unknown) return;  // may fit yet
    placed_ = false;
    if (parent != nullptr) parent->has_elements = true;
    if (flat) {
      write_flat();
      continue;
    }
    out_->push_back('(');
    broken_.push_back({column_, false, false});
    ++column_;
    pop_front();
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
