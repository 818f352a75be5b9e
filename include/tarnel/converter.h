// The converter: one S-expression in any representation the reader accepts, written out again in
// the canonical (§6.2), basic transport (§6.3) or advanced (§6.4) form, with no `Value` tree in
// between. The reader reads the input and hands each atom and each list bracket at once to the
// writers of canonical.h and advanced.h (through base-64 for transport), so the output is the same
// octets as `encode_canonical`, `encode_transport` or `encode_advanced` of what `read_prefix`
// reads, and every refusal is the one `read_prefix` gives: same kind, same offset.
//
// Nothing is kept per element: besides the reader's stack of open lists, the converter holds one
// octet per open list and an output buffer. With a sink, the buffer is handed over whenever it
// holds `piece_size` octets, so it never holds much more than that plus the text of one atom
// (whatever its nesting or number of elements); transport output also stages up to about
// `piece_size` canonical octets, of which 0-2 are carried from one base-64 piece to the next.
// Lists may be as deep as the options allow; nothing recurses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/options.h"
#include "tarnel/pretty.h"
#include "tarnel/result.h"

namespace tarnel {

/// The representation a conversion writes.
enum class OutputForm : std::uint8_t { Canonical, Transport, Advanced };

/// Receives the output of a conversion in consecutive pieces, none of them empty. Returning false
/// stops the conversion, which then reports `Stop::by_builder`.
class TARNEL_EXPORT OutputSink {
 public:
  virtual ~OutputSink() = default;

  /// One piece, valid only during the call. Returns whether the conversion may go on. An
  /// exception it throws ends the conversion and passes through it to its caller.
  virtual bool write(std::span<const std::uint8_t> octets) = 0;
};

/// What one conversion leaves for the next: a caller converting many S-expressions one after
/// another passes the same one to each, so that none of them allocates it afresh. One scratch
/// serves one conversion at a time.
class TARNEL_EXPORT ConvertScratch {
 public:
  /// Empty scratch space. Throws std::bad_alloc when memory runs out.
  ConvertScratch();
  ~ConvertScratch();
  ConvertScratch(const ConvertScratch&) = delete;
  ConvertScratch& operator=(const ConvertScratch&) = delete;

 private:
  friend class ConvertScratchAccess;
  struct Storage;
  std::unique_ptr<Storage> storage_;
};

/// The default size of the pieces handed to a sink.
inline constexpr std::size_t default_piece_size = std::size_t{1} << 16;

/// Reads the S-expression at the start of `input` as `read_prefix` does and writes it in `form`
/// to `sink`.
///
/// - `options`: what the read accepts and its limits; only read, during the call.
/// - `input`: the octets; only read, during the call. What follows the S-expression is not
///   examined.
/// - `sink`: receives the output in pieces of at most `piece_size` octets (0 counts as 1).
/// - `scratch`: null, or space kept from an earlier conversion to reuse.
/// - Returns the number of input octets the S-expression occupied, or why the conversion
///   stopped: the input's refusal (kind and offset as `read_prefix` gives them), or
///   `Stop::by_builder` where the sink refused a piece. The sink may have received part of the
///   output before either: a caller who needs all or nothing uses the `Buffer` form.
/// - Throws std::bad_alloc when memory runs out, and whatever the sink throws.
/// - Thread safety: conversions may run at once on different sinks and scratches, sharing
///   options and input.
TARNEL_EXPORT Built convert_prefix(const ReaderOptions& options,
                                   std::span<const std::uint8_t> input, OutputForm form,
                                   OutputSink& sink, std::size_t piece_size = default_piece_size,
                                   ConvertScratch* scratch = nullptr);

/// As above, over the octets of `text`.
inline Built convert_prefix(const ReaderOptions& options, std::string_view text, OutputForm form,
                            OutputSink& sink, std::size_t piece_size = default_piece_size,
                            ConvertScratch* scratch = nullptr) {
  return convert_prefix(options, as_octets(text), form, sink, piece_size, scratch);
}

/// As above, over `std::byte`s.
inline Built convert_prefix(const ReaderOptions& options, std::span<const std::byte> bytes,
                            OutputForm form, OutputSink& sink,
                            std::size_t piece_size = default_piece_size,
                            ConvertScratch* scratch = nullptr) {
  return convert_prefix(options, as_octets(bytes), form, sink, piece_size, scratch);
}

/// As above, but appends the whole output to `out`, so that the output is all or nothing: on a
/// refusal `out` keeps its earlier octets and nothing more. Returns the number of input octets
/// the S-expression occupied, or the input's refusal. Throws std::bad_alloc when memory runs out.
TARNEL_EXPORT Result<std::uint64_t, ReadError> convert_prefix(const ReaderOptions& options,
                                                              std::span<const std::uint8_t> input,
                                                              OutputForm form, Buffer& out,
                                                              ConvertScratch* scratch = nullptr);

/// As above, over the octets of `text`.
inline Result<std::uint64_t, ReadError> convert_prefix(const ReaderOptions& options,
                                                       std::string_view text, OutputForm form,
                                                       Buffer& out,
                                                       ConvertScratch* scratch = nullptr) {
  return convert_prefix(options, as_octets(text), form, out, scratch);
}

/// As above, over `std::byte`s.
inline Result<std::uint64_t, ReadError> convert_prefix(const ReaderOptions& options,
                                                       std::span<const std::byte> bytes,
                                                       OutputForm form, Buffer& out,
                                                       ConvertScratch* scratch = nullptr) {
  return convert_prefix(options, as_octets(bytes), form, out, scratch);
}

/// Reads the S-expression at the start of `input` as `read_prefix` does and writes it laid out by
/// `layout` (see pretty.h) to `sink`, in pieces of at most `piece_size` octets, as it reads: the
/// same text as `encode_pretty` of what `read_prefix` reads. Besides the reader's own state and
/// the pieces, it holds at most about a line of the layout, whatever the size of the input. Returns
/// and stops as the other forms do; a scratch passed to one conversion after another also keeps
/// the layout's memory.
TARNEL_EXPORT Built convert_prefix(const ReaderOptions& options,
                                   std::span<const std::uint8_t> input, const PrettyOptions& layout,
                                   OutputSink& sink, std::size_t piece_size = default_piece_size,
                                   ConvertScratch* scratch = nullptr);

/// As above, but appends the whole text to `out`. On a refusal `out` keeps its earlier octets and
/// nothing more.
TARNEL_EXPORT Result<std::uint64_t, ReadError> convert_prefix(const ReaderOptions& options,
                                                              std::span<const std::uint8_t> input,
                                                              const PrettyOptions& layout,
                                                              Buffer& out,
                                                              ConvertScratch* scratch = nullptr);

}  // namespace tarnel
