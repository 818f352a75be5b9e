// What the framer must answer, worked out with the reader alone: a stream read whole, one
// S-expression after another with `read_prefix`, and a driver that feeds the framer the same
// stream in pieces. The framer's tests and its fuzz target compare the two.
//
// Reading whole: whitespace between S-expressions is skipped; each S-expression is read from
// the octets that follow, cut at `max_input_len`. Where that read runs out of octets at the cut
// and the stream goes on, the S-expression is too long; where it ends exactly at the cut, it is
// too long only if one more octet would have continued it (a token).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tarnel/error.h"
#include "tarnel/framer.h"
#include "tarnel/octet_string.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"

namespace tarnel::framing {

/// The S-expressions of a stream, as (start, end) offsets, and how it finished.
struct Outcome {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> frames;
  Frame last;  // Refused or Ended

  friend bool operator==(const Outcome& a, const Outcome& b) {
    return a.frames == b.frames && a.last.status == b.last.status &&
           (a.last.status != FrameStatus::Refused || a.last.error == b.last.error);
  }
};

inline Frame refused_at(ErrorKind kind, std::uint64_t offset) {
  return Frame{FrameStatus::Refused, 0, 0, ReadError{offset, kind}};
}

/// The stream read whole, with the reader.
inline Outcome frame_whole(const ReaderOptions& options, std::span<const std::uint8_t> stream) {
  ReaderOptions unlimited = options;
  unlimited.max_input_len = no_limit;
  const std::uint64_t limit = options.max_input_len;
  Outcome out;
  std::uint64_t pos = 0;
  for (;;) {
    while (pos < stream.size() && is_whitespace(stream[pos])) ++pos;
    if (pos == stream.size()) {
      out.last = Frame{FrameStatus::Ended, 0, 0, {}};
      return out;
    }
    const std::span<const std::uint8_t> rest = stream.subspan(pos);
    const bool cut = rest.size() > limit;
    Result<Prefix, ReadError> read = read_prefix(unlimited, cut ? rest.first(limit) : rest);
    if (!read) {
      const ReadError e = read.error();
      if (cut && e.kind == ErrorKind::UnexpectedEnd && e.offset == limit) {
        out.last = refused_at(ErrorKind::InputTooLong, pos + limit);
      } else {
        out.last = refused_at(e.kind, pos + e.offset);
      }
      return out;
    }
    if (cut && read->consumed == limit) {
      Result<Prefix, ReadError> again = read_prefix(unlimited, rest.first(limit + 1));
      if (!again || again->consumed != limit) {
        out.last = refused_at(ErrorKind::InputTooLong, pos + limit);
        return out;
      }
    }
    out.frames.emplace_back(pos, pos + read->consumed);
    pos += read->consumed;
  }
}

/// The stream fed to a framer in pieces: `piece_ends` are the offsets at which each piece ends
/// (increasing; the stream's size is added at the end). Each window the framer is shown starts
/// exactly at its `keep_from()` and is copied into a block of its own, so that a look outside
/// it shows up under AddressSanitizer. `calls` counts the scans.
inline Outcome frame_in_pieces(const ReaderOptions& options, std::span<const std::uint8_t> stream,
                               const std::vector<std::uint64_t>& piece_ends,
                               std::uint64_t* calls = nullptr) {
  Framer framer(options);
  Outcome out;
  std::size_t next_piece = 0;
  std::uint64_t received = 0;
  for (;;) {
    const std::uint64_t from = framer.keep_from();
    const std::uint64_t size = received - from;
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(block.get(), stream.data() + from, size);
    const bool at_end = received == stream.size();
    const Frame frame = framer.scan({block.get(), size}, from, at_end);
    if (calls != nullptr) ++*calls;
    switch (frame.status) {
      case FrameStatus::Complete:
        out.frames.emplace_back(frame.start, frame.end);
        break;
      case FrameStatus::NeedMore:
        if (at_end) {
          out.last = refused_at(ErrorKind::UnexpectedOctet, ~std::uint64_t{0});  // a defect
          return out;
        }
        while (next_piece < piece_ends.size() && piece_ends[next_piece] <= received) ++next_piece;
        received = next_piece < piece_ends.size() ? piece_ends[next_piece] : stream.size();
        if (received > stream.size()) received = stream.size();
        break;
      case FrameStatus::Refused:
      case FrameStatus::Ended:
        out.last = frame;
        return out;
    }
  }
}

inline std::string describe(const Outcome& o) {
  std::string s;
  for (const auto& [start, end] : o.frames) {
    s += std::to_string(start) + "-" + std::to_string(end) + " ";
  }
  if (o.last.status == FrameStatus::Ended) return s + "end";
  return s + std::string(error_kind_name(o.last.error.kind)) + "@" +
         std::to_string(o.last.error.offset);
}

}  // namespace tarnel::framing
