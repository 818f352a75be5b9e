// find and find_all against a reference built another way: the document-order stream of brackets
// and atoms that write_tree hands a writer, in which a list is a match exactly where the event
// after its '(' is an unhinted atom holding the name. Each match is compared by its canonical
// form, so the reference shares no walk with the code under test.
#include "tarnel/find.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/canonical.h"
#include "tarnel/reader.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

std::span<const std::uint8_t> octets_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Value read(std::string_view text) {
  auto value = read_whole(default_options, octets_of(text));
  EXPECT_TRUE(value.ok()) << text;
  return std::move(*value);
}

std::string canonical(const Value& v) { return std::string(encode_canonical(v).text()); }

// The canonical forms of the matching lists, in document order, from write_tree's events.
class Reference {
 public:
  explicit Reference(std::string_view name) : name_(name) {}

  void open_list() {
    for (Open& o : open_) o.text += '(';
    if (!open_.empty()) open_.back().awaiting_head = false;  // its head is this list
    open_.push_back({"(", true});
  }

  void atom(std::span<const std::uint8_t> data, const Octets* hint) {
    Buffer piece;
    CanonicalWriter(piece).atom(data, hint);
    if (!open_.empty() && open_.back().awaiting_head) {
      open_.back().awaiting_head = false;
      const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
      open_.back().matches = hint == nullptr && text == name_;
    }
    for (Open& o : open_) o.text += piece.text();
  }

  void close_list() {
    for (Open& o : open_) o.text += ')';
    Open done = std::move(open_.back());
    open_.pop_back();
    if (done.matches) found_.push_back({done.order, done.text});
  }

  // In document order: the order the lists opened in, not the order they closed.
  std::vector<std::string> found() {
    std::sort(found_.begin(), found_.end());
    std::vector<std::string> texts;
    for (auto& [order, text] : found_) texts.push_back(text);
    return texts;
  }

 private:
  struct Open {
    std::string text;
    bool awaiting_head;
    bool matches = false;
    std::size_t order = 0;
  };

  std::string_view name_;
  std::vector<Open> open_;
  std::vector<std::pair<std::size_t, std::string>> found_;

 public:
  // Numbers each list as it opens.
  struct Numbering {
    Reference& ref;
    std::size_t next = 0;

    void open_list() {
      ref.open_list();
      ref.open_.back().order = next++;
    }

    void atom(std::span<const std::uint8_t> d, const Octets* h) { ref.atom(d, h); }

    void close_list() { ref.close_list(); }
  };
};

std::vector<std::string> reference_find_all(const Value& v, std::string_view name) {
  Reference ref(name);
  Reference::Numbering numbering{ref};
  write_tree(v, numbering);
  return ref.found();
}

std::vector<std::string> texts(const std::vector<const Value*>& found) {
  std::vector<std::string> out;
  for (const Value* v : found) out.push_back(canonical(*v));
  return out;
}

TEST(Find, FirstListInDocumentOrderTheValueItselfIncluded) {
  const Value v = read("(a (b 1:x) (c (b 1:y)) (b z))");
  ASSERT_NE(find(v, "b"), nullptr);
  EXPECT_EQ(canonical(*find(v, "b")), "(1:b1:x)");
  EXPECT_EQ(texts(find_all(v, "b")),
            (std::vector<std::string>{"(1:b1:x)", "(1:b1:y)", "(1:b1:z)"}));
  EXPECT_EQ(find(v, "a"), &v);
  EXPECT_EQ(find(v, "x"), nullptr);  // an atom, but not at the head of a list
  EXPECT_TRUE(find_all(v, "q").empty());
  // A list inside a found one is found too, after it.
  const Value nested = read("(k (k 1:a) (j (k)))");
  EXPECT_EQ(texts(find_all(nested, "k")),
            (std::vector<std::string>{"(1:k(1:k1:a)(1:j(1:k)))", "(1:k1:a)", "(1:k)"}));
}

TEST(Find, OnlyAnUnhintedAtomOfExactlyTheNameMakesAHead) {
  const Value v = read("(r ([t]b x1) ((b) x2) () (bb x3) (\"\" x4) ([\"\"]b x5) (b))");
  EXPECT_EQ(texts(find_all(v, "b")), (std::vector<std::string>{"(1:b)", "(1:b)"}));
  EXPECT_EQ(texts(find_all(v, "")), std::vector<std::string>{"(0:2:x4)"});
  EXPECT_EQ(find(read("b"), "b"), nullptr);  // an atom is not a list
  // Names are octets: NUL and high octets compare like any other.
  const Value binary = read("(#00ff# (#00ff# x))");
  const std::uint8_t name[] = {0x00, 0xff};
  EXPECT_EQ(find_all(binary, std::span(name)).size(), 2u);
}

// Seeded random trees over a tiny alphabet, so that heads repeat and hints collide with names.
Value random_value(std::mt19937_64& rng, std::size_t nodes) {
  const char* words[] = {"a", "b", "ab", ""};
  std::vector<Value> stack;
  std::vector<std::size_t> opens;
  for (std::size_t i = 0; i < nodes; ++i) {
    switch (rng() % 5) {
      case 0:
        opens.push_back(stack.size());
        break;
      case 1:
        if (!opens.empty()) {
          std::size_t first = opens.back();
          opens.pop_back();
          Value::List items;
          for (std::size_t k = first; k < stack.size(); ++k) items.push_back(std::move(stack[k]));
          stack.resize(first);
          stack.push_back(Value::list(std::move(items)));
        }
        break;
      case 2:
        stack.push_back(Value::atom(Octets(std::string_view(words[rng() % 4])),
                                    Octets(std::string_view(words[rng() % 4]))));
        break;
      default:
        stack.push_back(Value::atom(Octets(std::string_view(words[rng() % 4]))));
    }
  }
  while (!opens.empty() || stack.size() != 1) {
    std::size_t first = opens.empty() ? 0 : opens.back();
    if (!opens.empty()) opens.pop_back();
    Value::List items;
    for (std::size_t k = first; k < stack.size(); ++k) items.push_back(std::move(stack[k]));
    stack.resize(first);
    stack.push_back(Value::list(std::move(items)));
  }
  return std::move(stack.back());
}

TEST(Find, AgreesWithTheWriterEventsOnRandomTrees) {
  for (std::uint64_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937_64 rng(seed);
    const Value v = random_value(rng, 1 + rng() % 60);
    for (std::string_view name : {"a", "b", "ab", ""}) {
      const std::vector<std::string> expected = reference_find_all(v, name);
      const std::vector<std::string> got = texts(find_all(v, name));
      ASSERT_EQ(got, expected) << "seed " << seed << ", name '" << name << "', value "
                               << canonical(v);
      const Value* first = find(v, name);
      ASSERT_EQ(first == nullptr, expected.empty()) << "seed " << seed;
      if (first != nullptr) {
        ASSERT_EQ(canonical(*first), expected.front()) << "seed " << seed;
      }
    }
  }
}

TEST(Find, DeepValuesWithAFixedCallStack) {
  Value deep = testing_trees::chain(200000, true);  // (a (a (a ... ())))
  EXPECT_EQ(find(deep, "a"), &deep);
  EXPECT_EQ(find_all(deep, "a").size(), 199999u);
  EXPECT_EQ(find(deep, "b"), nullptr);
  const Value comb = testing_trees::comb(100000);  // ((... [h]x (y)) [h]x (y))
  EXPECT_EQ(find_all(comb, "y").size(), 100000u);
  EXPECT_EQ(find(comb, "x"), nullptr);  // every x carries a hint
}

}  // namespace
}  // namespace tarnel
