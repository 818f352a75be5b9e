#include "tarnel/stream.h"

#include <cstring>
#include <utility>

#include "decode/reader/value_builder.h"
#include "tarnel/octet_string.h"

namespace tarnel {
namespace {

using View = std::span<const std::uint8_t>;

// Octets kept on each side of a refusal, for showing the input there; and from the start of the
// S-expression refused where that is at most `kept_start_room` before it, for finding what the
// refusal stands in by reading those octets again.
constexpr std::uint64_t kept_room = 1024;
constexpr std::uint64_t kept_start_room = std::uint64_t{1} << 16;

// A buffer that grew this large for one long S-expression is given back once it is read.
constexpr std::size_t keep_capacity = std::size_t{1} << 22;

// Whether a read that used every octet tried cannot go on past them: only an atom written as a
// token (or verbatim, ending in a token's octet) may.
bool ends_for_certain(View tried, std::uint64_t consumed) noexcept {
  const std::uint8_t first = tried[0];
  if (first == '(' || first == '{') return true;
  return !is_token_char(tried[static_cast<std::size_t>(consumed) - 1]);
}

}  // namespace

class StreamReader::ValueReading final : public StreamReader::Reading {
 public:
  explicit ValueReading(BuildScratch& scratch) noexcept : scratch_(scratch) {}

  Built read(const ReaderOptions& options, View octets, bool) override {
    builder_.reset();
    return build_prefix(options, octets, builder_, scratch_);
  }

  void discard() noexcept override { builder_.reset(); }

  Value take() noexcept { return builder_.take(); }

 private:
  ValueBuilder builder_;
  BuildScratch& scratch_;
};

class StreamReader::ConvertReading final : public StreamReader::Reading {
 public:
  // With a `layout`, the octets are those of the laid-out form, and `form` is not used.
  ConvertReading(OutputForm form, const PrettyOptions* layout, Buffer& out, OutputSink* sink,
                 ConvertScratch& scratch) noexcept
      : form_(form), layout_(layout), out_(out), sink_(sink), scratch_(scratch) {}

  Built read(const ReaderOptions& options, View octets, bool whole) override {
    mark_ = out_.size();
    // Found whole by the framer, so it converts: the output may go out in pieces.
    if (whole && sink_ != nullptr) {
      return layout_ != nullptr
                 ? convert_prefix(options, octets, *layout_, *sink_, default_piece_size, &scratch_)
                 : convert_prefix(options, octets, form_, *sink_, default_piece_size, &scratch_);
    }
    Result<std::uint64_t, ReadError> converted =
        layout_ != nullptr ? convert_prefix(options, octets, *layout_, out_, &scratch_)
                           : convert_prefix(options, octets, form_, out_, &scratch_);
    if (!converted) return Stop{false, converted.error()};
    return *converted;
  }

  // (After a sink took part of the output, the buffer may hold less than before.)
  void discard() noexcept override {
    if (out_.size() > mark_) out_.shrink_by(out_.size() - mark_);
  }

