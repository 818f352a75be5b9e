#include "tarnel/reader.h"

#include "decode/reader/read_one.h"
#include "decode/reader/value_builder.h"
#include "tarnel/build.h"

namespace tarnel {
namespace {

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
