#include "tarnel/find.h"

#include "tarnel/query_tree.h"

namespace tarnel {
namespace {

std::span<const std::uint8_t> octets_of(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

const Value* find(const Value& value, std::span<const std::uint8_t> name) {
  query::ValueTree tree;
  const Value* found = nullptr;
  query::find_each(tree, &value, name, [&found](const Value* list) {
    found = list;
    return false;
  });
  return found;
}

const Value* find(const Value& value, std::string_view name) {
  return find(value, octets_of(name));
}

std::vector<const Value*> find_all(const Value& value, std::span<const std::uint8_t> name) {
  query::ValueTree tree;
  std::vector<const Value*> found;
  query::find_each(tree, &value, name, [&found](const Value* list) {
    found.push_back(list);
    return true;
  });
  return found;
}

std::vector<const Value*> find_all(const Value& value, std::string_view name) {
  return find_all(value, octets_of(name));
}

}  // namespace tarnel
