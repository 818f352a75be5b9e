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

#include "fuzz_support.h"
#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/error.h"
#include "tarnel/octet_string.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;
using tarnel::fuzz::fail;
using tarnel::fuzz::same_octets;

constexpr std::size_t header = 4;

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
                                  const Result<Prefix, ReadError>& read) {
  ReaderOptions other = options;
  other.allow_raw_octets = !options.allow_raw_octets;
  const Result<Prefix, ReadError> again = read_prefix(other, input);
  const Result<Prefix, ReadError>& with = options.allow_raw_octets ? read : again;
  const Result<Prefix, ReadError>& without = options.allow_raw_octets ? again : read;
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
  const ReaderOptions options = fuzz::options_from(data);
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> input = copy.view();

  Result<Value, ReadError> whole = read_whole(options, input);
  Result<Prefix, ReadError> prefix = read_prefix(options, input);
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
