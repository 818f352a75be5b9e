// The base-64 codec: encodings for every length modulo 3, decodings with whitespace anywhere,
// each padding fault and invalid character at its exact offset, and the property that whatever
// the decoder accepts is, whitespace aside, the encoder's own output or that output unpadded.
#include "tarnel/base64.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnel {
namespace {

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string encode(std::string_view octets) {
  Buffer out;
  base64_encode(bytes(octets), out);
  EXPECT_EQ(out.size(), base64_encoded_size(octets.size()));
  return std::string(out.text());
}

// ---- Encoding ----------------------------------------------------------------------------------

struct EncodeCase {
  std::string_view octets;
  std::string_view text;
};

class Base64Encode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Base64Encode, WritesPaddedText) { EXPECT_EQ(encode(GetParam().octets), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    EveryLengthModuloThree, Base64Encode,
    ::testing::Values(EncodeCase{"", ""}, EncodeCase{"a", "YQ=="}, EncodeCase{"ab", "YWI="},
                      EncodeCase{"abc", "YWJj"}, EncodeCase{"f", "Zg=="}, EncodeCase{"fo", "Zm8="},
                      EncodeCase{"foo", "Zm9v"}, EncodeCase{"foob", "Zm9vYg=="},
                      EncodeCase{"fooba", "Zm9vYmE="}, EncodeCase{"foobar", "Zm9vYmFy"},
                      EncodeCase{std::string_view("\0", 1), "AA=="},
                      EncodeCase{std::string_view("\0\0", 2), "AAA="},
                      EncodeCase{"\xff\xff\xff", "////"}, EncodeCase{"\xfb\xef\xbe", "++++"},
                      EncodeCase{"\xff", "/w=="}, EncodeCase{"\xff\xfe", "//4="}));

TEST(Base64Encode, UsesEverySextetOfTheAlphabetInOrder) {
  // 48 octets whose 64 sextets count 0, 1, ..., 63.
  std::string octets;
  for (int s = 0; s < 64; s += 4) {
    std::uint32_t bits = std::uint32_t(s) << 18 | std::uint32_t(s + 1) << 12 |
                         std::uint32_t(s + 2) << 6 | std::uint32_t(s + 3);
    octets.push_back(static_cast<char>(bits >> 16));
    octets.push_back(static_cast<char>(bits >> 8));
    octets.push_back(static_cast<char>(bits));
  }
  EXPECT_EQ(encode(octets), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(Base64Encode, AppendsAfterWhatTheBufferHolds) {
  for (std::string_view octets : {"", "a", "ab", "abc"}) {
    Buffer out;
    out.append(std::string_view("junk"));
    base64_encode(bytes(octets), out);
    EXPECT_EQ(out.text(), "junk" + encode(octets)) << octets;
  }
}

TEST(Base64Encode, WritesOneUnbrokenLine) {
  std::string octets(1'000'000, '\xa5');
  std::string text = encode(octets);
  ASSERT_EQ(text.size(), 4 * ((octets.size() + 2) / 3));
  // a5 a5 a5 is "paWl"; the millionth octet is left over and padded.
  EXPECT_EQ(text.find_first_not_of("paWl"), text.size() - 3);
  EXPECT_EQ(text.substr(text.size() - 4), "pQ==");
}

// ---- Decoding: accepted input ------------------------------------------------------------------

struct DecodeCase {
  std::string_view text;
  std::string_view octets;
};

class Base64DecodeAccepts : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64DecodeAccepts, YieldsOctets) {
  auto decoded = base64_decode(bytes(GetParam().text));
  ASSERT_TRUE(decoded) << "refused at " << decoded.error();
  EXPECT_EQ(decoded->text(), GetParam().octets);
}

INSTANTIATE_TEST_SUITE_P(
    PaddedUnpaddedAndSpaced, Base64DecodeAccepts,
    ::testing::Values(DecodeCase{"YWJj", "abc"}, DecodeCase{"YWI=", "ab"}, DecodeCase{"YWI", "ab"},
                      DecodeCase{"YQ==", "a"}, DecodeCase{"YQ", "a"}, DecodeCase{"", ""},
                      DecodeCase{" \t\n\v\f\r", ""}, DecodeCase{" YWJj", "abc"},
                      DecodeCase{"YWJj\n", "abc"}, DecodeCase{"Y W J j", "abc"},
                      DecodeCase{"Y\tW\nJ\rj", "abc"}, DecodeCase{"\v\fY\r\nWJ j \t", "abc"},
                      DecodeCase{"YQ= =", "a"}, DecodeCase{"YQ==  \n", "a"},
                      DecodeCase{"YQ\n==", "a"}, DecodeCase{"YWJjYWJj", "abcabc"},
                      DecodeCase{"YWJj\nYWJj", "abcabc"}, DecodeCase{"YWJ jYWJj", "abcabc"},
                      DecodeCase{"Zm9vYmE", "fooba"}, DecodeCase{"Zm9vYmE=", "fooba"},
                      DecodeCase{"Zm9vYg", "foob"}, DecodeCase{"Zm9vYg==", "foob"},
                      DecodeCase{"////", "\xff\xff\xff"}, DecodeCase{"++++", "\xfb\xef\xbe"},
                      DecodeCase{"/w==", "\xff"},
                      DecodeCase{"AAAA", std::string_view("\0\0\0", 3)}));

// ---- Decoding: refusals, each at its offset ----------------------------------------------------

struct RejectCase {
  std::string_view text;
  std::uint64_t offset;
};

class Base64DecodeRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(Base64DecodeRejects, AtOffset) {
  auto decoded = base64_decode(bytes(GetParam().text));
  ASSERT_FALSE(decoded) << "accepted " << GetParam().text;
  EXPECT_EQ(decoded.error(), GetParam().offset) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    PaddingAndLeftoverBits, Base64DecodeRejects,
    ::testing::Values(RejectCase{"Y", 0},     // a lone sextet carries no octet
                      RejectCase{"=", 0},     // '=' as the first character of a group
                      RejectCase{"Y===", 1},  // '=' as the second character
                      //           ^
                      RejectCase{"YR==", 1},  // R leaves bits 0001 over
                      //           ^
                      RejectCase{"YWJ=", 2},  // J leaves bits 01 over
                      //            ^
                      RejectCase{"YWJ", 2},  // the same unpadded
                      //            ^
                      RejectCase{"YR", 1},  // R, unpadded
                      //           ^
                      RejectCase{"YR = =", 1},  // R, pads apart
                      //           ^
                      RejectCase{"YQ=", 3},  // input ends inside a padded group
                      //             ^
                      RejectCase{"YQ= ", 4},  // likewise, whitespace counted in the length
                      //              ^
                      RejectCase{"YWI==", 4},  // a pad after a group closed by one
                      //              ^
                      RejectCase{"YQ=Q", 3},  // an alphabet character after a pad
                      //             ^
                      RejectCase{"YQ= Q=", 4},  // likewise, with whitespace between
                      //              ^
                      RejectCase{"YQ==YQ==", 4},  // anything after a padded group
                      //              ^
                      RejectCase{"YQ== \nY", 6},  // likewise, after whitespace
                      //                ^
                      RejectCase{"YQ===", 4},  // a third pad
                      //              ^
                      RejectCase{"YWJj=", 4},  // '=' opening the next group
                      //              ^
                      RejectCase{"YWJjY=", 5},  // '=' as the second character of the next group
                      //               ^
                      RejectCase{"YWJjZ", 4},  // a lone final character
                      //              ^
                      RejectCase{"YWJjZ\n ", 4},  // the same with whitespace after it
                      //              ^
                      RejectCase{"YW-j", 2},  // the URL-safe alphabet is not ours
                      //            ^
                      RejectCase{"YW_j", 2},
                      //            ^
                      RejectCase{"YWJj}", 4},
                      //              ^
                      RejectCase{"YWJjYW\x80j", 6}));

//                           ^

TEST(Base64Decode, RefusesEveryOctetOutsideAlphabetPadAndWhitespace) {
  const std::string_view accepted =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/= \t\n\v\f\r";
  int refused = 0;
  for (int c = 0; c < 256; ++c) {
    if (accepted.find(static_cast<char>(c)) != std::string_view::npos) continue;
    // In a group on its own, at the start of the fast path, and after whitespace.
    for (std::string prefix : {"", "YWJj", "YW", "Y WJj "}) {
      std::string text = prefix + static_cast<char>(c) + "YWJj";
      auto decoded = base64_decode(bytes(text));
      ASSERT_FALSE(decoded) << "octet " << c;
      EXPECT_EQ(decoded.error(), prefix.size()) << "octet " << c;
    }
    ++refused;
  }
  EXPECT_EQ(refused, 256 - 71);
}

TEST(Base64Decode, ReservesThreeQuartersOfTheInput) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "YWJj";
  auto decoded = base64_decode(bytes(text));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), 3000u);
  EXPECT_EQ(decoded->capacity(), 3000u);

  text += "\n\n\n\n";  // whitespace counts in the reservation
  auto spaced = base64_decode(bytes(text));
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->size(), 3000u);
  EXPECT_EQ(spaced->capacity(), 3003u);
}

