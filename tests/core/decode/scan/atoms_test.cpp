// The quick scanner against the full octet-string reader: wherever `quick_atom` takes a string,
// the full reader on the same octets reads the same octets and stops at the same place; where it
// follows one for the framer with more octets to come, one more octet changes nothing. Strings of
// every form, with faults put in at random, under option sets that switch each rule on and off,
// cut at every length; a fixed seed, printed on failure.
#include "tarnel/detail/atoms.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "tarnel/octet_string.h"
#include "decode/reader/read_helpers.h"
#include "tarnel/base64.h"

namespace tarnel::scan {
namespace {

using read_testing::octets_of;

std::string some_atom(std::mt19937& random) {
  auto pick = [&random](std::string_view from) { return from[random() % from.size()]; };
  const std::size_t n = random() % 4 == 0 ? random() % 40 : random() % 17;
  std::string s;
  switch (random() % 5) {
    case 0:
      s += pick("abcXYZ*+-./:=_");
      for (std::size_t i = 1; i < n; ++i) s += pick("az09AZ*+-./:=_");
      break;
    case 1:
      s += '"';
      for (std::size_t i = 0; i < n; ++i) {
        if (random() % 6 == 0) {
          const char* escapes[] = {"\\n",    "\\x4A", "\\177", "\\\"", "\\\\", "\\\n",
                                   "\\\r\n", "\\400", "\\xg",  "\\q",  "\\?",  "\\0"};
          s += escapes[random() % 12];
        } else {
          s += static_cast<char>(0x20 + random() % 95);
        }
      }
      s += '"';
      break;
    case 2:
      s += '#';
      for (std::size_t i = 0; i < 2 * n; ++i) s += pick("0123456789abcdefABCDEF");
      s += '#';
      break;
    case 3: {
      std::vector<std::uint8_t> data(n);
      for (auto& octet : data) octet = static_cast<std::uint8_t>(random());
      Buffer text;
      base64_encode(data, text);
      std::string body(text.text());
      if (random() % 3 == 0) body.erase(body.find_last_not_of('=') + 1);
      s += '|' + body + '|';
      break;
    }
    default:
      s += std::to_string(n) + ':';
      for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(random());
  }
  // A fault now and then: an octet replaced, or a length put before an advanced form.
  if (random() % 4 == 0 && !s.empty()) s[random() % s.size()] = static_cast<char>(random());
  if (random() % 10 == 0) s = std::to_string(random() % 12) + s;
  const std::string_view after[] = {" ", ")", "(", "a", "|", "#", "\"", "", "          x"};
  return s + std::string(after[random() % 9]) + std::string(random() % 40, ' ');
}

std::vector<ReaderOptions> option_sets() {
  std::vector<ReaderOptions> sets(7);
  sets[1].allow_raw_octets = true;
  sets[2].allow_empty_atoms = false;
  sets[3].max_atom_len = 3;
  sets[4].allow_advanced = false;
  sets[5].allow_hexadecimal = false;
  sets[6].allow_base64 = false;
  return sets;
}

TEST(ScanAtoms, WhatTheQuickScannerTakesTheFullReaderReadsAlike) {
  std::mt19937 random(1309);
  std::size_t taken_count = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::string text = some_atom(random);
    for (const ReaderOptions& options : option_sets()) {
      for (std::size_t avail = 1; avail <= text.size(); ++avail) {
        // The octets at hand, in a block of their own size.
        const std::vector<std::uint8_t> at_hand(text.begin(), text.begin() + avail);
        Buffer scratch;
        std::span<const std::uint8_t> octets;
        const std::size_t taken =
            quick_atom<Take::Decode>(options, at_hand.data(), avail, true, scratch, octets);
        Buffer followed_scratch;
        std::span<const std::uint8_t> unused;
        const std::size_t followed = quick_atom<Take::Follow>(options, at_hand.data(), avail, false,
                                                              followed_scratch, unused);
        if (taken == 0 && followed == 0) continue;
        ++taken_count;
        ReadCursor cursor{options, at_hand, 0};
        Buffer full_scratch;
        Result<std::span<const std::uint8_t>, ReadError> full =
            read_octet_view(cursor, full_scratch);
        ASSERT_TRUE(full.ok()) << "trial " << trial << ": " << text.substr(0, avail);
        if (taken != 0) {
          EXPECT_EQ(taken, cursor.position) << "trial " << trial << ": " << text.substr(0, avail);
          EXPECT_EQ(std::string(octets.begin(), octets.end()),
                    std::string(full->begin(), full->end()))
              << "trial " << trial << ": " << text.substr(0, avail);
        }
        if (followed != 0) {
          EXPECT_EQ(followed, cursor.position) << "trial " << trial << ": " << text;
          // More octets cannot make it end elsewhere: the framer may rely on it now.
          std::vector<std::uint8_t> longer = at_hand;
          longer.push_back('a');
          ReadCursor again{options, longer, 0};
          Result<std::span<const std::uint8_t>, ReadError> more =
              read_octet_view(again, full_scratch);
          EXPECT_TRUE(more.ok() && again.position == followed) << "trial " << trial << ": " << text;
        }
      }
    }
  }
  // The strings are built so that most forms are taken somewhere: a scanner that took nothing
  // would pass the checks above.
  EXPECT_GT(taken_count, 20000u);
}

}  // namespace
}  // namespace tarnel::scan
