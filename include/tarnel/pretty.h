// The advanced representation of §6.4 laid out over indented lines for people to read: every atom
// is written as `encode_advanced` writes it, and the atoms and brackets are joined with single
// spaces and line breaks only, so the text reads back to the same value.
//
// The layout, for a width W and an indentation I: a list that fits in what is left of its line,
// counting the closing parentheses that will follow it there, is written on that line as
// `encode_advanced` writes it (an empty list always is). Otherwise its first element follows the
// `(`; where that is an atom, the atoms after it stay on the same line while each fits there
// (again counting the parentheses that would follow it); every further element starts a line of
// its own, indented by I from the column of the `(`, but never past column W / 2, so that deep
// trees give lines of bounded indentation rather than output quadratic in the depth:
//
//     (public-key
//       (rsa
//         (n #00c5a1...#)
//         (e #010001#))
//       (hash sha256
//         #8c2574892063f995fdf756bce07f46c1a5193e54cd52837ed91e32008ccf41ac#))
//
// `PrettyWriter` lays a tree out as it is handed over, one list bracket or atom at a time in
// document order (as `CanonicalWriter` and `AdvancedWriter` take it), so it can lay out what a
// reader or the converter produces while reading, with no `Value` in between. It holds back only
// what it cannot place yet: the text after the first undecided list or atom, which is never more
// than about W characters, since once that much has come the list cannot fit and is broken. Its
// memory is bounded by the depth and the width, not by the size of the value: an atom too long
// for the line is never held back (one of more than 1024 octets is written straight from where it
// lies). Nothing here recurses, and lists may nest as deep as the caller hands them. Each
// S-expression starts at column 0. Cannot fail but for memory.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/export.h"
#include "tarnel/value.h"

namespace tarnel {

/// The shape of the layout: the column lines stay within where they can, and the indentation of
/// each level. A width of 0 counts as 1; widths and indentations past 2^62 count as 2^62.
struct PrettyOptions {
  std::uint64_t width = 72;
  std::uint64_t indent = 2;

  friend bool operator==(const PrettyOptions&, const PrettyOptions&) = default;
};

/// The laid-out form of `value`.
TARNEL_EXPORT Buffer encode_pretty(const Value& value, const PrettyOptions& layout = {});

/// Lays out S-expressions handed over in document order, appending the text to a buffer as it is
/// settled. After the last bracket or atom of an S-expression, `finish()` writes what is still
/// held back; the writer then takes the next S-expression, keeping the memory it has grown.
class TARNEL_EXPORT PrettyWriter {
 public:
  explicit PrettyWriter(Buffer& out, const PrettyOptions& layout = {});

  PrettyWriter(const PrettyWriter&) = delete;
  PrettyWriter& operator=(const PrettyWriter&) = delete;

  /// The start of a list.
  void open_list();

  /// The end of the innermost open list.
  void close_list();

  /// An atom: `[hint]` where `hint` is non-null, then the data. The octets need to stay valid only
  /// during the call.
  void atom(std::span<const std::uint8_t> data, const Octets* hint);

  /// Ends the S-expression (every list opened has been closed): writes the rest of its text.
  void finish();

  /// Drops whatever is held back of an S-expression left unfinished (a conversion that stopped
  /// half way) and sends the text of the next one to `out`.
  void restart(Buffer& out) noexcept;

  /// The layout in use, with its limits applied.
  const PrettyOptions& layout() const noexcept { return layout_; }

 private:
  enum class Kind : std::uint8_t { Open, Close, Atom };

  // No size known yet.
  static constexpr std::uint64_t unknown = UINT64_MAX;

  // Held-back tokens already written are dropped once there are this many and they are half of
  // what is held.
  static constexpr std::size_t compact_from = 32;

  // A bracket or an atom not yet written out.
  struct Token {
    Kind kind;
    bool unkept;           // an atom whose text is not held (only the one being handed over)
    std::uint64_t start;   // its first character, counted along the one-line text
    std::uint64_t size;    // characters up to the next space or the end, where they matter
    std::uint64_t extent;  // atoms: the length of their text; `(`: the number of its `)`
  };

  // A list the output is inside, laid over several lines.
  struct Broken {
    std::uint64_t column;  // of its `(`
    bool has_elements;     // an element has been written
    bool on_first_line;    // its elements so far are atoms that all stayed on its first line
  };

  // A list the input is inside.
  struct Open {
    std::uint64_t number;    // of its `(` token
    std::size_t unsized_at;  // where that is in `unsized_`
    bool has_elements;
    bool atom_first;  // its first element is an atom, so the size of each atom after it matters
  };

  // A list or an atom begins in the input. After another element of the same list it is preceded
  // by a space, which ends the size of everything begun since that list's own start; returns
  // whether it is.
  bool element_starts() {
    if (open_.empty()) return false;
    Open& list = open_.back();
    if (!list.has_elements) {
      list.has_elements = true;
      return false;
    }
    if (unsized_.size() > list.unsized_at + 1) sizes_end_at(list.unsized_at + 1, position_);
    text_.push_back(' ');
    ++position_;
    return true;
  }

  void sizes_end_at(std::size_t from, std::uint64_t end) noexcept;

  Token& push(Kind kind) {
    if (head_ >= compact_from && head_ * 2 >= tokens_.size()) compact();
    tokens_.push_back({kind, false, position_, unknown, 0});
    return tokens_.back();
  }

  void compact() noexcept;

  // Settles what it can, unless the token in front waits for what has not come yet.
  void settle() {
    if (!waiting_ || position_ > settles_past_) drain();
  }

  void drain();

  bool fits(std::uint64_t column, std::uint64_t size) const noexcept {
    return size <= layout_.width && column <= layout_.width - size;
  }

  const std::uint8_t* held(std::uint64_t position) const noexcept {
    return text_.data() + (position - text_base_);
  }

  void write_atom_text(const Token& token);
  void write_flat();
  void break_line();
  void drop_through(std::size_t index) noexcept;
  void reset() noexcept;

  Buffer* out_;
  PrettyOptions layout_;
  std::uint64_t max_indent_;

  // The input side: the one-line text, as far as it has come.
  std::uint64_t position_ = 0;          // its length so far
  std::vector<Open> open_;              // the lists open in the input
  std::vector<std::uint64_t> unsized_;  // tokens whose size awaits the next space, by number

  // What is held back: the tokens from tokens_[head_] on (numbered from first_number_ at
  // tokens_[0]), and the one-line text from text_base_ to position_, which holds theirs.
  std::vector<Token> tokens_;
  std::size_t head_ = 0;
  std::uint64_t first_number_ = 0;
  Buffer text_;
  std::uint64_t text_base_ = 0;
  std::span<const std::uint8_t> atom_data_;  // the atom being handed over
  const Octets* atom_hint_ = nullptr;

  // The output side.
  bool waiting_ = false;            // the token in front cannot be settled yet: it waits
  std::uint64_t settles_past_ = 0;  // for its size, or for the text to pass this length
  std::uint64_t column_ = 0;
  std::vector<Broken> broken_;  // the lists the output is inside
  bool placed_ = false;         // the line break before the first held-back token is written
};

}  // namespace tarnel
