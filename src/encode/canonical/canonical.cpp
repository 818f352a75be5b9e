#include "tarnel/canonical.h"

#include <cassert>
#include <cstring>
#include <new>

namespace tarnel {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t digit_count(std::uint64_t n) noexcept {
  std::uint64_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

std::uint64_t octet_string_size(std::size_t length) noexcept {
  return saturating_add(digit_count(length) + 1, length);
}

// A writer that only counts the octets the canonical writer would write.
struct SizeCounter {
  std::uint64_t total = 0;

  void open_list() noexcept { total = saturating_add(total, 1); }

  void close_list() noexcept { total = saturating_add(total, 1); }

  void atom(std::span<const std::uint8_t> data, const Octets* hint) noexcept {
    total = saturating_add(total, octet_string_size(data.size()));
    if (hint != nullptr) {
      total = saturating_add(total, saturating_add(octet_string_size(hint->size()), 2));
    }
  }
};

// The most octets a decimal length and its colon take.
constexpr std::size_t max_prefix = 21;

// Writes `n` in decimal followed by a colon; returns the end.
std::uint8_t* put_length(std::uint8_t* out, std::uint64_t n) noexcept {
  char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (count != 0) *out++ = static_cast<std::uint8_t>(digits[--count]);
  *out++ = ':';
  return out;
}

// Writes the length, a colon and the octets; returns the end.
std::uint8_t* put_octet_string(std::uint8_t* out, std::span<const std::uint8_t> octets) noexcept {
  out = put_length(out, octets.size());
  if (!octets.empty()) std::memcpy(out, octets.data(), octets.size());
  return out + octets.size();
}

}  // namespace

std::uint64_t canonical_size(const Value& value) {
  SizeCounter counter;
  write_tree(value, counter);
  return counter.total;
}

Buffer encode_canonical(const Value& value) {
  std::uint64_t size = canonical_size(value);
  // No value held in memory reaches 2^63 octets of output; treat it as exhausted memory.
  if (size >= (std::uint64_t{1} << 63) || size > SIZE_MAX) throw std::bad_alloc();
  Buffer out;
  // The writer asks for room for the longest decimal lengths before it writes an atom (a hint
  // and its data: two of them) and gives back what it did not use.
  out.reserve(static_cast<std::size_t>(size) + 2 * max_prefix + 2);
  CanonicalWriter writer(out);
  write_tree(value, writer);
  return out;
}

void CanonicalWriter::any_atom(std::span<const std::uint8_t> data, const Octets* hint) {
  std::size_t room = max_prefix + data.size();
  if (hint != nullptr) room += max_prefix + 2 + hint->size();
  std::uint8_t* start = out_.extend(room);
  std::uint8_t* w = start;
  if (hint != nullptr) {
    *w++ = '[';
    w = put_octet_string(w, hint->view());
    *w++ = ']';
  }
  w = put_octet_string(w, data);
  out_.shrink_by(room - static_cast<std::size_t>(w - start));
}

void CanonicalWriter::length_prefix(std::uint64_t length) {
  std::uint8_t* start = out_.extend(max_prefix);
  out_.shrink_by(max_prefix - static_cast<std::size_t>(put_length(start, length) - start));
}

}  // namespace tarnel
