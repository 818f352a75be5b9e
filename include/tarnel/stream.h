// The stream engine: the S-expressions of a stream, one after another, as its octets arrive.
//
// A stream is S-expressions back to back, with any of the six whitespace octets between them. The
// engine takes the stream's octets in pieces, pushed by the caller (`push`, `finish`) or pulled
// from a `StreamSource`, and gives each S-expression in turn as a `Value`, as its octets in one
// representation (through the converter), or as calls on a builder of the caller's own
// (build.h), which is how a binding makes its own objects with no tree in between.
//
// What it gives does not depend on how the stream is cut: every split of the same octets gives
// the same S-expressions and the same refusal, of the same kind at the same offset, that reading
// the octets whole gives. Offsets count from the first octet of the stream. Each S-expression is
// read under the options on its own: `max_input_len` counts the octets of one S-expression (not
// the whitespace between them), and every limit holds across the pieces.
//
// How: an S-expression that lies whole in what is held is read straight from it, where it lies
// (a piece is read in place, not copied); only where the held octets run out first does the
// framer (framer.h) follow it as the pieces arrive, and it is read once its end is found. The
// engine asks for more only where the S-expression under way may still go on: never where reading
// the octets held would refuse, so a peer that sends one S-expression and waits for an answer
// gets it at once. A token that runs to the last octet held may go on, so it waits for one more
// octet or the end of the stream.
//
// Memory: the octets held are those of the S-expression under way and of the piece at hand, and
// after a refusal a copy of those around it (`held`); nothing is sized from a length the input
// claims. Nothing recurses.
//
// Thread safety: one engine is used by one thread at a time; engines share nothing. A source, a
// builder or a sink that calls back into the engine it serves is refused (`StreamStatus::Busy`).
//
// A plain loop over every S-expression of a file:
//
//     std::ifstream file("keys.sexp", std::ios::binary);
//     tarnel::IstreamSource source(file);
//     tarnel::StreamReader stream(options, source);
//     for (tarnel::Result<tarnel::Value, tarnel::ReadError> value : stream.values()) {
//       if (!value) return report(value.error());  // kind, and offset in the stream
//       use(*value);
//     }
//     if (stream.status() == tarnel::StreamStatus::Stopped) ...  // the file could not be read
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>

#include "tarnel/buffer.h"
#include "tarnel/build.h"
#include "tarnel/converter.h"
#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/framer.h"
#include "tarnel/options.h"
#include "tarnel/pretty.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel {

/// What a step of the engine came to.
enum class StreamStatus : std::uint8_t {
  /// An S-expression was read: in the value, buffer or builder given.
  Read,
  /// The stream is given by `push`, and the engine needs the next piece (or `finish`).
  NeedMore,
  /// The stream ended cleanly: only whitespace after the last S-expression. Final.
  Ended,
  /// The stream is refused: `refusal()` says how and where. Final.
  Refused,
  /// The source, the builder or the sink failed and said so; the engine moved past nothing, and
  /// the same call may be made again.
  Stopped,
  /// Called from within a source, builder or sink of this same engine: nothing was done.
  Busy,
  /// An internal fault of tarnel: the framer found an S-expression whole that the reader then
  /// read otherwise. Final. The fuzz targets check that this never happens.
  Inconsistent,
};

/// Where an engine pulls the pieces of its stream from.
class TARNEL_EXPORT StreamSource {
 public:
  virtual ~StreamSource() = default;

  /// Sets `piece` to the next octets of the stream, or to an empty span at its end, and returns
  /// true; or returns false where the source failed (its reason kept to itself). The octets must
  /// stay valid until the engine next asks for a piece or is destroyed: the engine reads them in
  /// place and copies what it still needs before it asks again.
  virtual bool next(std::span<const std::uint8_t>& piece) = 0;
};

/// A source reading a `std::istream` in pieces of `piece_size` octets. It fails where the stream
/// goes bad; end of file is the end of the S-expression stream.
class TARNEL_EXPORT IstreamSource final : public StreamSource {
 public:
  explicit IstreamSource(std::istream& in, std::size_t piece_size = std::size_t{1} << 16);
  ~IstreamSource() override;
  IstreamSource(const IstreamSource&) = delete;
  IstreamSource& operator=(const IstreamSource&) = delete;

