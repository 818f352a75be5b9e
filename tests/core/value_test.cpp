// The value model: the three atom states, ownership by move, accessors that answer safely on
// either kind, deep copies and equality (held to the canonical octets: two values are equal
// exactly when their canonical forms are), brace-list building (held to the reader), and
// destruction, copying and comparison of trees far deeper than any call stack could recurse
// over, run on a thread with a deliberately small stack.
#include "tarnel/value.h"

#include <cstring>
#include <gtest/gtest.h>
#include <pthread.h>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tarnel/canonical.h"
#include "tarnel/reader.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

TEST(Octets, ShortAndLongStringsKeepTheirOctets) {
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 1);
    Octets o{std::string_view(s)};
    ASSERT_EQ(o.size(), n);
    EXPECT_EQ(o.text(), s);
    Octets moved(std::move(o));
    EXPECT_EQ(moved.text(), s);
    EXPECT_EQ(o.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
  }
}

TEST(Octets, TakesBufferStorageTrimmedToItsLength) {
  for (std::size_t n : {0u, 3u, 16u, 17u, 4096u}) {
    Buffer b;
    b.reserve(n * 2 + 1);
    for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(i));
    Octets o(std::move(b));
    ASSERT_EQ(o.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(o.data()[i], static_cast<std::uint8_t>(i));
    EXPECT_TRUE(b.empty());
  }
}

TEST(Value, AbsentEmptyAndPresentHintsAreDistinct) {
  Value no_hint = Value::atom(Octets{});
  Value empty_hint = Value::atom(Octets{}, Octets{});
  Value hint = Value::atom(Octets{std::string_view("x")}, Octets{});
  EXPECT_EQ(no_hint.hint(), nullptr);
  ASSERT_NE(empty_hint.hint(), nullptr);
  EXPECT_TRUE(empty_hint.hint()->empty());
  ASSERT_NE(hint.hint(), nullptr);
  EXPECT_EQ(hint.data().text(), "x");
}

TEST(Value, MoveTransfersTheSubtree) {
  Value::List items;
  items.push_back(Value::atom(Octets{std::string_view("abc")}));
  items.push_back(Value::atom(Octets{std::string_view("hello")}, Octets{std::string_view("t")}));
  Value list = Value::list(std::move(items));
  Value moved = std::move(list);
  ASSERT_TRUE(moved.is_list());
  ASSERT_EQ(moved.elements().size(), 2u);
  EXPECT_EQ(moved.elements()[1].hint()->text(), "t");
  Value target = Value::atom(Octets{std::string_view("old")}, Octets{std::string_view("h")});
  target = std::move(moved);
  EXPECT_EQ(target.elements()[0].data().text(), "abc");
}

TEST(Value, AssigningAnElementOverItsOwnParentKeepsTheElement) {
  Value::List items;
  items.push_back(Value::atom(Octets{std::string_view("kept")}));
  Value parent = Value::list(std::move(items));
  parent = std::move(parent.mutable_elements()->front());
  ASSERT_TRUE(parent.is_atom());
  EXPECT_EQ(parent.data().text(), "kept");
}

// Runs `body` on a thread whose stack is `stack_bytes`, so that recursion over depth overflows.
template <class F>
void run_with_small_stack(std::size_t stack_bytes, F body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<F*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, &body), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

TEST(Value, DestroysAMillionDeepChainOnA64KibStack) {
  Value deep = testing_trees::chain(1'000'000, /*with_atoms=*/false);
  run_with_small_stack(64 * 1024, [&deep] { Value local = std::move(deep); });
  EXPECT_TRUE(deep.is_list());
}

