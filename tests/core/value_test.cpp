// The value model: the three atom states, ownership by move, and destruction of trees far deeper
// than any call stack could recurse over, run on a thread with a deliberately small stack.
#include "tarnel/value.h"

#include <cstring>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <utility>

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
  parent = std::move(parent.elements()[0]);
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

}  // namespace
}  // namespace tarnel
