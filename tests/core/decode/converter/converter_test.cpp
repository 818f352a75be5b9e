// The converter against read_prefix followed by each writer, which it must match octet for octet
// and refusal for refusal (kind and offset), into a buffer and into sinks taking small pieces:
// over every short input on an alphabet of pieces, over seeded random trees written in a random
// mix of every written form, cut short and mutated, under random restrictions and limits, and
// over lists far deeper than the default limit. Then sinks that refuse a piece.
#include "tarnel/converter.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "decode/reader/read_helpers.h"
#include "tarnel/advanced.h"
#include "tarnel/base64.h"
#include "tarnel/canonical.h"
#include "tarnel/octet_string.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

using read_testing::error_text;
using read_testing::octets_of;
using read_testing::with_max_depth;
using read_testing::without;
using O = ReaderOptions;

constexpr OutputForm forms[] = {OutputForm::Canonical, OutputForm::Transport, OutputForm::Advanced};

Buffer written(const Value& v, OutputForm form) {
  if (form == OutputForm::Canonical) return encode_canonical(v);
  return form == OutputForm::Transport ? encode_transport(v) : encode_advanced(v);
}

// Keeps what it is given; refuses the piece after the first `accept`.
class Collector : public OutputSink {
 public:
  explicit Collector(std::size_t accept = SIZE_MAX) : accept_(accept) {}

  bool write(std::span<const std::uint8_t> piece) override {
    if (calls++ == accept_) return false;
    text.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    smallest = std::min(smallest, piece.size());
    largest = std::max(largest, piece.size());
    return true;
  }

  std::string text;
  std::size_t calls = 0;
  std::size_t smallest = SIZE_MAX;
  std::size_t largest = 0;

 private:
  std::size_t accept_;
};

// How the converter differs from read_prefix and the writers on `input`, or "" where it does not.
std::string conversion_fault(const O& options, std::string_view input) {
  Result<Prefix, ReadError> read = read_prefix(options, octets_of(input));
  for (OutputForm form : forms) {
    const std::string want =
        read ? std::to_string(read->consumed) + " " + std::string(written(read->value, form).text())
             : error_text(read.error());
    const std::string where = " (form " + std::to_string(static_cast<int>(form)) + ")";
    Buffer out;
    out.append(std::string_view("junk"));
    Result<std::uint64_t, ReadError> got = convert_prefix(options, octets_of(input), form, out);
    if (out.text().substr(0, 4) != "junk") return "the buffer lost its earlier octets" + where;
    const std::string got_text =
        got ? std::to_string(*got) + " " + std::string(out.text().substr(4))
            : error_text(got.error());
    if (got_text != want) return "buffer: " + got_text + " instead of " + want + where;
    if (!got && out.size() != 4) return "output left in the buffer after a refusal" + where;

    for (std::size_t piece_size : {std::size_t{1}, std::size_t{7}, default_piece_size}) {
      Collector sink;
      Built built = convert_prefix(options, octets_of(input), form, sink, piece_size);
      if (!built && built.error().by_builder) return "a sink that takes all was refused" + where;
      // After a refusal the sink may hold part of the output: only the refusal is compared.
      const std::string sunk =
          built ? std::to_string(*built) + " " + sink.text : error_text(built.error().refusal);
      if (sunk != want) return "sink: " + sunk + " instead of " + want + where;
      if (sink.calls != 0 && (sink.smallest == 0 || sink.largest > piece_size)) {
        return "a piece outside 1.." + std::to_string(piece_size) + where;
      }
    }
  }
  return "";
}

// `tree` in a random mix of the written forms: each octet string verbatim, as a token where it
// is one, quoted (with escapes and line continuations), hexadecimal or base-64, the last three
// with or without their length; whitespace at random between elements.
std::string mixed_text(const Value& tree, std::mt19937_64& rng) {
  auto hex = [](unsigned char c) {
    return std::string{"0123456789abcdef"[c >> 4], "0123456789ABCDEF"[c & 15]};
  };
  std::string out;
  auto put = [&](const Octets& o) {
    const std::string_view s = o.text();
    const std::string length = rng() % 2 ? std::to_string(s.size()) : "";
    const bool token = !s.empty() && is_token_start(s[0]) &&
                       std::all_of(s.begin(), s.end(), [](char c) { return is_token_char(c); });
    const std::uint64_t form = rng() % 5;
    if (form == 0 && token) {
      out += std::string(s) + " ";  // the space keeps it apart from what follows
    } else if (form <= 1) {
      out += std::to_string(s.size()) + ":" + std::string(s);
    } else if (form == 2) {
      out += length + "\"";
      for (unsigned char c : s) {
        if (rng() % 16 == 0) out += "\\\n";
        const bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        out += plain ? std::string(1, static_cast<char>(c)) : "\\x" + hex(c);
      }
      out += "\"";
    } else if (form == 3) {
      out += length + "#";
      for (unsigned char c : s) out += hex(c);
      out += "#";
    } else {
      Buffer b64;
      base64_encode(octets_of(s), b64);
      out += length + "|" + std::string(b64.text()) + "|";
    }
  };
  std::vector<std::pair<const Value*, std::size_t>> open;
  for (const Value* next = &tree;;) {
    if (const std::uint64_t r = rng() % 8; r < 4) out += " \t\r\n"[r];
    if (next == nullptr) {
      out += ")";
      open.pop_back();
    } else if (next->is_list()) {
      out += "(";
      open.emplace_back(next, 0);
    } else {
      if (next->hint() != nullptr) {
        out += "[";
        put(*next->hint());
        out += "]";
      }
      put(next->data());
    }
    if (open.empty()) return out;
    auto& [list, index] = open.back();
    next = index < list->elements().size() ? &list->elements()[index++] : nullptr;
  }
}

