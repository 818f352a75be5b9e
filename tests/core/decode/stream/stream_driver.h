// The stream engine run over a stream cut into pieces, and what it must give, worked out from
// reading the stream whole (framing_reference.h: one S-expression after another with the reader).
// The engine's tests and its fuzz target compare the two, for every kind of output.
//
// Each piece lives in a heap block of its own that is freed as soon as the engine may no longer
// read it (when it asks for the next piece), so that a read of a piece it should have copied
// shows up under AddressSanitizer. Each time the engine asks for more, the octets it holds must
// not settle the S-expression under way: asking there is what would leave a waiting peer hanging.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "decode/reader/value_builder.h"
#include "framing_reference.h"
#include "tarnel/canonical.h"
#include "tarnel/converter.h"
#include "tarnel/octet_string.h"
#include "tarnel/pretty.h"
#include "tarnel/reader.h"
#include "tarnel/stream.h"

namespace tarnel::stream_testing {

/// The output an engine is asked for (Pretty: laid out by `narrow`, to a buffer or a sink).
enum class Output : std::uint8_t {
  Values,
  Built,
  Canonical,
  Transport,
  Advanced,
  Sink,
  Pretty,
  PrettySink
};

inline constexpr Output all_outputs[] = {Output::Values,   Output::Built,  Output::Canonical,
                                         Output::Transport, Output::Advanced, Output::Sink,
                                         Output::Pretty,    Output::PrettySink};

/// A layout narrow enough that most lists are broken over lines.
inline constexpr PrettyOptions narrow{12, 3};

inline bool laid_out(Output output) {
  return output == Output::Pretty || output == Output::PrettySink;
}

/// What a stream gave: each S-expression (its canonical octets, or the octets converted) with its
/// start and end, then how it finished; `fault` names a broken rule of the engine, if any.
struct Run {
  std::vector<std::string> items;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  StreamStatus last = StreamStatus::Ended;
  ReadError refusal;
  std::string fault;

  friend bool operator==(const Run&, const Run&) = default;
};

inline std::string text_of(std::span<const std::uint8_t> octets) {
  return {reinterpret_cast<const char*>(octets.data()), octets.size()};
}

inline std::string describe(const Run& run) {
  std::string s = run.fault.empty() ? "" : "FAULT " + run.fault + ": ";
  for (std::size_t i = 0; i < run.items.size(); ++i) {
    s += std::to_string(run.spans[i].first) + "-" + std::to_string(run.spans[i].second) + " ";
  }
  if (run.last == StreamStatus::Ended) return s + "end";
  if (run.last != StreamStatus::Refused) return s + "status " + std::to_string(int(run.last));
  return s + std::string(error_kind_name(run.refusal.kind)) + "@" +
         std::to_string(run.refusal.offset);
}

inline OutputForm form_of(Output output) {
  if (output == Output::Transport) return OutputForm::Transport;
  if (output == Output::Advanced || output == Output::Sink) return OutputForm::Advanced;
  return OutputForm::Canonical;
}

/// What the engine must give: the S-expressions of reading whole, each read or converted alone.
inline Run expected(const ReaderOptions& options, std::span<const std::uint8_t> stream,
                    Output output) {
  const framing::Outcome whole = framing::frame_whole(options, stream);
  Run run;
  for (const auto& [start, end] : whole.frames) {
    const auto octets = stream.subspan(start, end - start);
    if (output == Output::Values || output == Output::Built) {
      Result<Prefix, ReadError> read = read_prefix(options, octets);
      run.items.push_back(read ? text_of(encode_canonical(read->value).view()) : "?");
    } else if (laid_out(output)) {
      // Laid out from the value read, not by the converter the engine uses.
      Result<Prefix, ReadError> read = read_prefix(options, octets);
      run.items.push_back(read ? text_of(encode_pretty(read->value, narrow).view()) : "?");
    } else {
      Buffer out;
      Result<std::uint64_t, ReadError> converted =
          convert_prefix(options, octets, form_of(output), out);
      run.items.push_back(converted ? text_of(out.view()) : "?");
    }
    run.spans.emplace_back(start, end);
  }
  run.last = whole.last.status == FrameStatus::Ended ? StreamStatus::Ended : StreamStatus::Refused;
  if (run.last == StreamStatus::Refused) run.refusal = whole.last.error;
  return run;
}

/// Whether the octets `held` (the start of the S-expression under way, as far as received)
/// already settle it: read, or refused, whatever follows. The engine must not ask for more then.
inline bool settled(const ReaderOptions& options, std::span<const std::uint8_t> held) {
  ReaderOptions unlimited = options;
  unlimited.max_input_len = no_limit;
  const bool cut = held.size() > options.max_input_len;
  const auto tried = cut ? held.first(options.max_input_len) : held;
  Result<Prefix, ReadError> read = read_prefix(unlimited, tried);
  if (read) {
    const std::uint64_t n = read->consumed;
    return n < tried.size() || cut || tried[0] == '(' || tried[0] == '{' ||
           !is_token_char(tried[n - 1]);
  }
  const ReadError e = read.error();
  return cut || e.kind != ErrorKind::UnexpectedEnd || e.offset != tried.size();
}

/// Feeds `stream` to an engine in pieces ending at `piece_ends` (increasing; the stream's end is
/// added), each in its own heap block, and checks each request for more against `settled`.
class Feeder {
 public:
  Feeder(const ReaderOptions& options, std::span<const std::uint8_t> stream,
         std::vector<std::uint64_t> piece_ends)
      : options_(options), stream_(stream), ends_(std::move(piece_ends)) {}