// ---- Properties --------------------------------------------------------------------------------

TEST(Base64Decode, InvertsTheEncoderOnRandomOctets) {
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    std::mt19937_64 rng(seed);
    std::string octets(rng() % 200, '\0');
    for (char& c : octets) c = static_cast<char>(rng() & 0xFF);
    std::string text = encode(octets);

    auto plain = base64_decode(bytes(text));
    ASSERT_TRUE(plain) << "seed " << seed;
    EXPECT_EQ(plain->text(), octets) << "seed " << seed;

    // Whitespace inserted at random places, the pads possibly dropped, changes nothing.
    std::string spaced;
    std::string_view body = text;
    if (rng() % 2 == 0) body = body.substr(0, body.find('='));
    for (char c : body) {
      while (rng() % 4 == 0) spaced.push_back(" \t\n\v\f\r"[rng() % 6]);
      spaced.push_back(c);
    }
    if (rng() % 2 == 0) spaced += "\r\n";
    auto decoded = base64_decode(bytes(spaced));
    ASSERT_TRUE(decoded) << "seed " << seed << " text " << spaced;
    EXPECT_EQ(decoded->text(), octets) << "seed " << seed;
  }
}

// Whether `text` is well-formed, stated as a whole rather than octet by octet: without its
// whitespace it is groups of four alphabet characters, then optionally a final group of two or
// three of them, padded to four or not, whose last sextet has no bits left over.
bool well_formed(std::string_view text) {
  const std::string_view letters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string body;
  for (char c : text) {
    if (std::string_view(" \t\n\v\f\r").find(c) == std::string_view::npos) body.push_back(c);
  }
  std::size_t pads = 0;
  while (pads < body.size() && body[body.size() - 1 - pads] == '=') ++pads;
  body.resize(body.size() - pads);
  if (body.find_first_not_of(letters) != std::string::npos) return false;
  std::size_t tail = body.size() % 4;
  if (tail == 1) return false;
  if (pads != 0 && (tail == 0 || tail + pads != 4)) return false;
  if (tail == 0) return true;
  std::size_t last = letters.find(body.back());
  return (last & (tail == 2 ? 0x0F : 0x03)) == 0;
}