TEST(Value, DestroysDeepBushyTreesOnA64KibStack) {
  // Every level holds atoms and more than one list, so parked vectors and their links interleave.
  Value bushy = testing_trees::comb(200'000);
  run_with_small_stack(64 * 1024, [&bushy] { Value local = std::move(bushy); });
  SUCCEED();
}

std::string canonical(const Value& v) { return std::string(encode_canonical(v).text()); }

// Every value of a tree in document order, found with a heap stack; mutable, so that a test can
// change any one of them.
std::vector<Value*> preorder(Value& root) {
  std::vector<Value*> out;
  std::vector<Value*> todo{&root};
  while (!todo.empty()) {
    Value* v = todo.back();
    todo.pop_back();
    out.push_back(v);
    if (Value::List* elements = v->mutable_elements()) {
      for (auto it = elements->rbegin(); it != elements->rend(); ++it) todo.push_back(&*it);
    }
  }
  return out;
}

TEST(Value, EveryAccessorAnswersSafelyOnEitherKind) {
  // A walker that asks every value for everything, as generic code does, and adds up what it is
  // told. On a list a hint or data octets read from the wrong union member would be wild memory
  // (AddressSanitizer reports it), and an atom's elements would be garbage.
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    std::mt19937_64 rng(seed);
    Value tree = testing_trees::random_tree(rng, 300);
    std::uint64_t octets_seen = 0;
    for (Value* v : preorder(tree)) {
      const Value& c = *v;
      if (const Octets* hint = c.hint()) {
        for (std::uint8_t o : hint->view()) octets_seen += o;
      }
      for (std::uint8_t o : c.data().view()) octets_seen += o;
      if (c.is_list()) {
        ASSERT_EQ(c.hint(), nullptr) << "seed " << seed;
        ASSERT_TRUE(c.data().empty()) << "seed " << seed;
        ASSERT_EQ(c.data().text(), "") << "seed " << seed;
      } else {
        ASSERT_TRUE(c.elements().empty()) << "seed " << seed;
        ASSERT_EQ(v->mutable_elements(), nullptr) << "seed " << seed;
      }
    }
    // The octets told are those the canonical form holds: data and hints, nothing of the lists.
    std::uint64_t expected = 0;
    for (Value* v : preorder(tree)) {
      if (v->is_atom()) {
        for (std::uint8_t o : v->data().view()) expected += o;
        if (v->hint() != nullptr) {
          for (std::uint8_t o : v->hint()->view()) expected += o;
        }
      }
    }
    EXPECT_EQ(octets_seen, expected) << "seed " << seed;
  }
  // A moved-from list and a non-const atom, through the accessors a range-for picks.
  Value list = Value::list({Value::atom("a")});
  Value taken = std::move(list);
  EXPECT_EQ(list.hint(), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(list.data().empty());
  Value atom = Value::atom("abc", "h");
  std::size_t count = 0;
  for (const Value& element : atom.elements()) count += element.is_atom() ? 1 : 2;
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(atom.hint()->text(), "h");
}

TEST(Value, CloneIsAnEqualCopyThatSharesNothing) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    Value original = testing_trees::random_tree(rng, 300);
    const std::string before = canonical(original);
    Value copy = original.clone();
    ASSERT_TRUE(copy == original) << "seed " << seed;
    const std::vector<Value*> a = preorder(original);
    const std::vector<Value*> b = preorder(copy);
    ASSERT_EQ(a.size(), b.size()) << "seed " << seed;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i]->is_list()) {
        ASSERT_EQ(b[i]->elements().capacity(), b[i]->elements().size()) << "seed " << seed;
        if (!a[i]->elements().empty()) {
          ASSERT_NE(a[i]->elements().data(), b[i]->elements().data());
        }
      } else {
        ASSERT_NE(a[i]->data().data(), b[i]->data().data()) << "seed " << seed;
        ASSERT_EQ(a[i]->hint() == nullptr, b[i]->hint() == nullptr) << "seed " << seed;
        if (a[i]->hint() != nullptr) {
          ASSERT_NE(a[i]->hint(), b[i]->hint()) << "seed " << seed;
        }
      }
    }
    // The copy outlives the original intact (a shared block would be freed under it).
    { Value gone = std::move(original); }
    ASSERT_EQ(canonical(copy), before) << "seed " << seed;
  }
}

// Atoms that differ only in what an equality might overlook: hint present or absent, empty or
// not, octets in the data or in the hint.
Value tricky_atom(char which) {
  switch (which) {
    case 'a':
      return Value::atom("a");
    case 'e':
      return Value::atom("");
    case 'h':
      return Value::atom("a", "");
    case 'g':
      return Value::atom("a", "a");
    default:
      return Value::atom("", "a");
  }
}

// Every value with at most `max_nodes` nodes over the tricky atoms, each built afresh, so that
// equal values never share storage.
std::vector<Value> all_small_values(std::size_t max_nodes) {
  struct Partial {
    std::string shape;
    std::size_t open;
    std::size_t nodes;
  };

  std::vector<Value> values;
  std::vector<Partial> work{{"", 0, 0}};
  while (!work.empty()) {
    Partial p = std::move(work.back());
    work.pop_back();
    if (!p.shape.empty() && p.open == 0) {
      values.push_back(testing_trees::from_shape(p.shape, tricky_atom));
      continue;
    }
    if (p.open != 0) work.push_back({p.shape + ')', p.open - 1, p.nodes});
    if (p.nodes == max_nodes) continue;
    work.push_back({p.shape + '(', p.open + 1, p.nodes + 1});
    for (char c : std::string_view("aehgf")) work.push_back({p.shape + c, p.open, p.nodes + 1});
  }
  return values;
}