  /// Called when the engine asks for more, with the start of the S-expression it is at (or the
  /// end of the last one read). False at the end of the stream.
  bool next(std::span<const std::uint8_t>& piece, std::uint64_t from, std::string& fault) {
    std::uint64_t sexp = from;
    while (sexp < received_ && is_whitespace(stream_[sexp])) ++sexp;
    if (sexp < received_ && fault.empty() &&
        settled(options_, stream_.subspan(sexp, received_ - sexp))) {
      fault = "asked for more at " + std::to_string(received_) + " where the octets held from " +
              std::to_string(sexp) + " settle it";
    }
    block_.reset();  // the engine may no longer read the last piece
    if (received_ == stream_.size()) return false;
    while (next_ < ends_.size() && ends_[next_] <= received_) ++next_;
    std::uint64_t end = next_ < ends_.size() ? ends_[next_] : stream_.size();
    if (end > stream_.size()) end = stream_.size();
    block_.reset(new std::uint8_t[end - received_]);
    std::memcpy(block_.get(), stream_.data() + received_, end - received_);
    piece = {block_.get(), static_cast<std::size_t>(end - received_)};
    received_ = end;
    return true;
  }

 private:
  ReaderOptions options_;
  std::span<const std::uint8_t> stream_;
  std::vector<std::uint64_t> ends_;
  std::size_t next_ = 0;
  std::uint64_t received_ = 0;
  std::unique_ptr<std::uint8_t[]> block_;
};

/// Collects a sink's pieces.
class StringSink final : public OutputSink {
 public:
  bool write(std::span<const std::uint8_t> octets) override {
    text += text_of(octets);
    return true;
  }

  std::string text;
};

/// Takes one step of `reader` for `output`; the item read goes to `item`.
inline StreamStatus step(StreamReader& reader, Output output, std::string& item) {
  if (output == Output::Values) {
    Value value;
    const StreamStatus s = reader.next_value(value);
    if (s == StreamStatus::Read) item = text_of(encode_canonical(value).view());
    return s;
  }
  if (output == Output::Built) {
    ValueBuilder builder;
    const StreamStatus s = reader.next_built(builder);
    if (s == StreamStatus::Read) {
      if (builder.size() != 1) return StreamStatus::Inconsistent;
      item = text_of(encode_canonical(builder.take()).view());
    }
    return s;
  }
  Buffer out;
  out.append(std::string_view("junk"));  // what the engine appends to must stay
  StringSink sink;
  OutputSink* const to = output == Output::Sink || output == Output::PrettySink ? &sink : nullptr;
  const StreamStatus s = laid_out(output) ? reader.next_converted(narrow, out, to)
                                          : reader.next_converted(form_of(output), out, to);
  if (out.text().substr(0, 4) != "junk") return StreamStatus::Inconsistent;
  if (s != StreamStatus::Read && out.size() != 4) return StreamStatus::Inconsistent;
  if (s == StreamStatus::Read) item = sink.text + std::string(out.text().substr(4));
  return s;
}

/// The engine over the stream in pieces: pushed, or pulled from a source.
inline Run run_engine(const ReaderOptions& options, std::span<const std::uint8_t> stream,
                      const std::vector<std::uint64_t>& piece_ends, Output output, bool pull) {
  Feeder feeder(options, stream, piece_ends);
  Run run;

  class Source final : public StreamSource {
   public:
    Source(Feeder& feeder, StreamReader*& reader, std::string& fault)
        : feeder_(feeder), reader_(reader), fault_(fault) {}

    bool next(std::span<const std::uint8_t>& piece) override {
      piece = {};
      feeder_.next(piece, reader_->offset(), fault_);
      return true;
    }

   private:
    Feeder& feeder_;
    StreamReader*& reader_;
    std::string& fault_;
  };

  StreamReader* engine = nullptr;
  Source source(feeder, engine, run.fault);
  std::unique_ptr<StreamReader> reader = pull ? std::make_unique<StreamReader>(options, source)
                                              : std::make_unique<StreamReader>(options);
  engine = reader.get();
  for (std::size_t steps = 0; steps < 4 * stream.size() + 16; ++steps) {
    std::string item;
    const StreamStatus s = step(*reader, output, item);
    if (s == StreamStatus::Read) {
      run.items.push_back(item);
      run.spans.emplace_back(reader->start(), reader->offset());
      continue;
    }
    if (s == StreamStatus::NeedMore && !pull) {
      std::span<const std::uint8_t> piece;
      if (feeder.next(piece, reader->offset(), run.fault)) {
        reader->push(piece);
      } else {
        reader->finish();
      }
      continue;
    }
    run.last = s;
    if (s == StreamStatus::Refused) run.refusal = reader->refusal();
    return run;
  }
  run.fault = "no end";
  return run;
}

}  // namespace tarnel::stream_testing
