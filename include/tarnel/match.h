// Declarative extraction: a pattern, itself an S-expression, names the parts of a value to take,
// and matching gives them by name, or says that the value does not have that shape. Elements a
// pattern does not mention are ignored, and sub-lists are looked up by their first element in
// any order, so that a pattern written for today's keys still matches when an element is added
// to them (GnuPG put `(flags eddsa)` in the middle of its Ed25519 keys).
//
// The pattern language, item by item (the README has the grammar):
//
//   :name          any one element, atom or list, bound to `name` (letters, digits, '_', '-');
//                  where a name occurs twice, both places must hold equal values
//   :_             any one element, bound to nothing
//   :name...       the rest of the list, from this position on (possibly nothing), bound as a
//                  run of elements; must be the last positional item of its list
//   :_...          the rest of the list, ignored
//   [*]text        an atom holding `text`, whatever its display hint, or none
//   (::optional P) P where the value has it; where it does not, P's names stay unbound
//   (head ...)     after the first item of a list: a list whose first element is the atom
//                  `head` (hint and all), looked up among the value's elements after its first
//   (...)          otherwise: a list, at this position
//   any other atom an equal atom: the same data, and the same hint or the same lack of one
//
// Within a list the positional items (all but the looked-up lists) match the value's elements
// one after another from its first; elements after the last positional item are ignored. An
// optional positional item may be followed only by other optional ones and a rest. Items are
// matched left to right; each looked-up list takes the first element, in order, that matches
// it, and a choice once made is not revisited.
//
// A compiled `Pattern` is immutable: any number of threads may match with one at once. Neither
// compiling nor matching recurses over the depth of a pattern or a value; matching does
// O(pattern size x value size) work at most, plus the comparisons of repeated names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel {

/// Why a pattern could not be compiled. The ordinals are part of the interface.
enum class PatternErrorKind : std::uint8_t {
  /// The text is not an S-expression; `PatternError::read_kind` says why.
  Refused,
  /// An atom that begins with ':' is not `:name`, `:_`, `:name...` or `:_...`.
  InvalidVariable,
  /// A list begins with `::` followed by something other than `optional`.
  UnknownKeyword,
  /// `(::optional P)` without exactly one P, as the whole pattern, or as the P of another.
  InvalidOptional,
  /// A rest that is not the last positional item of its list, or not directly in a list (the
  /// whole pattern, or the P of an optional form).
  MisplacedRest,
  /// A required positional item after an optional one.
  MisplacedOptional,
  /// A name bound to one element in one place and to the rest of a list in another.
  RestAndElement,
};

/// A refusal to compile: what was wrong and where. `offset` counts octets into the pattern's
/// text; for a pattern given as a value, into that value's canonical representation.
struct PatternError {
  std::uint64_t offset = 0;
  PatternErrorKind kind = PatternErrorKind::Refused;
  ErrorKind read_kind = ErrorKind::UnexpectedEnd;  // meaningful where kind is Refused

  friend bool operator==(const PatternError&, const PatternError&) = default;
};

/// The kind's enumerator name, such as "InvalidVariable"; for Refused, the reader's kind name
/// (`error_kind_name(read_kind)`), so that a refused text reports as the reader does.
TARNEL_EXPORT std::string_view pattern_error_name(const PatternError& error) noexcept;

/// The error's fixed message; for Refused, the reader's (`error_kind_message(read_kind)`).
TARNEL_EXPORT std::string_view pattern_error_message(const PatternError& error) noexcept;

/// Writes "<message> at offset <decimal>" into `out` (at least `error_display_capacity` chars)
/// and returns its length. Cannot fail.
TARNEL_EXPORT std::size_t format_pattern_error(const PatternError& error, char* out) noexcept;

namespace detail {

enum class PatternOp : std::uint8_t { Literal, AnyHint, Variable, Rest, List, Optional };

inline constexpr std::size_t no_slot = static_cast<std::size_t>(-1);

// One item of a compiled pattern, stored in document order; a list's items follow it, up to
// `end`. Literal octets are kept in the pattern's own pool.
struct PatternItem {
  PatternOp op = PatternOp::Literal;
  bool has_hint = false;       // Literal: whether the atom must carry a hint (hint_*)
  bool lookup = false;         // List: looked up by its first item rather than taken by position
  std::size_t end = 0;         // one past the last item of this one's subtree
  std::size_t slot = no_slot;  // Variable, Rest: the index of the name; no_slot where anonymous
  std::size_t data_at = 0;
  std::size_t data_len = 0;
  std::size_t hint_at = 0;
  std::size_t hint_len = 0;
};

struct PatternAccess;

}  // namespace detail

/// A compiled pattern: compile once, match many values. Holds copies of everything it needs,
/// so the text or value it was compiled from may go at once. Movable; immutable once made. One
/// made by its default constructor, not by `compile_pattern`, matches nothing.
class TARNEL_EXPORT Pattern {
 public:
  /// The pattern's variable names (not `_`), in order of first appearance.
  std::span<const std::string> names() const noexcept { return names_; }

  /// Whether the name at `names()[index]` is a rest (`:name...`), which binds a run of elements.
  bool is_rest(std::size_t index) const noexcept { return rest_[index]; }

 private:
  friend struct detail::PatternAccess;

  std::vector<detail::PatternItem> items_;
  std::vector<std::uint8_t> octets_;
  std::vector<std::string> names_;
  std::vector<bool> rest_;
};

/// Compiles a pattern written in any representation (advanced text, canonical, transport), read
/// with the default options (`default_options`: lists nested at most 1024 deep). A refusal by
/// the reader comes back as kind Refused with the reader's kind and offset.
TARNEL_EXPORT Result<Pattern, PatternError> compile_pattern(std::span<const std::uint8_t> text);

/// As above, for text.
TARNEL_EXPORT Result<Pattern, PatternError> compile_pattern(std::string_view text);

/// Compiles a pattern given as a value. Offsets in errors count into the value's canonical form.
TARNEL_EXPORT Result<Pattern, PatternError> compile_pattern(const Value& pattern);

/// What one successful match bound. Refers into the value matched, which must outlive it, and
/// to the pattern's names, so the pattern must outlive it too.
class TARNEL_EXPORT Match {
 public:
  /// The element bound to `name`; null where `name` is not one of the pattern's single-element
  /// names, or where the optional part holding it was absent.
  const Value* get(std::string_view name) const noexcept;

  /// The run of elements bound to the rest name `name` (`:name...`), possibly empty; empty too
  /// where `name` is not a rest name of the pattern or was left unbound.
  std::span<const Value> rest(std::string_view name) const noexcept;

  /// Whether `name` was bound: false for a name not in the pattern, and for one inside an
  /// optional part that was absent.
  bool bound(std::string_view name) const noexcept;

  /// The pattern's names, as `Pattern::names()`.
  std::span<const std::string> names() const noexcept;

 private:
  friend struct detail::PatternAccess;

  struct Slot {
    const Value* value = nullptr;  // a single element, or for a rest the list it is taken from
    std::size_t from = 0;          // a rest: the first element of the run
    bool bound = false;
  };

  const Pattern* pattern_ = nullptr;
  std::vector<Slot> slots_;
};

/// Matches `value` against `pattern`: the names it binds, or nothing where the value does not
/// have the pattern's shape. Fails only for memory (std::bad_alloc).
TARNEL_EXPORT std::optional<Match> match(const Pattern& pattern, const Value& value);

}  // namespace tarnel
