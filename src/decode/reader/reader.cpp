#include "tarnel/reader.h"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "decode/reader/build.h"
#include "decode/reader/read_one.h"

namespace tarnel {
namespace {

// Builds `Value`s. A list's elements are moved into a vector of exactly their number when its
// ')' arrives, so no list's storage is grown element by element.
class ValueBuilder {
 public:
  using View = std::span<const std::uint8_t>;

  std::size_t size() const noexcept { return elements_.size(); }

  bool is_list(std::size_t i) const noexcept { return elements_[i].is_list(); }

  bool atom(View data) {
    elements_.push_back(Value::atom(copy_of(data)));
    return true;
  }

  bool hinted_atom(View data, View hint) {
    elements_.push_back(Value::atom(copy_of(data), copy_of(hint)));
    return true;
  }

  bool list(std::size_t first) {
    auto begin = elements_.begin() + static_cast<std::ptrdiff_t>(first);
    Value::List items(std::make_move_iterator(begin), std::make_move_iterator(elements_.end()));
    elements_.erase(begin, elements_.end());
    elements_.push_back(Value::list(std::move(items)));
    return true;
  }

  Value take() noexcept { return std::move(elements_.back()); }

 private:
  // The octets copied through the C library's copy, whose length the compiler does not know:
  // short atoms of every length copy so with fewer mispredicted branches than the inline copy
  // the compiler makes where it knows the length is at most Octets' inline capacity.
  static Octets copy_of(View data) {
    Octets octets = Octets::uninitialized(data.size());
    if (!data.empty()) std::memcpy(octets.mutable_data(), data.data(), data.size());
    return octets;
  }

  std::vector<Value> elements_;
};

// The builder never fails, so a read stops only at a fault of the input.
Result<Value, ReadError> finish(Built read, ValueBuilder& builder) {
  if (!read) return read.error().refusal;
  return builder.take();
}

}  // namespace

Result<Value, ReadError> read_one(ReadCursor& cursor) {
  ValueBuilder builder;
  return finish(build_one(cursor, builder), builder);
}

Result<Value, ReadError> read_whole(const ReaderOptions& options,
                                    std::span<const std::uint8_t> input) {
  ValueBuilder builder;
  return finish(build_whole(options, input, builder), builder);
}

Result<Prefix, ReadError> read_prefix(const ReaderOptions& options,
                                      std::span<const std::uint8_t> input) {
  ValueBuilder builder;
  Built read = build_prefix(options, input, builder);
  if (!read) return read.error().refusal;
  return Prefix{builder.take(), *read};
}

}  // namespace tarnel