 private:
  const OutputForm form_;
  const PrettyOptions* const layout_;
  Buffer& out_;
  OutputSink* const sink_;
  ConvertScratch& scratch_;
  std::size_t mark_ = 0;
};

IstreamSource::IstreamSource(std::istream& in, std::size_t piece_size)
    : in_(in), size_(piece_size == 0 ? 1 : piece_size), piece_(new char[size_]) {}

IstreamSource::~IstreamSource() = default;

bool IstreamSource::next(View& piece) {
  in_.read(piece_.get(), static_cast<std::streamsize>(size_));
  const std::streamsize got = in_.gcount();
  if (in_.bad()) return false;
  piece = View(reinterpret_cast<const std::uint8_t*>(piece_.get()), static_cast<std::size_t>(got));
  return true;
}

StreamReader::StreamReader(const ReaderOptions& options)
    : options_(options), unlimited_(options), framer_(options) {
  unlimited_.max_input_len = no_limit;
}

StreamReader::StreamReader(const ReaderOptions& options, StreamSource& source)
    : StreamReader(options) {
  source_ = &source;
}

StreamReader::~StreamReader() = default;

std::uint64_t StreamReader::offset() const noexcept {
  return final_ ? finished_at_ : view_start_ + head_;
}

View StreamReader::held(std::uint64_t from, std::uint64_t to,
                        std::uint64_t& begins) const noexcept {
  const std::uint64_t end = view_start_ + view_.size();
  if (from < view_start_) from = view_start_;
  if (to > end) to = end;
  if (from > to) from = to;
  begins = from;
  return view_.subspan(static_cast<std::size_t>(from - view_start_),
                       static_cast<std::size_t>(to - from));
}

// Before the engine asks for more, the unread octets of a piece read in place are copied: the
// caller may reuse the piece once asked.
void StreamReader::secure() {
  if (!in_place_) return;
  const View rest = view_.subspan(head_);
  owned_.clear();
  owned_.append(rest);
  view_start_ += head_;
  head_ = 0;
  view_ = owned_.view();
  in_place_ = false;
}

// Keeps `octets` after what is held and not yet read.
void StreamReader::take_piece(View octets) {
  if (head_ == view_.size()) {
    // Everything held has been read: the piece is read where it is.
    view_start_ += view_.size();
    head_ = 0;
    view_ = octets;
    in_place_ = true;
    if (owned_.capacity() > keep_capacity) {
      owned_ = Buffer();
    } else {
      owned_.clear();
    }
    return;
  }
  secure();
  if (head_ != 0 && head_ >= owned_.size() / 2) {
    // Octets already read are dropped once they are half the buffer: each moves at most once
    // per doubling.
    std::memmove(owned_.data(), owned_.data() + head_, owned_.size() - head_);
    owned_.shrink_by(head_);
    view_start_ += head_;
    head_ = 0;
  }
  owned_.append(octets);
  view_ = owned_.view();
}

void StreamReader::push(View piece) {
  if (!piece.empty() && !eof_ && !final_) take_piece(piece);
}

StreamReader::More StreamReader::more() {
  secure();
  if (source_ == nullptr) return More::NeedMore;
  View piece;
  if (!source_->next(piece)) return More::Stopped;
  if (piece.empty()) {
    eof_ = true;
  } else {
    take_piece(piece);
  }
  return More::Got;
}

// The stream is over: what it was read from is let go, and after a refusal a copy of the octets
// around it is kept for `held`.
StreamStatus StreamReader::finish_with(StreamStatus status, const ReadError* refusal) {
  finished_at_ = view_start_ + head_;
  final_ = true;
  View kept_view;
  std::uint64_t kept_start = finished_at_;
  if (refusal != nullptr) {
    refusal_ = *refusal;
    if (!view_.empty()) {
      const std::uint64_t end = view_start_ + view_.size();
      std::uint64_t at = refusal->offset < end ? refusal->offset : end;
      if (at < view_start_) at = view_start_;
      std::uint64_t from = at - view_start_ > kept_room ? at - kept_room : view_start_;
      if (start_ < from && start_ >= view_start_ && at - start_ <= kept_start_room) from = start_;
      const std::uint64_t to = end - at > kept_room ? at + kept_room : end;
      Buffer kept;
      kept.append(view_.subspan(static_cast<std::size_t>(from - view_start_),
                                static_cast<std::size_t>(to - from)));
      owned_ = std::move(kept);
      kept_view = owned_.view();
      kept_start = from;
    }
  }
  if (kept_view.empty()) owned_ = Buffer();
  view_ = kept_view;
  in_place_ = false;
  view_start_ = kept_start;
  head_ = 0;
  return status;
}

StreamStatus StreamReader::advance(Reading& reading) {
  if (running_) return StreamStatus::Busy;
  if (final_) return status_;
  running_ = true;

  struct Leave {
    bool& running;

    ~Leave() { running = false; }
  } leave{running_};

  status_ = step(reading);
  return status_;
}

StreamStatus StreamReader::step(Reading& reading) {
  while (!framed_) {
    if (framer_.between()) {
      while (head_ < view_.size() && is_whitespace(view_[head_])) ++head_;
      framer_.skip_to(view_start_ + head_);
      if (head_ == view_.size()) {
        if (eof_) return finish_with(StreamStatus::Ended);
        const More got = more();
        if (got == More::NeedMore) return StreamStatus::NeedMore;
        if (got == More::Stopped) return StreamStatus::Stopped;
        continue;
      }
      // Read straight from what is held; where that runs out of octets before the S-expression
      // ends, the framer takes over from its start.
      start_ = view_start_ + head_;
      const View rest = view_.subspan(head_);
      const bool cut = rest.size() > options_.max_input_len;
      const View tried = cut ? rest.first(static_cast<std::size_t>(options_.max_input_len)) : rest;
      Built read = reading.read(unlimited_, tried, false);
      if (read) {
        if (*read < tried.size() || (eof_ && !cut) || (!cut && ends_for_certain(tried, *read))) {
          head_ += static_cast<std::size_t>(*read);
          framer_.skip_to(view_start_ + head_);
          return StreamStatus::Read;
        }
        reading.discard();
      } else {
        if (read.error().by_builder) return StreamStatus::Stopped;
        reading.discard();
        const ReadError e = read.error().refusal;
        if (e.kind != ErrorKind::UnexpectedEnd || e.offset != tried.size()) {
          const ReadError refusal{start_ + e.offset, e.kind};
          return finish_with(StreamStatus::Refused, &refusal);
        }
        if (cut) {
          const ReadError refusal{start_ + options_.max_input_len, ErrorKind::InputTooLong};
          return finish_with(StreamStatus::Refused, &refusal);
        }
        if (eof_) {
          const ReadError refusal{start_ + e.offset, e.kind};
          return finish_with(StreamStatus::Refused, &refusal);
        }
      }
    }
    const Frame frame = framer_.scan(view_.subspan(head_), view_start_ + head_, eof_);
    switch (frame.status) {
      case FrameStatus::NeedMore: {
        const More got = more();
        if (got == More::NeedMore) return StreamStatus::NeedMore;
        if (got == More::Stopped) return StreamStatus::Stopped;
        continue;
      }
      case FrameStatus::Ended:
        return finish_with(StreamStatus::Ended);
      case FrameStatus::Refused:
        return finish_with(StreamStatus::Refused, &frame.error);
      case FrameStatus::Complete:
        break;
    }
    // The framer has moved past it: until it is read, it is read again from here.
    start_ = frame.start;
    framed_end_ = frame.end;
    framed_ = true;
  }
  const View sexp = view_.subspan(static_cast<std::size_t>(start_ - view_start_),
                                  static_cast<std::size_t>(framed_end_ - start_));
  Built read = reading.read(options_, sexp, true);
  if (!read && read.error().by_builder) return StreamStatus::Stopped;
  framed_ = false;
  if (!read || *read != sexp.size()) {
    reading.discard();
    return finish_with(StreamStatus::Inconsistent);
  }
  head_ = static_cast<std::size_t>(framed_end_ - view_start_);
  return StreamStatus::Read;
}

StreamStatus StreamReader::next_value(Value& value) {
  ValueReading reading(build_scratch_);
  const StreamStatus status = advance(reading);
  if (status == StreamStatus::Read) value = reading.take();
  return status;
}

StreamStatus StreamReader::next_converted(OutputForm form, Buffer& out, OutputSink* sink) {
  if (!convert_scratch_) convert_scratch_ = std::make_unique<ConvertScratch>();
  ConvertReading reading(form, nullptr, out, sink, *convert_scratch_);
  return advance(reading);
}

StreamStatus StreamReader::next_converted(const PrettyOptions& layout, Buffer& out,
                                          OutputSink* sink) {
  if (!convert_scratch_) convert_scratch_ = std::make_unique<ConvertScratch>();
  ConvertReading reading(OutputForm::Advanced, &layout, out, sink, *convert_scratch_);
  return advance(reading);
}

void StreamReader::Values::load() {
  const StreamStatus status = stream_.next_value(value_);
  loaded_ = status == StreamStatus::Read || status == StreamStatus::Refused;
  done_ = !loaded_;
}

StreamReader::Item StreamReader::Values::iterator::operator*() {
  if (values_->stream_.status() == StreamStatus::Refused) return values_->stream_.refusal();
  return std::move(values_->value_);
}

StreamReader::Values::iterator& StreamReader::Values::iterator::operator++() noexcept {
  values_->loaded_ = false;
  if (values_->stream_.status() == StreamStatus::Refused) values_->done_ = true;
  return *this;
}

bool StreamReader::Values::iterator::operator==(std::default_sentinel_t) const {
  if (!values_->loaded_ && !values_->done_) values_->load();
  return !values_->loaded_;
}

}  // namespace tarnel