TEST(Base64Decode, AcceptsExactlyTheWellFormedShortTexts) {
  // Every text of up to six characters over letters with different leftover bits (A none, Q in
  // the high bits only, E in bit 2, B in bit 0), the pad, a space and an invalid octet.
  const std::string_view symbols = "AQEB= -";
  std::vector<std::string> texts{""};
  std::size_t checked = 0;
  for (std::size_t length = 0; length <= 6; ++length) {
    std::vector<std::string> longer;
    for (const std::string& text : texts) {
      auto decoded = base64_decode(bytes(text));
      ASSERT_EQ(bool(decoded), well_formed(text)) << '"' << text << '"';
      if (decoded) {
        // Accepted text is the encoder's own, whitespace aside and pads perhaps left out.
        std::string compact;
        for (char c : text)
          if (c != ' ') compact.push_back(c);
        std::string again = encode(decoded->text());
        EXPECT_EQ(again.substr(0, compact.size()), compact) << '"' << text << '"';
        EXPECT_EQ(again.find_first_not_of('=', compact.size()), std::string::npos)
            << '"' << text << '"';
      } else {
        EXPECT_LE(decoded.error(), text.size()) << '"' << text << '"';
      }
      ++checked;
      for (char c : symbols) longer.push_back(text + c);
    }
    texts = std::move(longer);
  }
  EXPECT_EQ(checked, 137'257u);  // 1 + 7 + ... + 7^6
}

// The decoding rule applied one octet at a time, with no look-ahead: the octets decoded, or the
// offset of the refusal. The decoder reads runs of whole groups several at a time; this is what
// it must agree with wherever those runs stop.
std::variant<std::string, std::size_t> decode_octet_by_octet(std::string_view text) {
  const std::string_view letters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, held = 0, pads = 0;
  bool closed = false;
  std::size_t last_letter = 0;
  // The low bits a final group of `held` letters leaves over must be zero.
  auto finish = [&]() -> bool {
    if (held == 1) return false;
    if (held == 2 && (bits & 0x0F) != 0) return false;
    if (held == 3 && (bits & 0x03) != 0) return false;
    if (held == 2) out.push_back(static_cast<char>(bits >> 4));
    if (held == 3) {
      out.push_back(static_cast<char>(bits >> 10));
      out.push_back(static_cast<char>(bits >> 2));
    }
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos) continue;
    if (closed) return i;
    if (c == '=') {
      if (held + pads < 2) return i;
      if (held + ++pads == 4) {
        if (!finish()) return last_letter;
        closed = true;
        held = 0;
        pads = 0;
      }
      continue;
    }
    const std::size_t sextet = letters.find(c);
    if (pads != 0 || sextet == std::string_view::npos) return i;
    bits = bits << 6 | static_cast<unsigned>(sextet);
    last_letter = i;
    if (++held == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      held = 0;
    }
  }
  if (pads != 0) return text.size();
  if (!finish()) return last_letter;
  return out;
}

