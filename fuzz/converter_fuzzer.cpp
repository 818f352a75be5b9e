// The converter on arbitrary octets, under options taken from the first four octets (laid out as
// the reader target lays them, so that the two share seeds). For each output form, and the laid-out
// form at a width and an indentation taken from the same octets, it must agree with read_prefix
// followed by the writer of that form: the same octets and the same number consumed, or the same
// refusal at the same offset. It is run into a buffer holding earlier
// octets, which must be kept (and nothing added on a refusal), and into a sink taking small
// pieces, which must all be non-empty and within the size asked for; and a sink that refuses a
// piece must stop the conversion at once, after a prefix of the output.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz_support.h"
#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/converter.h"
#include "tarnel/options.h"
#include "tarnel/pretty.h"
#include "tarnel/reader.h"
#include "tarnel/transport.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;
using tarnel::fuzz::fail;
using tarnel::fuzz::same_octets;

constexpr std::size_t header = 4;

// Keeps the pieces it is given, checking their sizes; refuses the piece after the first `accept`.
class Collector : public OutputSink {
 public:
  Collector(std::size_t piece_size, std::size_t accept)
      : piece_size_(piece_size), accept_(accept) {}

  bool write(std::span<const std::uint8_t> piece) override {
    check(!refused_, "a sink was written to after it refused");
    check(!piece.empty() && piece.size() <= piece_size_, "a piece outside the size asked for");
    if (pieces_ == accept_) {
      refused_ = true;
      return false;
    }
    ++pieces_;
    text.append(piece);
    return true;
  }

  bool refused() const noexcept { return refused_; }

  Buffer text;

 private:
  std::size_t piece_size_;
  std::size_t accept_;
  std::size_t pieces_ = 0;
  bool refused_ = false;
};

Buffer written(const Value& value, OutputForm form) {
  switch (form) {
    case OutputForm::Canonical:
      return encode_canonical(value);
    case OutputForm::Transport:
      return encode_transport(value);
    case OutputForm::Advanced:
      break;
  }
  return encode_advanced(value);
}

Buffer written(const Value& value, const PrettyOptions& layout) {
  return encode_pretty(value, layout);
}

template <class Form>
void check_form(const ReaderOptions& options, std::span<const std::uint8_t> input,
                const Result<Prefix, ReadError>& read, const Form& form, std::size_t piece_size) {
  constexpr std::string_view junk = "junk";
  Buffer out;
  out.append(junk);
  Result<std::uint64_t, ReadError> got = convert_prefix(options, input, form, out);
  check(out.size() >= junk.size() && out.text().substr(0, junk.size()) == junk,
        "the buffer lost its earlier octets");
  const std::span<const std::uint8_t> converted = out.view().subspan(junk.size());

  Collector all(piece_size, SIZE_MAX);
  Built sunk = convert_prefix(options, input, form, all, piece_size);
  check(sunk || !sunk.error().by_builder, "a sink that takes everything was refused");

  if (!read) {
    check(!got && got.error() == read.error(), "the converter refuses otherwise than the reader");
    check(converted.empty(), "octets left in the buffer after a refusal");
    check(!sunk && sunk.error().refusal == read.error(),
          "the converter refuses otherwise into a sink");
    return;
  }
  check(got && *got == read->consumed, "the converter consumed otherwise than the reader");
  check(sunk && *sunk == read->consumed, "the converter consumed otherwise into a sink");
  const Buffer expected = written(read->value, form);
  if (!same_octets(converted, expected.view())) {
    fail("the converter wrote otherwise than the writer", expected.view(), converted);
  }
  if (!same_octets(all.text.view(), expected.view())) {
    fail("the converter wrote otherwise into a sink", expected.view(), all.text.view());
  }

  // Refuse one of the pieces: the conversion stops there, after a prefix of the output.
  const std::size_t pieces = (expected.size() + piece_size - 1) / piece_size;
  Collector some(piece_size, input.size() % pieces);
  Built stopped = convert_prefix(options, input, form, some, piece_size);
  check(!stopped && stopped.error().by_builder && some.refused(),
        "a refused piece did not stop the conversion");
  check(some.text.size() < expected.size() &&
            same_octets(some.text.view(), expected.view().first(some.text.size())),
        "a refused conversion wrote other than a prefix of the output");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header || size > fuzz::max_input + header) return -1;
  const ReaderOptions options = fuzz::options_from(data);
  const std::size_t piece_size = 1 + (data[2] * 31u + data[3]) % 100;
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> input = copy.view();

  const Result<Prefix, ReadError> read = read_prefix(options, input);
  for (OutputForm form : {OutputForm::Canonical, OutputForm::Transport, OutputForm::Advanced}) {
    check_form(options, input, read, form, piece_size);
  }
  const PrettyOptions layout{1u + data[3] % 100u, data[2] % 6u};
  check_form(options, input, read, layout, piece_size);
  return 0;
}
