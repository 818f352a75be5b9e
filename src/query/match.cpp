#include "tarnel/match.h"

#include <array>
#include <cstring>
#include <iterator>
#include <utility>

#include "decode/reader/message_at.h"
#include "decode/reader/value_builder.h"
#include "tarnel/build.h"
#include "tarnel/pattern_engine.h"

namespace tarnel {
namespace {

struct KindText {
  std::string_view name;
  std::string_view message;
};

// Indexed by PatternErrorKind; Refused takes the reader's texts instead.
constexpr std::array<KindText, 7> kind_texts = {{
    {"Refused", ""},
    {"InvalidVariable", "a variable is ':' and a name of letters, digits, '_' and '-'"},
    {"UnknownKeyword", "a list that begins with '::' must be (::optional pattern)"},
    {"InvalidOptional", "(::optional pattern) holds one pattern and stands in a list"},
    {"MisplacedRest", "':name...' must be the last positional element of a list"},
    {"MisplacedOptional", "a required element after an optional one"},
    {"RestAndElement", "a name bound both to one element and to the rest of a list"},
}};

constexpr std::string_view at_offset = " at offset ";

constexpr bool fits_display_capacity() {
  for (const KindText& t : kind_texts) {
    if (t.message.size() + at_offset.size() + 20 > error_display_capacity) return false;
  }
  return true;
}

static_assert(fits_display_capacity());

const KindText& text_of(PatternErrorKind kind) noexcept {
  auto index = static_cast<std::size_t>(kind);
  return kind_texts[index < kind_texts.size() ? index : 0];
}

// Builds the pattern's value as the reader reads it, and notes where each element of it begins,
// in document order. The driver does not say where an element begins, only where the last one
// ended; the next one begins at the first octet after that which is not whitespace (the driver
// skips whitespace between elements and nothing else), or for a list at its '('.
class LocatingBuilder : private ValueBuilder {
 public:
  LocatingBuilder(const ReadCursor& cursor, std::vector<std::uint64_t>& offsets)
      : cursor_(cursor), offsets_(offsets) {}

  using ValueBuilder::is_list;
  using ValueBuilder::size;
  using ValueBuilder::take;

  bool open_list() {
    offsets_.push_back(cursor_.position);  // the driver calls this standing on the '('
    resume_ = cursor_.position + 1;
    return true;
  }

  bool atom(View data) {
    note_start();
    return ValueBuilder::atom(data);
  }

  bool hinted_atom(View data, View hint) {
    note_start();
    return ValueBuilder::hinted_atom(data, hint);
  }

  bool list(std::size_t first) {
    resume_ = cursor_.position;  // just past the ')'
    return ValueBuilder::list(first);
  }

 private:
  void note_start() {
    std::uint64_t at = resume_;
    const auto input = cursor_.input;
    while (at < input.size() && is_whitespace(input[at])) ++at;
    offsets_.push_back(at);
    resume_ = cursor_.position;  // just past the atom
  }

  const ReadCursor& cursor_;
  std::vector<std::uint64_t>& offsets_;
  std::uint64_t resume_ = 0;
};

Result<Pattern, PatternError> compile_tree(const Value& value,
                                           const std::vector<std::uint64_t>* offsets) {
  query::ValueTree tree;
  query::Compiler<query::ValueTree> compiler(tree, offsets);
  if (!compiler.run(&value)) return compiler.error();
  return std::move(compiler.pattern());
}

std::size_t slot_of(const Pattern* pattern, std::string_view name) noexcept {
  if (pattern == nullptr) return detail::no_slot;  // a default-constructed Match
  std::span<const std::string> names = pattern->names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return i;
  }
  return detail::no_slot;
}

}  // namespace

std::string_view pattern_error_name(const PatternError& error) noexcept {
  if (error.kind == PatternErrorKind::Refused) return error_kind_name(error.read_kind);
  return text_of(error.kind).name;
}

std::string_view pattern_error_message(const PatternError& error) noexcept {
  if (error.kind == PatternErrorKind::Refused) return error_kind_message(error.read_kind);
  return text_of(error.kind).message;
}

std::size_t format_pattern_error(const PatternError& error, char* out) noexcept {
  if (error.kind == PatternErrorKind::Refused) {
    return format_read_error(ReadError{error.offset, error.read_kind}, out);
  }
  return format_message_at(text_of(error.kind).message, error.offset, out);
}

Result<Pattern, PatternError> compile_pattern(std::span<const std::uint8_t> text) {
  const ReaderOptions& options = default_options;
  std::vector<std::uint64_t> offsets;
  ReadCursor cursor{options, text, 0};
  LocatingBuilder builder(cursor, offsets);
  Built read = build_one(cursor, builder);
  if (!read) {
    const ReadError refusal = read.error().refusal;
    return PatternError{refusal.offset, PatternErrorKind::Refused, refusal.kind};
  }
  build_detail::skip_whitespace_if_advanced(cursor);
  if (cursor.position != text.size()) {
    return PatternError{cursor.position, PatternErrorKind::Refused, ErrorKind::TrailingOctets};
  }
  // A basic transport form is read from its decoded octets: everything in it is placed at its
  // '{', where the reader places its faults too.
  std::uint64_t start = 0;
  while (start < text.size() && (octet_classes[text[start]] & octet_class::whitespace) != 0) {
    ++start;
  }
  if (start < text.size() && text[start] == '{') offsets.assign(offsets.size(), start);
  Value value = builder.take();
  return compile_tree(value, &offsets);
}

Result<Pattern, PatternError> compile_pattern(std::string_view text) {
  return compile_pattern(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Result<Pattern, PatternError> compile_pattern(const Value& pattern) {
  return compile_tree(pattern, nullptr);
}

const Value* Match::get(std::string_view name) const noexcept {
  const std::size_t slot = slot_of(pattern_, name);
  if (slot == detail::no_slot || pattern_->is_rest(slot) || !slots_[slot].bound) return nullptr;
  return slots_[slot].value;
}

std::span<const Value> Match::rest(std::string_view name) const noexcept {
  const std::size_t slot = slot_of(pattern_, name);
  if (slot == detail::no_slot || !pattern_->is_rest(slot) || !slots_[slot].bound) return {};
  return std::span<const Value>(slots_[slot].value->elements()).subspan(slots_[slot].from);
}

bool Match::bound(std::string_view name) const noexcept {
  const std::size_t slot = slot_of(pattern_, name);
  return slot != detail::no_slot && slots_[slot].bound;
}

std::span<const std::string> Match::names() const noexcept {
  return pattern_ != nullptr ? pattern_->names() : std::span<const std::string>();
}

std::optional<Match> match(const Pattern& pattern, const Value& value) {
  query::ValueTree tree;
  query::Matcher<query::ValueTree> matcher(tree, pattern);
  if (matcher.run(&value) != query::Matcher<query::ValueTree>::Outcome::Match) return std::nullopt;
  Match result;
  detail::PatternAccess::bind(result, pattern, matcher.slots());
  return result;
}

}  // namespace tarnel