TEST(Base64Decode, AgreesWithTheOctetByOctetRuleWhereverRunsOfGroupsStop) {
  // Encodings of random octets, long enough for runs of one, two and many groups, with one to
  // three octets replaced or inserted anywhere: whitespace, a pad, an invalid octet, a letter.
  using namespace std::string_view_literals;
  const std::string_view odd = " \t\n\v\f\r=-\0\x80\xff{}AQE/"sv;
  std::size_t refused = 0;
  for (std::uint64_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937_64 rng(seed);
    std::string octets(rng() % 64, '\0');
    for (char& c : octets) c = static_cast<char>(rng() & 0xFF);
    std::string text = encode(octets);
    if (rng() % 3 == 0) text = text.substr(0, text.find('='));
    for (std::uint64_t edits = rng() % 4; edits != 0; --edits) {
      const char c = odd[rng() % odd.size()];
      const std::size_t at = rng() % (text.size() + 1);
      if (rng() % 2 == 0 && at < text.size()) {
        text[at] = c;
      } else {
        text.insert(at, 1, c);
      }
    }
    const auto want = decode_octet_by_octet(text);
    const auto got = base64_decode(bytes(text));
    if (const std::size_t* offset = std::get_if<std::size_t>(&want)) {
      ASSERT_FALSE(got) << "seed " << seed;
      EXPECT_EQ(got.error(), *offset) << "seed " << seed;
      ++refused;
    } else {
      ASSERT_TRUE(got) << "seed " << seed << " refused at " << got.error();
      EXPECT_EQ(got->text(), std::get<std::string>(want)) << "seed " << seed;
    }
  }
  // Both outcomes are well represented.
  EXPECT_GT(refused, 1000u);
  EXPECT_LT(refused, 2500u);
}

}  // namespace
}  // namespace tarnel
