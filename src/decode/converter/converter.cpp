#include "tarnel/converter.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <vector>

#include "tarnel/advanced.h"
#include "tarnel/base64.h"
#include "tarnel/build.h"
#include "tarnel/canonical.h"
#include "tarnel/error.h"
#include "tarnel/octet_string.h"
#include "tarnel/value.h"

namespace tarnel {
namespace {

using View = std::span<const std::uint8_t>;

constexpr Stop sink_refused{true, {}};

// The output buffer, and the sink (if any) it is handed to once it holds `piece_size` octets.
// Without a sink everything stays in the buffer.
class Output {
 public:
  Output(Buffer& out, OutputSink* sink, std::size_t piece_size) noexcept
      : out_(out), sink_(sink), piece_size_(std::max<std::size_t>(piece_size, 1)) {}

  Buffer& buffer() noexcept { return out_; }

  std::size_t piece_size() const noexcept { return piece_size_; }

  // Hands the buffer over if it is full enough; false where the sink refused.
  bool settle() { return sink_ == nullptr || out_.size() < piece_size_ || flush(); }

  // Hands over everything in the buffer, in slices of at most `piece_size`.
  bool flush() {
    if (sink_ == nullptr) return true;
    const View all = out_.view();
    for (std::size_t at = 0; at < all.size(); at += piece_size_) {
      if (!sink_->write(all.subspan(at, std::min(piece_size_, all.size() - at)))) return false;
    }
    out_.clear();
    return true;
  }

 private:
  Buffer& out_;
  OutputSink* sink_;
  std::size_t piece_size_;
};

// The three forms share one interface: open_list, close_list, atom and, once the S-expression is
// complete, finish; each returns false where the sink refused.

// Canonical, advanced and laid-out output: a writer appends to the output's buffer, which is
// handed on in pieces as it fills.
template <class Writer>
class WriterForm {
 public:
  WriterForm(Output& output, Writer& writer) noexcept : output_(output), writer_(writer) {}

  bool open_list() {
    writer_.open_list();
    return output_.settle();
  }

  bool close_list() {
    writer_.close_list();
    return output_.settle();
  }

  bool atom(View data, const Octets* hint) {
    writer_.atom(data, hint);
    return output_.settle();
  }

  bool finish() {
    if constexpr (requires(Writer& w) { w.finish(); }) writer_.finish();  // what it held back
    return output_.flush();
  }

 private:
  Output& output_;
  Writer& writer_;
};

// A writer made for one conversion, with the form over it.
template <class Writer>
struct OwnWriter {
  explicit OwnWriter(Output& output) : writer(output.buffer()) {}

  Writer writer;
};

template <class Writer>
class OwnedWriterForm : private OwnWriter<Writer>, public WriterForm<Writer> {
 public:
  explicit OwnedWriterForm(Output& output)
      : OwnWriter<Writer>(output), WriterForm<Writer>(output, this->writer) {}
};

using CanonicalForm = OwnedWriterForm<CanonicalWriter>;
using AdvancedForm = OwnedWriterForm<AdvancedWriter>;

// The canonical octets are staged, and whenever about a piece's worth is in hand, their whole
// groups of three go out as base-64; the 0-2 octets left over stay at the front of the stage for
// the next groups, so the text comes out as one padded encoding of all the octets.
class TransportForm {
 public:
  explicit TransportForm(Output& output)
      : output_(output),
        writer_(canonical_),
        stage_size_(std::max<std::size_t>(output.piece_size() / 4 * 3, 3)) {
    output_.buffer().push_back('{');
  }

  bool open_list() {
    writer_.open_list();
    return settle();
  }

  bool close_list() {
    writer_.close_list();
    return settle();
  }

  bool atom(View data, const Octets* hint) {
    writer_.atom(data, hint);
    return settle();
  }

  bool finish() {
    base64_encode(canonical_.view(), output_.buffer());
    output_.buffer().push_back('}');
    return output_.flush();
  }

 private:
  bool settle() {
    if (canonical_.size() < stage_size_) return true;
    const std::size_t whole = canonical_.size() / 3 * 3;
    base64_encode(canonical_.view().first(whole), output_.buffer());
    const std::size_t left = canonical_.size() - whole;
    std::memmove(canonical_.data(), canonical_.data() + whole, left);
    canonical_.shrink_by(whole);
    return output_.settle();
  }

  Output& output_;
  Buffer canonical_;
  CanonicalWriter writer_;
  std::size_t stage_size_;
};

// The builder the driver fills. It keeps no elements: the driver asks only how many there are and
// whether the first element of the innermost open list is a list, so a counter and one state per
// open list answer. The driver tells it where each list opens and where it closes.
template <class Form>
class ConvertingBuilder {
 public:
  ConvertingBuilder(Form& form, std::vector<std::uint8_t>& open) noexcept
      : form_(form), open_(open) {
    open_.clear();
  }

  bool open_list() {
    open_.push_back(static_cast<std::uint8_t>(First::None));
    return form_.open_list();
  }

  std::size_t size() const noexcept { return size_; }

  // The driver asks only about the first element of the innermost open list, once it has one.
  bool is_list(std::size_t) const noexcept {
    assert(!open_.empty() && first_of_innermost() != First::None);
    return first_of_innermost() == First::List;
  }

  bool atom(View data) { return atom(data, nullptr); }