// Restrictions at random, limits around what `input` holds.
O random_options(std::mt19937_64& rng, std::size_t input_size) {
  O o;
  for (bool O::*flag :
       {&O::allow_advanced, &O::allow_transport, &O::allow_display_hints, &O::allow_empty_atoms,
        &O::allow_empty_lists, &O::allow_list_as_first_element, &O::allow_hexadecimal,
        &O::allow_base64, &O::allow_lengths}) {
    o.*flag = rng() % 4 != 0;
  }
  o.allow_raw_octets = rng() % 2 == 0;
  if (rng() % 2 == 0) o.max_depth = rng() % 8;
  if (rng() % 2 == 0) o.max_atom_len = rng() % 24;
  if (rng() % 2 == 0) o.max_input_len = input_size + rng() % 3 - 1;
  return o;
}

TEST(Converter, MatchesTheReaderOnEveryShortInput) {
  const std::string_view pieces[] = {"(", ")", "1:a", "b", "[#00#]", " ", "|AA|", "{KDE6YSk=}"};
  const O option_sets[] = {default_options, canonical_options, with_max_depth(1),
                           without({&O::allow_empty_lists, &O::allow_list_as_first_element})};
  std::vector<std::string> inputs = {""};
  for (std::size_t begin = 0, end = 1, len = 1; len <= 4; ++len, begin = end, end = inputs.size()) {
    for (std::size_t i = begin; i < end; ++i) {
      for (std::string_view p : pieces) inputs.push_back(inputs[i] + std::string(p));
    }
  }
  for (const std::string& input : inputs) {
    for (const O& options : option_sets) ASSERT_EQ(conversion_fault(options, input), "") << input;
  }
}

TEST(Converter, MatchesTheReaderOnRandomTreesInEveryFormCutAndMutated) {
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    std::mt19937_64 rng(seed);
    const Value tree = testing_trees::random_tree(rng, 80);
    std::vector<std::string> texts = {mixed_text(tree, rng), mixed_text(tree, rng)};
    for (OutputForm form : forms) texts.emplace_back(written(tree, form).text());
    for (const std::string& text : texts) {
      ASSERT_TRUE(read_prefix(default_options, octets_of(text)).ok()) << text;
      ASSERT_EQ(conversion_fault(default_options, text + " (x)"), "") << "seed " << seed;
      ASSERT_EQ(conversion_fault(random_options(rng, text.size()), text), "") << "seed " << seed;
      std::string changed = text.substr(0, rng() % (text.size() + 1));
      ASSERT_EQ(conversion_fault(default_options, changed), "") << "seed " << seed;
      changed = text;
      for (int i = 0; i < 3; ++i) changed[rng() % text.size()] = "()[]{}|#\" 0:a\xf2"[rng() % 14];
      ASSERT_EQ(conversion_fault(random_options(rng, text.size()), changed), "") << "seed " << seed;
    }
  }
}

TEST(Converter, MatchesTheReaderOnHugeAtomsTransportFaultsAndDeepLists) {
  const std::string big(200'000, '\x07');
  Buffer b64;
  base64_encode(octets_of(big), b64);
  for (const std::string& input :
       {std::to_string(big.size()) + ":" + big, "(|" + std::string(b64.text()) + "|)",
        std::string(encode_transport(Value::atom(Octets(octets_of(big)))).text()),
        std::string("{KDE6YSkg}"), std::string("  {KD-6}"), std::string("{e0tERTZZU2s9fQ==}"),
        std::string("{KDE6YQ==}"), std::string("{YWJj} "), std::string("{KDE6YSk=}(")}) {
    EXPECT_EQ(conversion_fault(default_options, input), "") << input.substr(0, 40);
    EXPECT_EQ(conversion_fault(canonical_options, input), "") << input.substr(0, 40);
  }
  const std::string deep = std::string(100'000, '(') + std::string(100'000, ')');
  EXPECT_EQ(conversion_fault(with_max_depth(no_limit), deep), "");
  EXPECT_EQ(conversion_fault(with_max_depth(99'999), deep), "");  // refused at the last '('
  for (const Value& tree : {testing_trees::chain(5000, true), testing_trees::comb(3000)}) {
    for (OutputForm form : forms) {
      const std::string text(written(tree, form).text());
      EXPECT_EQ(conversion_fault(with_max_depth(5000), text), "");
      EXPECT_EQ(conversion_fault(with_max_depth(2999), text), "");
    }
  }
}

TEST(ConverterSink, ARefusedPieceStopsTheConversionAtOnce) {
  std::mt19937_64 rng(7);
  const Value tree = testing_trees::random_tree(rng, 200);
  const std::string input = mixed_text(tree, rng);
  for (OutputForm form : forms) {
    Collector all;
    Built whole = convert_prefix(default_options, octets_of(input), form, all, 16);
    ASSERT_TRUE(whole);
    ASSERT_EQ(all.text, written(tree, form).text());
    ASSERT_GT(all.calls, 3u);
    // Refusing the last piece refuses the final flush too.
    for (std::size_t accept = 0; accept < all.calls; ++accept) {
      Collector sink(accept);
      Built stopped = convert_prefix(default_options, octets_of(input), form, sink, 16);
      ASSERT_FALSE(stopped);
      EXPECT_TRUE(stopped.error().by_builder);
      EXPECT_EQ(sink.calls, accept + 1) << "written to after refusing";
      EXPECT_EQ(all.text.substr(0, sink.text.size()), sink.text);
    }
  }
}

}  // namespace
}  // namespace tarnel
