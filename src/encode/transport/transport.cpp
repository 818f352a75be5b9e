#include "tarnel/transport.h"

#include <cstdint>
#include <new>

#include "tarnel/base64.h"
#include "tarnel/canonical.h"

namespace tarnel {

Buffer encode_transport(const Value& value) {
  return encode_transport_of_canonical(encode_canonical(value).view());
}

Buffer encode_transport_of_canonical(std::span<const std::uint8_t> canonical) {
  const std::uint64_t body = base64_encoded_size(canonical.size());
  // No value held in memory reaches 2^63 characters of text; treat it as exhausted memory.
  if (body >= (std::uint64_t{1} << 63) || body + 2 > SIZE_MAX) throw std::bad_alloc();
  Buffer out;
  out.reserve(static_cast<std::size_t>(body + 2));
  out.push_back('{');
  base64_encode(canonical, out);
  out.push_back('}');
  return out;
}

}  // namespace tarnel
