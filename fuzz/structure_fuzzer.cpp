// Structure-aware: the fuzz octets are a little program that builds a tree (open a list, close
// one, add an atom with or without a hint, of random octets or of octets the advanced writer has
// to quote, escape or write in hexadecimal), with a heap stack, so trees tens of thousands of
// lists deep come out as easily as wide ones. Beside the tree, the program builds the tree's
// canonical form by hand; the canonical writer must produce exactly that, and the canonical,
// transport and advanced forms must each read back to it. A clone must equal the tree, compare
// equal to what the advanced form reads back as, and keep every octet once the tree is gone.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;
using tarnel::fuzz::fail;

// Octets that decide the advanced writer's choice of form: token characters, digits (not a
// token's first), the escapable controls, quotes and backslashes, brackets, and others.
constexpr char awkward[] = "az:=-_./*+09 \"\\'\a\b\t\n\v\f\r#|()[]{};\x00\x01\x1f\x7f\x80\xff";

class Program {
 public:
  explicit Program(std::span<const std::uint8_t> code) : code_(code) {}

  bool done() const { return pos_ >= code_.size(); }

  std::uint8_t next() { return done() ? 0 : code_[pos_++]; }

  std::string octets(std::size_t n, bool from_awkward) {
    std::string s;
    for (std::size_t i = 0; i < n && !done(); ++i) {
      const std::uint8_t c = next();
      s.push_back(from_awkward ? awkward[c % (sizeof awkward - 1)] : static_cast<char>(c));
    }
    return s;
  }

 private:
  std::span<const std::uint8_t> code_;
  std::size_t pos_ = 0;
};

struct Frame {
  Value::List items;
  std::string canonical;
};

std::string canonical_octets(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

Octets to_octets(const std::string& s) { return Octets(std::string_view(s)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > fuzz::max_input) return -1;
  Program program(std::span(data, size));

  // Frame 0 gathers the top-level values; the tree is its only value, or a list of them all.
  std::vector<Frame> stack(1);
  while (!program.done()) {
    const std::uint8_t op = program.next();
    const bool awkward_octets = (op & 0x10) != 0;
    std::size_t length = program.next();
    if ((op & 0x08) != 0) length = length * 256 + program.next();  // atoms longer than 255
    switch (op & 7) {
      case 0:
      case 1: {
        const std::string d = program.octets(length, awkward_octets);
        stack.back().items.push_back(Value::atom(to_octets(d)));
        stack.back().canonical += canonical_octets(d);
        break;
      }
      case 2:
      case 5: {
        const std::string h =
            (op & 7) == 5 ? std::string() : program.octets(length, awkward_octets);
        const std::string d = program.octets(program.next(), awkward_octets);
        stack.back().items.push_back(Value::atom(to_octets(d), to_octets(h)));
        stack.back().canonical += "[" + canonical_octets(h) + "]" + canonical_octets(d);
        break;
      }
      case 3:
      case 7:
        stack.emplace_back();
        break;
      default:
        if (stack.size() > 1) {
          Frame frame = std::move(stack.back());
          stack.pop_back();
          stack.back().items.push_back(Value::list(std::move(frame.items)));
          stack.back().canonical += "(" + frame.canonical + ")";
        }
        break;
    }
  }
  while (stack.size() > 1) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    stack.back().items.push_back(Value::list(std::move(frame.items)));
    stack.back().canonical += "(" + frame.canonical + ")";
  }
  Frame& top = stack.back();
  Value tree;
  std::string expected;
  if (top.items.size() == 1) {
    tree = std::move(top.items.front());
    expected = std::move(top.canonical);
  } else {
    tree = Value::list(std::move(top.items));
    expected = "(" + top.canonical + ")";
  }
  const std::span<const std::uint8_t> model(reinterpret_cast<const std::uint8_t*>(expected.data()),
                                            expected.size());

  const Buffer canonical = encode_canonical(tree);
  if (!fuzz::same_octets(canonical.view(), model)) {
    fail("canonical writer differs from the hand-built form", model, canonical.view());
  }
  check(canonical_size(tree) == canonical.size(), "canonical_size disagrees with the writer");

  ReaderOptions canonical_only = fuzz::read_back_options();
  canonical_only.allow_advanced = false;
  canonical_only.allow_transport = false;
  fuzz::expect_reads_back(canonical_only, canonical.view(), model,
                          "canonical form does not read back");
  const Buffer transport = encode_transport(tree);
  fuzz::expect_reads_back(fuzz::read_back_options(), transport.view(), model,
                          "transport form does not read back");
  const Buffer advanced = encode_advanced(tree);
  for (std::uint8_t c : advanced.view()) {
    check(c >= 0x20 && c < 0x7F, "advanced form is not one line of printable ASCII");
  }
  fuzz::expect_reads_back(fuzz::read_back_options(), advanced.view(), model,
                          "advanced form does not read back");

  Value copy = tree.clone();
  check(copy == tree, "a clone differs from its tree");
  Result<Value, ReadError> back = read_whole(fuzz::read_back_options(), advanced.view());
  check(back && *back == copy && copy == *back, "the advanced form reads back unequal");
  tree = Value();
  const Buffer copied = encode_canonical(copy);
  if (!fuzz::same_octets(copied.view(), model)) {
    fail("a clone lost octets with its tree", model, copied.view());
  }
  return 0;
}
