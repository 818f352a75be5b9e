// The stream engine against reading whole: every split of a stream, pushed or pulled, must give
// the S-expressions and the refusal that reading the octets whole gives, for every kind of output
// (stream_driver.h); a peer that waits after sending an S-expression gets it without the engine
// asking for more; and a file is a plain loop.
#include "tarnel/stream.h"

#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "stream_driver.h"
#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/transport.h"
#include "tree_helpers.h"

namespace tarnel {
namespace {

using stream_testing::all_outputs;
using stream_testing::describe;
using stream_testing::expected;
using stream_testing::Output;
using stream_testing::run_engine;

std::span<const std::uint8_t> octets_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Every output, pushed and pulled, whole, cut once anywhere and in pieces of one octet, agrees
// with reading whole; returns what reading whole gave.
std::string expect_every_split_agrees(std::string_view text, const ReaderOptions& options) {
  const auto stream = octets_of(text);
  std::vector<std::vector<std::uint64_t>> splits = {{}};
  std::vector<std::uint64_t> singles;
  for (std::uint64_t i = 1; i <= text.size(); ++i) {
    singles.push_back(i);
    if (i < text.size()) splits.push_back({i});
  }
  splits.push_back(singles);
  for (Output output : all_outputs) {
    const std::string want = describe(expected(options, stream, output));
    for (const auto& split : splits) {
      for (bool pull : {false, true}) {
        const auto got = run_engine(options, stream, split, output, pull);
        EXPECT_EQ(describe(got), want)
            << text << " output " << int(output) << " pull " << pull << " pieces " << split.size();
        EXPECT_EQ(got.items, expected(options, stream, output).items) << text;
      }
    }
  }
  return describe(expected(options, stream, Output::Values));
}

ReaderOptions input_limit(std::uint64_t n) {
  ReaderOptions o;
  o.max_input_len = n;
  return o;
}

TEST(StreamEngine, EverySplitThroughEachConstructReadsAsWhole) {
  // The answers are those of reading whole; the splits must not change them.
  EXPECT_EQ(expect_every_split_agrees("(1:a)(2:bc) [1:h]3:xyz", default_options),
            "0-5 5-11 12-22 end");
  EXPECT_EQ(expect_every_split_agrees("abc def\t\"q\\\"x\" #6162# |YWI=| {KDE6YSk=}", {}),
            "0-3 4-7 8-14 15-21 22-28 29-39 end");
  EXPECT_EQ(expect_every_split_agrees("(a (b \"c\\\nd\") [h]e)abc", default_options),
            "0-19 19-22 end");
  EXPECT_EQ(expect_every_split_agrees("(1:a)(1:b]", default_options), "0-5 unexpected_octet@9");
  //                                            ^ the ']'
  EXPECT_EQ(expect_every_split_agrees("(1:a) (2:b", default_options), "0-5 unexpected_end@10");
  EXPECT_EQ(expect_every_split_agrees("x {KDE6Y!k=} y", default_options), "0-1 invalid_base64@8");
  EXPECT_EQ(expect_every_split_agrees("3:abc 01:a", default_options), "0-5 length_leading_zero@6");
  EXPECT_EQ(expect_every_split_agrees("(1:a)abc", canonical_options), "0-5 advanced_not_allowed@5");
}

TEST(StreamEngine, LimitsHoldForEachExpressionAcrossPieces) {
  EXPECT_EQ(expect_every_split_agrees("(1:a)(1:b) (1:c)", input_limit(5)), "0-5 5-10 11-16 end");
  EXPECT_EQ(expect_every_split_agrees("(1:a)(1:bc)", input_limit(5)), "0-5 input_too_long@10");
  //                                        ^ the sixth octet of the second
  EXPECT_EQ(expect_every_split_agrees("abc abcd", input_limit(3)), "0-3 input_too_long@7");
  EXPECT_EQ(expect_every_split_agrees("3:abcdef", input_limit(5)), "0-5 5-8 end");
  EXPECT_EQ(expect_every_split_agrees("abc(", input_limit(3)), "0-3 unexpected_end@4");
  EXPECT_EQ(expect_every_split_agrees("(1:a)", input_limit(0)), "input_too_long@0");
  ReaderOptions depth;
  depth.max_depth = 2;
  EXPECT_EQ(expect_every_split_agrees("(()) ((()))", depth), "0-4 too_deep@7");
  ReaderOptions atoms;
  atoms.max_atom_len = 3;
  EXPECT_EQ(expect_every_split_agrees("3:abc |YWJjZA==|", atoms), "0-5 atom_too_long@6");
}

TEST(StreamEngine, RandomStreamsInEveryRepresentationReadAsWhole) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const std::string_view gaps[] = {"", " ", "\n", "\t \r\n"};
    for (int n = static_cast<int>(rng() % 5); n > 0; --n) {
      const Value value = testing_trees::random_tree(rng, 12);
      const Buffer written = rng() % 3 == 0   ? encode_canonical(value)
                             : rng() % 2 == 0 ? encode_transport(value)
                                              : encode_advanced(value);
      text += written.text();
      text += gaps[rng() % 4];
      if (!text.empty() && is_token_char(static_cast<std::uint8_t>(text.back()))) text += ' ';
    }
    if (rng() % 4 == 0) text.insert(rng() % (text.size() + 1), 1, "(])\"{|#"[rng() % 7]);
    ReaderOptions options;
    if (rng() % 3 == 0) options.max_input_len = rng() % 200;
    if (rng() % 3 == 0) options.max_depth = rng() % 6;
    const auto stream = octets_of(text);
    std::vector<std::uint64_t> ends;
    for (std::uint64_t at = 0; at < text.size();) ends.push_back(at += 1 + rng() % 9);
    for (Output output : all_outputs) {
      const auto want = expected(options, stream, output);
      const auto got = run_engine(options, stream, ends, output, rng() % 2 == 0);
      ASSERT_EQ(describe(got), describe(want)) << "round " << round << ": " << text;
      ASSERT_EQ(got.items, want.items) << "round " << round << ": " << text;
    }
  }
}