  bool next(std::span<const std::uint8_t>& piece) override;

 private:
  std::istream& in_;
  std::size_t size_;
  std::unique_ptr<char[]> piece_;
};

/// The stream engine: reads the S-expressions of one stream, one per call of a `next_` function.
///
/// The octets come either from a source given to the constructor, which the engine calls when it
/// needs more, or from `push` and `finish`: `next_` then answers `NeedMore` when it needs the
/// next piece. A pushed piece is read in place: it must stay valid until `next_` answers
/// `NeedMore`, the next `push`, the end of the stream (`Ended`, `Refused`) or the engine's
/// destruction, whichever comes first. `push` and `finish` may be called at any time before
/// `finish`; the whole stream at once is one `push` and `finish`.
///
/// Nothing throws but std::bad_alloc (after which the engine is best dropped) and what a source,
/// builder or sink throws, which passes through the call and leaves the engine as a `Stopped`
/// answer would.
///
/// Each `next_` function reads the next S-expression into its own kind of output; they may be
/// mixed. After `Ended`, `Refused` or `Inconsistent` every call gives the same answer.
class TARNEL_EXPORT StreamReader {
 public:
  /// An engine whose stream is pushed. The options are copied.
  explicit StreamReader(const ReaderOptions& options);

  /// An engine that pulls its stream from `source`, which must outlive it.
  StreamReader(const ReaderOptions& options, StreamSource& source);

  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  /// The next piece of a pushed stream (an empty one is ignored). Throws std::bad_alloc where
  /// the octets still needed of an earlier piece cannot be copied.
  void push(std::span<const std::uint8_t> piece);

  /// As above, over the octets of `text` or of `bytes`.
  void push(std::string_view text) { push(as_octets(text)); }

  void push(std::span<const std::byte> bytes) { push(as_octets(bytes)); }

  /// Says that the pushed stream has ended.
  void finish() noexcept { eof_ = true; }

  /// Reads the next S-expression into `value` (replaced only on `Read`).
  StreamStatus next_value(Value& value);

  /// Reads the next S-expression and appends its octets in `form` to `out`: all of them on
  /// `Read`, none on any other answer. With a `sink`, an S-expression the engine has found whole
  /// before reading it is written to the sink instead, in pieces, so that a long one never sits
  /// whole in memory; a sink that refuses a piece stops the read (`Stopped`), and the same
  /// S-expression is converted again on the next call.
  StreamStatus next_converted(OutputForm form, Buffer& out, OutputSink* sink = nullptr);

  /// As above, but appends the advanced form laid out by `layout` (pretty.h), each S-expression
  /// starting at column 0 with no line break after its last line. The layout holds back about a
  /// line of text, whatever the size of the S-expression, and lays out any depth the options
  /// let the reader read.
  StreamStatus next_converted(const PrettyOptions& layout, Buffer& out,
                              OutputSink* sink = nullptr);

  /// Reads the next S-expression into `builder`, which on `Read` holds it as its one element.
  /// The engine calls `reset()` before each attempt, so whatever the builder held is dropped.
  template <StreamBuilder B>
  StreamStatus next_built(B& builder) {
    BuilderReading<B> reading(builder, build_scratch_);
    return advance(reading);
  }

  /// What the last step came to.
  StreamStatus status() const noexcept { return status_; }

  /// The refusal, once the answer is `Refused`: its kind, and its offset in the stream.
  const ReadError& refusal() const noexcept { return refusal_; }

  /// The octets of the stream consumed so far: just past the last S-expression read (once the
  /// stream has ended or been refused, where it stopped).
  std::uint64_t offset() const noexcept;

  /// Where the S-expression read last, or the one under way, begins.
  std::uint64_t start() const noexcept { return start_; }

  /// The octets still held between the stream offsets `from` and `to`, and in `begins` the offset
  /// of the first of them. After a refusal, up to 1 KiB on each side of it are kept (and from the
  /// start of the S-expression refused, where that is at most 64 KiB before it). The view is
  /// valid until the engine's next step.
  std::span<const std::uint8_t> held(std::uint64_t from, std::uint64_t to,
                                     std::uint64_t& begins) const noexcept;