TEST(Value, EqualityIsEqualityOfCanonicalOctetsOverEverySmallTree) {
  std::vector<Value> left = all_small_values(4);
  std::vector<Value> right = all_small_values(4);
  ASSERT_EQ(left.size(), 6u + 6u + 42u + 330u);
  std::vector<std::string> forms;
  for (const Value& v : left) forms.push_back(canonical(v));
  for (std::size_t i = 0; i < left.size(); ++i) {
    for (std::size_t j = 0; j < right.size(); ++j) {
      ASSERT_EQ(left[i] == right[j], forms[i] == forms[j]) << forms[i] << " vs " << forms[j];
      ASSERT_EQ(left[i] != right[j], forms[i] != forms[j]) << forms[i] << " vs " << forms[j];
    }
  }
}

TEST(Value, EqualityIsEqualityOfCanonicalOctetsAfterOneRandomChange) {
  for (std::uint64_t seed = 1; seed <= 1000; ++seed) {
    std::mt19937_64 rng(seed);
    Value original = testing_trees::random_tree(rng, 100);
    Value changed = original.clone();
    std::vector<Value*> nodes = preorder(changed);
    Value& node = *nodes[rng() % nodes.size()];
    if (Value::List* elements = node.mutable_elements(); elements != nullptr && rng() % 2 == 0) {
      if (elements->empty() || rng() % 2 == 0) {
        elements->push_back(tricky_atom("aehgf"[rng() % 5]));
      } else {
        elements->pop_back();
      }
    } else {
      // Often the same as before: equality must then hold.
      node = tricky_atom("aehgf"[rng() % 5]);
    }
    const bool same = canonical(original) == canonical(changed);
    ASSERT_EQ(original == changed, same) << "seed " << seed;
    ASSERT_EQ(changed == original, same) << "seed " << seed;
  }
}

TEST(Value, BraceListsBuildWhatTheTextSays) {
  const std::uint8_t q[] = {0x00, 0x01, 0xFE, 0xFF};
  Value part = Value::list({Value::atom("curve"), Value::atom("Ed25519")});
  Value built = Value::list({
      Value::atom("public-key"),
      Value::list({Value::atom("ecc"), part.clone(), part.clone(),
                   Value::list({Value::atom("q"), Value::atom(Octets(std::span(q)))})}),
      Value::atom("Alice", "text/plain"),
      Value::atom("", ""),
      Value::list({}),
      Value::list({Value::list({Value::atom("x")})}),
  });
  Result<Value, ReadError> read = read_whole(
      default_options,
      "(public-key (ecc (curve Ed25519) (curve Ed25519) (q #0001FEFF#)) [text/plain]Alice "
      "[\"\"]\"\" () ((x)))");
  ASSERT_TRUE(read);
  EXPECT_TRUE(built == *read);
  EXPECT_EQ(canonical(built), canonical(*read));
  // The parts the brace lists copied are still whole.
  EXPECT_EQ(canonical(part), "(5:curve7:Ed25519)");
}

TEST(Value, ClonesAndComparesAMillionDeepChainOnA64KibStack) {
  constexpr std::size_t depth = 1'000'000;
  Value deep = testing_trees::chain(depth, /*with_atoms=*/true);
  Value shallower = testing_trees::chain(depth - 1, /*with_atoms=*/true);
  bool equal_copy = false;
  bool equal_shallower = true;
  bool equal_changed = true;
  run_with_small_stack(64 * 1024, [&] {
    Value copy = deep.clone();
    equal_copy = copy == deep;
    equal_shallower = copy == shallower || shallower == copy;
    // The only difference is at the very bottom.
    Value* innermost = &copy;
    while (!innermost->elements().empty()) innermost = &innermost->mutable_elements()->back();
    innermost->mutable_elements()->push_back(Value::atom("b"));
    equal_changed = copy == deep;
  });  // the copy is destroyed on the small stack too
  EXPECT_TRUE(equal_copy);
  EXPECT_FALSE(equal_shallower);
  EXPECT_FALSE(equal_changed);
}

}  // namespace
}  // namespace tarnel