// A peer that sends its pieces and then waits for an answer: asked for more once it has nothing
// left, it fails the read (a real peer would block for ever).
class WaitingPeer final : public StreamSource {
 public:
  explicit WaitingPeer(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}

  bool next(std::span<const std::uint8_t>& piece) override {
    if (given_ == pieces_.size()) {
      ++waits;
      return false;
    }
    piece = octets_of(pieces_[given_++]);
    return true;
  }

  void send(std::string more) { pieces_.push_back(std::move(more)); }

  int waits = 0;

 private:
  std::vector<std::string> pieces_;
  std::size_t given_ = 0;
};

TEST(StreamEngine, AWaitingPeerGetsEachCompleteExpressionWithoutBeingAskedForMore) {
  // Whatever ends each piece, the S-expression it completes is read before any wait.
  for (std::string_view last :
       {"(1:a)", "3:abc", "[1:h]1:x", "\"a\\\"b\"", "#616263#", "|YWJj|", "{KDE6YSk=}", "abc "}) {
    WaitingPeer peer({"(1", "0:0123456789)", std::string(last)});
    StreamReader stream(default_options, peer);
    Value value;
    EXPECT_EQ(stream.next_value(value), StreamStatus::Read);
    EXPECT_EQ(encode_canonical(value).text(), "(10:0123456789)");
    EXPECT_EQ(stream.next_value(value), StreamStatus::Read) << last;
    EXPECT_EQ(peer.waits, 0) << last;
    EXPECT_EQ(stream.offset(), 15 + last.size() - (last.back() == ' ' ? 1 : 0));
  }
  // A refusal is told as soon as the octets make it certain.
  WaitingPeer refused({"(1:a)(1:b", "]"});
  StreamReader stream(default_options, refused);
  Value value;
  EXPECT_EQ(stream.next_value(value), StreamStatus::Read);
  EXPECT_EQ(stream.next_value(value), StreamStatus::Refused);
  EXPECT_EQ(refused.waits, 0);
  EXPECT_EQ(stream.refusal(), (ReadError{9, ErrorKind::UnexpectedOctet}));
  // A token at the end of what arrived may go on: only that waits, and the wait is told
  // (Stopped) without losing the token, which the next octet completes.
  WaitingPeer token({"abc"});
  StreamReader waits(default_options, token);
  EXPECT_EQ(waits.next_value(value), StreamStatus::Stopped);
  EXPECT_EQ(token.waits, 1);
  token.send("d)");
  EXPECT_EQ(waits.next_value(value), StreamStatus::Read);
  EXPECT_EQ(encode_canonical(value).text(), "4:abcd");
  EXPECT_EQ(waits.next_value(value), StreamStatus::Refused);
  EXPECT_EQ(waits.refusal(), (ReadError{4, ErrorKind::UnmatchedParenthesis}));
}