  bool hinted_atom(View data, View hint) {
    // Hints tend to repeat: keep the last one rather than copy each.
    if (!same_octets(held_hint_.view(), hint)) held_hint_ = Octets(hint);
    return atom(data, &held_hint_);
  }

  bool list(std::size_t first) {
    assert(!open_.empty());
    open_.pop_back();
    size_ = first;
    added(First::List);
    return form_.close_list();
  }

 private:
  // What an open list has as its first element, if anything yet.
  enum class First : std::uint8_t { None, Atom, List };

  static bool same_octets(View a, View b) noexcept {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }

  bool atom(View data, const Octets* hint) {
    added(First::Atom);
    return form_.atom(data, hint);
  }

  void added(First kind) noexcept {
    ++size_;
    if (!open_.empty() && first_of_innermost() == First::None) {
      open_.back() = static_cast<std::uint8_t>(kind);
    }
  }

  First first_of_innermost() const noexcept { return static_cast<First>(open_.back()); }

  Form& form_;
  std::size_t size_ = 0;
  std::vector<std::uint8_t>& open_;  // one First per open list, innermost last
  Octets held_hint_;
};

}  // namespace

struct ConvertScratch::Storage {
  BuildScratch build;
  std::vector<std::uint8_t> open;        // one octet per open list
  std::unique_ptr<PrettyWriter> pretty;  // made at the first laid-out conversion
  PrettyOptions pretty_layout;           // what it was made for
};

ConvertScratch::ConvertScratch() : storage_(std::make_unique<Storage>()) {}

ConvertScratch::~ConvertScratch() = default;

class ConvertScratchAccess {
 public:
  static ConvertScratch::Storage& of(ConvertScratch& scratch) noexcept { return *scratch.storage_; }
};

namespace {

template <class Form>
Built convert_into(const ReaderOptions& options, View input, Output& output,
                   ConvertScratch& scratch) {
  Form form(output);
  auto& storage = ConvertScratchAccess::of(scratch);
  ConvertingBuilder<Form> builder(form, storage.open);
  // Transport forms too: the driver reads the octets they decode to into the same builder.
  Built read = build_prefix(options, input, builder, storage.build);
  if (!read) return read;
  if (!form.finish()) return sink_refused;
  return read;
}

Built convert_with(const ReaderOptions& options, View input, OutputForm form, Output& output,
                   ConvertScratch* given) {
  ConvertScratch own;
  ConvertScratch& scratch = given != nullptr ? *given : own;
  switch (form) {
    case OutputForm::Canonical:
      return convert_into<CanonicalForm>(options, input, output, scratch);
    case OutputForm::Transport:
      return convert_into<TransportForm>(options, input, output, scratch);
    case OutputForm::Advanced:
      break;
  }
  return convert_into<AdvancedForm>(options, input, output, scratch);
}

Built convert_laid_out(const ReaderOptions& options, View input, const PrettyOptions& layout,
                       Output& output, ConvertScratch* given) {
  ConvertScratch own;
  ConvertScratch& scratch = given != nullptr ? *given : own;
  auto& storage = ConvertScratchAccess::of(scratch);
  if (!storage.pretty || storage.pretty_layout != layout) {
    storage.pretty = std::make_unique<PrettyWriter>(output.buffer(), layout);
    storage.pretty_layout = layout;
  }
  storage.pretty->restart(output.buffer());  // a writer kept from one conversion to the next
  WriterForm<PrettyWriter> form(output, *storage.pretty);
  ConvertingBuilder<WriterForm<PrettyWriter>> builder(form, storage.open);
  Built read = build_prefix(options, input, builder, storage.build);
  if (!read) return read;
  if (!form.finish()) return sink_refused;
  return read;
}

}  // namespace

Built convert_prefix(const ReaderOptions& options, std::span<const std::uint8_t> input,
                     OutputForm form, OutputSink& sink, std::size_t piece_size,
                     ConvertScratch* scratch) {
  Buffer pending;
  Output output(pending, &sink, piece_size);
  return convert_with(options, input, form, output, scratch);
}

Result<std::uint64_t, ReadError> convert_prefix(const ReaderOptions& options,
                                                std::span<const std::uint8_t> input,
                                                OutputForm form, Buffer& out,
                                                ConvertScratch* scratch) {
  const std::size_t before = out.size();
  Output output(out, nullptr, default_piece_size);
  Built read = convert_with(options, input, form, output, scratch);
  if (!read) {
    assert(!read.error().by_builder);  // a buffer takes everything
    out.shrink_by(out.size() - before);
    return read.error().refusal;
  }
  return *read;
}

Built convert_prefix(const ReaderOptions& options, std::span<const std::uint8_t> input,
                     const PrettyOptions& layout, OutputSink& sink, std::size_t piece_size,
                     ConvertScratch* scratch) {
  Buffer pending;
  Output output(pending, &sink, piece_size);
  return convert_laid_out(options, input, layout, output, scratch);
}

Result<std::uint64_t, ReadError> convert_prefix(const ReaderOptions& options,
                                                std::span<const std::uint8_t> input,
                                                const PrettyOptions& layout, Buffer& out,
                                                ConvertScratch* scratch) {
  const std::size_t before = out.size();
  Output output(out, nullptr, default_piece_size);
  Built read = convert_laid_out(options, input, layout, output, scratch);
  if (!read) {
    assert(!read.error().by_builder);  // a buffer takes everything
    out.shrink_by(out.size() - before);
    return read.error().refusal;
  }
  return *read;
}

}  // namespace tarnel
