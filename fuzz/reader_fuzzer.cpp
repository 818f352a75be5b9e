// The reader on arbitrary octets, under options taken from the first four octets. No input may
// crash it, leak or trip a sanitizer. Beyond that, every read is checked against what the reader
// promises:
//   - read_whole and read_prefix agree: the same tree, or the same error, or read_whole refuses
//     only with TrailingOctets past what read_prefix consumed;
//   - a prefix read again on its own reads the same tree;
//   - an error's offset lies within the input (at most one past its end);
//   - where a read succeeds, the canonical, transport and advanced forms of the tree read back to
//     the same tree, and the canonical and transport forms do so under the same restrictions, so
//     that no restricted construct ever makes it into a tree (the advanced form without raw
//     octets: no writer produces them);
//   - raw octets in quoted strings only let in what is otherwise refused at such an octet.
#include <cstddef>
#include <cstdint>
#include <span>

#include "decode/reader/error.h"
#include "decode/reader/options.h"
#include "decode/reader/reader.h"
#include "encode/advanced/advanced.h"
#include "encode/canonical/canonical.h"
#include "encode/transport/transport.h"
#include "fuzz_support.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;
using tarnel::fuzz::fail;
using tarnel::fuzz::same_octets;

constexpr std::size_t header = 4;

// Octet 0: one bit per flag, set where the construct is forbidden. Octet 1: bit 0 forbids
// lengths; bits 1-2 pick the depth limit, bits 3-4 the atom limit, bits 5-6 the input limit,
// each among none, a small value from octet 2 or 3, and a larger one; bit 7 allows raw octets in
// quoted strings.
ReaderOptions options_from(const std::uint8_t* h) {
  ReaderOptions o;
  const unsigned flags = h[0];
  o.allow_advanced = (flags & 0x01) == 0;
  o.allow_transport = (flags & 0x02) == 0;
  o.allow_display_hints = (flags & 0x04) == 0;
  o.allow_empty_atoms = (flags & 0x08) == 0;
  o.allow_empty_lists = (flags & 0x10) == 0;
  o.allow_list_as_first_element = (flags & 0x20) == 0;
  o.allow_hexadecimal = (flags & 0x40) == 0;
  o.allow_base64 = (flags & 0x80) == 0;
  const unsigned modes = h[1];
  o.allow_lengths = (modes & 0x01) == 0;
  o.allow_raw_octets = (modes & 0x80) != 0;
  const std::uint64_t depth_value = h[2];
  const std::uint64_t length_value = h[3];
  switch ((modes >> 1) & 3) {
    case 0: o.max_depth = default_max_depth; break;
    case 1: o.max_depth = depth_value % 8; break;
    case 2: o.max_depth = depth_value * 64; break;
    default: o.max_depth = no_limit; break;
  }
  switch ((modes >> 3) & 3) {
    case 0: o.max_atom_len = no_limit; break;
    case 1: o.max_atom_len = length_value % 8; break;
    case 2: o.max_atom_len = length_value * 4; break;
    default: o.max_atom_len = 0; break;
  }
  switch ((modes >> 5) & 3) {
    case 0: o.max_input_len = no_limit; break;
    case 1: o.max_input_len = length_value; break;
    case 2: o.max_input_len = length_value * 256; break;
    default: o.max_input_len = 0; break;
  }
  return o;
}

void check_error(const ReadError& error, std::size_t size) {
  check(static_cast<std::size_t>(error.kind) < error_kind_count, "error kind out of range");
  check(error.offset <= size, "error offset beyond the end of the input");
}

// The tree `value`, read under `options`, written out three ways and read back.
void check_writers(const ReaderOptions& options, const Value& value) {
  const Buffer canonical = encode_canonical(value);
  check(canonical_size(value) == canonical.size(), "canonical_size disagrees with the writer");

  // The canonical form holds no construct the options forbid, so it reads back under them (with
  // the representation restricted to canonical and the input limit lifted: canonical octets may
  // be longer than the text they came from).
  ReaderOptions restricted = transport_inner_options(options);
  restricted.max_input_len = no_limit;
  fuzz::expect_reads_back(restricted, canonical.view(), canonical.view(),
                          "canonical form does not read back under the same restrictions");

  ReaderOptions with_transport = restricted;
  with_transport.allow_transport = true;
  const Buffer transport = encode_transport(value);
  fuzz::expect_reads_back(with_transport, transport.view(), canonical.view(),
                          "transport form does not read back to the same tree");

  const Buffer advanced = encode_advanced(value);
  fuzz::expect_reads_back(fuzz::read_back_options(), advanced.view(), canonical.view(),
                          "advanced form does not read back to the same tree");
}

// Raw octets in quoted strings change nothing but what they let in. The two reads go alike up to
// the first octet 0x80-0xFF inside a quoted string, where the one without them refuses it: so
// unless that read refuses such an octet, the other gives the same tree or the same refusal.
void check_raw_octets_only_let_in(const ReaderOptions& options, std::span<const std::uint8_t> input,
                                  const Result<Prefix>& read) {
  ReaderOptions other = options;
  other.allow_raw_octets = !options.allow_raw_octets;
  const Result<Prefix> again = read_prefix(other, input);
  const Result<Prefix>& with = options.allow_raw_octets ? read : again;
  const Result<Prefix>& without = options.allow_raw_octets ? again : read;
  if (!without) {
    const ReadError e = without.error();
    if (e.kind == ErrorKind::UnexpectedOctet && e.offset < input.size() &&
        input[e.offset] >= 0x80) {
      return;
    }
    check(!with && with.error() == e, "raw octets change a refusal that is not of a raw octet");
    return;
  }
  check(with && with->consumed == without->consumed, "raw octets change what a read consumes");
  const Buffer a = encode_canonical(with->value);
  const Buffer b = encode_canonical(without->value);
  if (!same_octets(a.view(), b.view())) fail("raw octets change the tree read", a.view(), b.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header || size > fuzz::max_input + header) return -1;
  const ReaderOptions options = options_from(data);
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> input = copy.view();

  Result<Value> whole = read_whole(options, input);
  Result<Prefix> prefix = read_prefix(options, input);
  check_raw_octets_only_let_in(options, input, prefix);

  if (!prefix) {
    check_error(prefix.error(), input.size());
    check(!whole && whole.error() == prefix.error(), "read_whole and read_prefix disagree");
    return 0;
  }

  const std::uint64_t consumed = prefix->consumed;
  check(consumed > 0 && consumed <= input.size(), "consumed out of range");
  const Buffer prefix_canonical = encode_canonical(prefix->value);
  {
    const fuzz::HeapCopy cut(input.first(consumed));
    fuzz::expect_reads_back(options, cut.view(), prefix_canonical.view(),
                            "a prefix read on its own differs");
  }

  if (!whole) {
    check_error(whole.error(), input.size());
    check(whole.error().kind == ErrorKind::TrailingOctets && whole.error().offset >= consumed,
          "read_whole refuses what read_prefix reads, other than by trailing octets");
    return 0;
  }
  for (std::uint64_t i = consumed; i < input.size(); ++i) {
    check(options.allow_advanced && is_whitespace(input[i]),
          "read_whole accepted octets after the S-expression that are not whitespace");
  }
  const Buffer whole_canonical = encode_canonical(*whole);
  if (!same_octets(whole_canonical.view(), prefix_canonical.view())) {
    fail("read_whole and read_prefix read different trees", whole_canonical.view(),
         prefix_canonical.view());
  }
  check_writers(options, *whole);
  return 0;
}
