// Patterns from arbitrary text, matched against arbitrary values. The first octet says where the
// pattern's text ends and the value's begins. Beside not crashing, the target holds the three
// ways of compiling one pattern to each other: from its text, from the value the text reads to,
// and from that value's canonical form must succeed or fail alike, fail with the same kind, the
// last two at the same offset, and where they succeed bind the same parts of any value.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "tarnel/canonical.h"
#include "tarnel/match.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::fail;

// The bindings of a match as text: each name's canonical form or run of them, in order.
std::string bindings(const Pattern& pattern, const std::optional<Match>& found) {
  if (!found) return "no match";
  std::string out;
  for (std::size_t i = 0; i < pattern.names().size(); ++i) {
    const std::string& name = pattern.names()[i];
    out += name + "=";
    if (!found->bound(name)) {
      out += "-";
    } else if (pattern.is_rest(i)) {
      for (const Value& v : found->rest(name)) out += std::string(encode_canonical(v).text());
    } else {
      out += std::string(encode_canonical(*found->get(name)).text());
    }
    out += ";";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > fuzz::max_input) return 0;
  const std::size_t split = 1 + (data[0] * (size - 1)) / 255;
  const fuzz::HeapCopy pattern_text(std::span(data + 1, split - 1));
  const fuzz::HeapCopy value_text(std::span(data + split, size - split));

  auto from_text = compile_pattern(pattern_text.view());
  auto pattern_value = read_whole(default_options, pattern_text.view());
  if (!pattern_value) {
    if (from_text || from_text.error().kind != PatternErrorKind::Refused) {
      fail("a text the reader refuses compiled", pattern_text.view());
    }
    return 0;
  }
  auto from_value = compile_pattern(*pattern_value);
  const Buffer canonical = encode_canonical(*pattern_value);
  auto from_canonical = compile_pattern(canonical.view());
  if (from_text.ok() != from_value.ok() || from_value.ok() != from_canonical.ok()) {
    fail("one pattern compiled one way and not another", pattern_text.view());
  }
  if (!from_value) {
    if (from_text.error().kind != from_value.error().kind ||
        from_value.error() != from_canonical.error()) {
      fail("one pattern refused differently", pattern_text.view());
    }
    return 0;
  }
  auto value = read_whole(default_options, value_text.view());
  if (!value) return 0;
  const std::string expected = bindings(*from_text, match(*from_text, *value));
  if (bindings(*from_value, match(*from_value, *value)) != expected ||
      bindings(*from_canonical, match(*from_canonical, *value)) != expected) {
    fail("one pattern matched differently", pattern_text.view(), value_text.view());
  }
  // A pattern matched against its own text's value: exercises literals against themselves.
  (void)match(*from_text, *pattern_value);
  return 0;
}