  /// The items of a loop over the values of the stream.
  using Item = Result<Value, ReadError>;

  /// A loop over the values still to come: each S-expression as a `Value`, and a refusal as the
  /// last item, with its kind and offset in the stream. The loop also ends where the engine needs
  /// a piece pushed or its source fails: `status()` then says which.
  class Values;
  Values values() noexcept;

 private:
  // One read of an S-expression into the caller's kind of output. `whole` says that the framer
  // has found the octets to be exactly one S-expression; otherwise the read may be abandoned
  // (`discard`) where it ran to the end of the octets held.
  class Reading {
   public:
    virtual Built read(const ReaderOptions& options, std::span<const std::uint8_t> octets,
                       bool whole) = 0;
    virtual void discard() noexcept = 0;

   protected:
    ~Reading() = default;
  };

  template <class B>
  class BuilderReading final : public Reading {
   public:
    BuilderReading(B& builder, BuildScratch& scratch) noexcept
        : builder_(builder), scratch_(scratch) {}

    Built read(const ReaderOptions& options, std::span<const std::uint8_t> octets, bool) override {
      builder_.reset();
      return build_prefix(options, octets, builder_, scratch_);
    }

    void discard() noexcept override { builder_.reset(); }

   private:
    B& builder_;
    BuildScratch& scratch_;
  };

  class ValueReading;
  class ConvertReading;

  enum class More : std::uint8_t { Got, NeedMore, Stopped };

  StreamStatus advance(Reading& reading);
  StreamStatus step(Reading& reading);
  More more();
  void secure();
  void take_piece(std::span<const std::uint8_t> octets);
  StreamStatus finish_with(StreamStatus status, const ReadError* refusal = nullptr);

  const ReaderOptions options_;
  ReaderOptions unlimited_;  // the same, with the input limit applied by cutting the input
  Framer framer_;
  StreamSource* source_ = nullptr;
  BuildScratch build_scratch_;
  std::unique_ptr<ConvertScratch> convert_scratch_;

  Buffer owned_;                        // octets copied, where not read in place
  std::span<const std::uint8_t> view_;  // the octets held: a piece, or `owned_`
  bool in_place_ = false;               // whether `view_` is a piece, not `owned_`
  std::uint64_t view_start_ = 0;        // the stream offset of view_[0]
  std::size_t head_ = 0;                // the first octet of view_ not yet read
  bool eof_ = false;
  std::uint64_t start_ = 0;       // where the S-expression read last, or under way, begins
  std::uint64_t framed_end_ = 0;  // with `framed_`: where the one found by the framer ends
  bool framed_ = false;           // the framer has found it whole, and it is still to be read
  std::uint64_t finished_at_ = 0;
  StreamStatus status_ = StreamStatus::NeedMore;
  bool final_ = false;
  bool running_ = false;
  ReadError refusal_;
};

/// The loop of `StreamReader::values()`: an input range.
class TARNEL_EXPORT StreamReader::Values {
 public:
  class iterator {
   public:
    using value_type = Item;
    using difference_type = std::ptrdiff_t;

    /// The item at hand: the value (moved out), or the refusal.
    Item operator*();
    iterator& operator++() noexcept;

    void operator++(int) noexcept { ++*this; }

    /// Whether the loop is over; reads the next S-expression where none is at hand.
    bool operator==(std::default_sentinel_t) const;

   private:
    friend class Values;

    explicit iterator(Values* values) noexcept : values_(values) {}

    Values* values_;
  };

  iterator begin() noexcept { return iterator(this); }

  std::default_sentinel_t end() const noexcept { return {}; }

 private:
  friend class StreamReader;

  explicit Values(StreamReader& stream) noexcept : stream_(stream) {}

  void load();

  StreamReader& stream_;
  Value value_;
  bool loaded_ = false;  // an item is at hand
  bool done_ = false;    // the loop is over
};

inline StreamReader::Values StreamReader::values() noexcept { return Values(*this); }

}  // namespace tarnel