TEST(StreamEngine, APushedPieceMayBeOverwrittenOnceMoreIsAsked) {
  StreamReader stream(default_options);
  std::string piece;  // one buffer, refilled for every piece as a reading loop does
  std::vector<std::string> read;
  Value value;
  for (std::string_view next : {"(3:ab", "c)(1:", "x) to", "ken"}) {
    piece.assign(next.size(), '?');
    piece.assign(next);
    stream.push(piece);
    while (stream.next_value(value) == StreamStatus::Read) {
      read.push_back(std::string(encode_canonical(value).text()));
    }
    EXPECT_EQ(stream.status(), StreamStatus::NeedMore);
    piece.assign(piece.size(), '#');  // the engine copied what it still needs before asking
  }
  stream.finish();
  EXPECT_EQ(stream.next_value(value), StreamStatus::Read);
  read.push_back(std::string(encode_canonical(value).text()));
  EXPECT_EQ(stream.next_value(value), StreamStatus::Ended);
  EXPECT_EQ(read, (std::vector<std::string>{"(3:abc)", "(1:x)", "5:token"}));
  EXPECT_EQ(stream.offset(), 18u);
}

// A builder that fails its first atom after `fail_next` is set, as one out of memory would.
class FailingBuilder : public ValueBuilder {
 public:
  bool atom(std::span<const std::uint8_t> data) {
    if (fail_next) {
      fail_next = false;
      return false;
    }
    return ValueBuilder::atom(data);
  }

  bool fail_next = false;
};

TEST(StreamEngine, AFailedBuilderStopsTheReadAndTheSameExpressionComesNext) {
  // Split, so that the framer finds the first whole before it is read; the second lies whole in
  // what is held, and is read straight from it.
  for (bool first : {true, false}) {
    StreamReader stream(default_options);
    FailingBuilder builder;
    stream.push(std::string_view("(1:a"));
    EXPECT_EQ(stream.next_built(builder), StreamStatus::NeedMore);
    stream.push(std::string_view(") (1:b)"));
    stream.finish();
    if (!first) {
      EXPECT_EQ(stream.next_built(builder), StreamStatus::Read);
      EXPECT_EQ(encode_canonical(builder.take()).text(), "(1:a)");
    }
    builder.fail_next = true;
    EXPECT_EQ(stream.next_built(builder), StreamStatus::Stopped);
    EXPECT_EQ(stream.next_built(builder), StreamStatus::Read);
    EXPECT_EQ(encode_canonical(builder.take()).text(), first ? "(1:a)" : "(1:b)");
    EXPECT_EQ(stream.offset(), first ? 5u : 11u);
  }
}

TEST(StreamEngine, AFileIsAPlainLoopEndingInItsRefusal) {
  std::istringstream file("(3:rsa1:n) (3:dsa)\n [4:text]hello (1:x");
  IstreamSource source(file, 3);
  StreamReader stream(default_options, source);
  std::vector<std::string> read;
  ReadError refusal;
  for (StreamReader::Item item : stream.values()) {
    if (!item) {
      refusal = item.error();
      break;
    }
    read.push_back(std::string(encode_canonical(*item).text()));
  }
  EXPECT_EQ(read, (std::vector<std::string>{"(3:rsa1:n)", "(3:dsa)", "[4:text]5:hello"}));
  EXPECT_EQ(refusal, (ReadError{38, ErrorKind::UnexpectedEnd}));
  //                             ^ the file ends inside "(1:x"
  EXPECT_EQ(stream.status(), StreamStatus::Refused);
  std::uint64_t begins = 0;
  EXPECT_EQ(stream_testing::text_of(stream.held(34, 40, begins)), "(1:x");
  EXPECT_EQ(begins, 34u);

  std::istringstream clean("a b");
  IstreamSource clean_source(clean);
  StreamReader clean_stream(default_options, clean_source);
  int count = 0;
  for (StreamReader::Item item : clean_stream.values()) count += item ? 1 : 100;
  EXPECT_EQ(count, 2);
  EXPECT_EQ(clean_stream.status(), StreamStatus::Ended);
}

TEST(StreamEngine, ASourceThatCallsBackIntoItsEngineIsRefused) {
  class Nested final : public StreamSource {
   public:
    bool next(std::span<const std::uint8_t>& piece) override {
      Value value;
      nested = engine->next_value(value);
      piece = octets_of(given++ == 0 ? "(1:a" : ")");
      return true;
    }

    StreamReader* engine = nullptr;
    StreamStatus nested = StreamStatus::Read;
    int given = 0;
  } source;

  StreamReader stream(default_options, source);
  source.engine = &stream;
  Value value;
  EXPECT_EQ(stream.next_value(value), StreamStatus::Read);
  EXPECT_EQ(source.nested, StreamStatus::Busy);
  EXPECT_EQ(encode_canonical(value).text(), "(1:a)");
}

}  // namespace
}  // namespace tarnel
