// The scanner the reader and the framer share (decode/scan), on arbitrary octets under options
// taken from the first four: from each of the first offsets, and with the octets at hand cut at
// each of the last lengths, so that every word and vector alignment and every tail is met:
//   - each run ends where an octet-at-a-time loop over the grammar's tables ends, in both the
//     portable and the native implementation; hexadecimal digits decode alike in both;
//   - where `quick_atom` takes an octet string, the full reader (read_octet_view) on the same
//     octets reads the same octets and stops at the same place; where it follows one for the
//     framer, one octet more changes nothing.
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "tarnel/octet_string.h"
#include "tarnel/detail/atoms.h"
#include "tarnel/detail/runs.h"
#include "fuzz_support.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;
using tarnel::fuzz::fail;
using tarnel::fuzz::same_octets;

constexpr std::size_t header = 4;

template <class Class>
void check_run(std::span<const std::uint8_t> in) {
  std::size_t expected = 0;
  while (expected < in.size() && Class::test(in[expected])) ++expected;
  check(scan::portable::run<Class>(in.data(), in.size()) == expected, "portable run");
  check(scan::native::run<Class>(in.data(), in.size()) == expected, "native run");
  check(scan::native::run_wide<Class>(in.data(), in.size()) == expected, "native wide run");
  if constexpr (std::is_same_v<Class, scan::HexDigits>) {
    const std::size_t pairs = expected / 2;
    std::vector<std::uint8_t> portable(pairs), native(pairs);
    scan::portable::decode_hex(in.data(), pairs, portable.data());
    scan::native::decode_hex(in.data(), pairs, native.data());
    for (std::size_t i = 0; i < pairs; ++i) {
      check(portable[i] == (hex_values[in[2 * i]] << 4 | hex_values[in[2 * i + 1]]),
            "hexadecimal pair decoded wrongly");
    }
    check(portable == native, "portable and native hexadecimal decoding differ");
  }
}

void check_quick_atom(const ReaderOptions& options, std::span<const std::uint8_t> at_hand) {
  Buffer scratch;
  std::span<const std::uint8_t> octets;
  const std::size_t taken = scan::quick_atom<scan::Take::Decode>(
      options, at_hand.data(), at_hand.size(), true, scratch, octets);
  Buffer follow_scratch;
  std::span<const std::uint8_t> unused;
  const std::size_t followed = scan::quick_atom<scan::Take::Follow>(
      options, at_hand.data(), at_hand.size(), false, follow_scratch, unused);
  if (taken == 0 && followed == 0) return;
  const fuzz::HeapCopy copy(at_hand);
  ReadCursor cursor{options, copy.view(), 0};
  Buffer full_scratch;
  const Result<std::span<const std::uint8_t>, ReadError> full =
      read_octet_view(cursor, full_scratch);
  if (!full) fail("the quick scanner takes what the full reader refuses", at_hand);
  if (taken != 0) {
    check(taken == cursor.position, "the quick scanner and the full reader end apart");
    if (!same_octets(octets, full.value())) {
      fail("the quick scanner decodes otherwise", octets, full.value());
    }
  }
  if (followed != 0) {
    check(followed == cursor.position, "following ends elsewhere than reading");
    std::vector<std::uint8_t> longer(at_hand.begin(), at_hand.end());
    longer.push_back('a');
    ReadCursor again{options, longer, 0};
    const Result<std::span<const std::uint8_t>, ReadError> more =
        read_octet_view(again, full_scratch);
    check(more && again.position == followed, "one octet more moves the end of a followed atom");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header || size > 4096 + header) return -1;
  const ReaderOptions options = fuzz::options_from(data);
  const fuzz::HeapCopy copy(std::span(data + header, size - header));
  const std::span<const std::uint8_t> input = copy.view();
  const std::size_t n = input.size();
  for (std::size_t start = 0; start < n && start < 40; ++start) {
    // From `start` to the end, and cut short by up to 40 octets, each in a block of its own.
    for (std::size_t cut = 0; cut < 40 && start + cut < n; ++cut) {
      const fuzz::HeapCopy piece(input.subspan(start, n - start - cut));
      const std::span<const std::uint8_t> at_hand = piece.view();
      if (cut < 2) {
        check_run<scan::TokenChars>(at_hand);
        check_run<scan::QuotedChars>(at_hand);
        check_run<scan::QuotedOrRawChars>(at_hand);
        check_run<scan::HexDigits>(at_hand);
        check_run<scan::AllBut<'|'>>(at_hand);
      }
      check_quick_atom(options, at_hand);
    }
  }
  return 0;
}
