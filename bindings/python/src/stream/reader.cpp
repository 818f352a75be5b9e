#include "stream/reader.h"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "decode/reader/octet_string/octet_string.h"
#include "parser/parser.h"
#include "runtime/args.h"
#include "runtime/buffer.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "runtime/types.h"
#include "stream/pretty.h"
#include "tarnel/buffer.h"
#include "tarnel/converter.h"
#include "tarnel/framer.h"
#include "tarnel/pretty.h"
#include "value/to_python.h"

namespace tarnel::py {
namespace {

using View = std::span<const std::uint8_t>;

// Output is handed to the writer once this much has gathered (and before every wait for input).
constexpr std::size_t flush_at = std::size_t{1} << 18;

// PyMemoryView_FromMemory's flag for a read-only view (PyBUF_READ, which the limited API of 3.10
// declares only with the buffer protocol it leaves out).
constexpr int read_only_view = 0x100;

// Octets kept on each side of a refusal, for showing the input there.
constexpr std::uint64_t kept_room = 1024;

// A buffer that grew this large for one long S-expression is given back once it is read.
constexpr std::size_t keep_capacity = std::size_t{1} << 22;

// One read of an S-expression: what it came to.
struct Attempt {
  enum class Status : std::uint8_t { Read, Refused, Failed };
  Status status = Status::Failed;
  std::uint64_t consumed = 0;
  ReadError refusal;
};

// The state of one stream. See reader.h for how the work is divided.
class Stream {
 public:
  // With `layout`, the octets are those of the laid-out form rather than of `form`.
  Stream(const ReaderOptions& options, bool converting, OutputForm form,
         const PrettyOptions* layout)
      : options_(options),
        unlimited_(options),
        framer_(options),
        converting_(converting),
        form_(form),
        laid_out_(layout != nullptr),
        layout_(layout != nullptr ? *layout : PrettyOptions{}) {
    unlimited_.max_input_len = no_limit;
  }

  // The whole stream, held in place.
  void hold_all(Ref data, View octets) {
    held_ = std::move(data);
    view_ = octets;
    eof_ = true;
  }

  // The whole stream, in the buffer `data` exports, held in place until the stream ends.
  void hold_buffer(Ref data, std::unique_ptr<OctetBuffer> buffer) {
    buffer_ = std::move(buffer);
    hold_all(std::move(data), buffer_->view());
  }

  void pull_from(Ref chunks) { chunks_ = std::move(chunks); }

  std::uint64_t offset() const noexcept {
    return finish_ == Finish::Open ? view_start_ + head_ : finished_at_;
  }

  std::uint64_t start() const noexcept { return start_; }

  // The octets held between the stream offsets `from` and `to`, and where they begin.
  View held_between(std::uint64_t from, std::uint64_t to, std::uint64_t& begins) const noexcept {
    const std::uint64_t end = view_start_ + view_.size();
    if (from < view_start_) from = view_start_;
    if (to > end) to = end;
    if (from > to) from = to;
    begins = from;
    return view_.subspan(from - view_start_, to - from);
  }

  // Reads the next S-expression: 1 with it in `value_` or `out_`, 0 at the end of the stream,
  // -1 with an exception set.
  int advance();

  // The value `advance` read last, handed over.
  PyObject* take_value() noexcept { return value_.release(); }

  Buffer& output() noexcept { return out_; }

  // Hands the gathered output to the writer, if one is set.
  bool flush_output();

  void set_writer(Ref write) noexcept { write_ = std::move(write); }

 private:
  class FlushingSink final : public OutputSink {
   public:
    explicit FlushingSink(Stream& stream) noexcept : stream_(stream) {}

    bool write(View octets) override {
      stream_.out_.append(octets);
      return stream_.out_.size() < flush_at || stream_.flush_output();
    }

   private:
    Stream& stream_;
  };

  Attempt read(const ReaderOptions& options, View octets, bool known_whole);
  void discard() noexcept;
  bool pull();

  // Once the stream is over, what it was read from is let go: a buffer held in place is given
  // back to its exporter (a bytearray may be resized again).
  // After a refusal a copy of the octets around it is kept, so that `held_between` can still
  // show them.
  void let_go(const ReadError* refusal = nullptr) {
    finished_at_ = view_start_ + head_;
    View kept_view;
    std::uint64_t kept_start = finished_at_;
    if (refusal != nullptr && !view_.empty()) {
      const std::uint64_t end = view_start_ + view_.size();
      std::uint64_t at = refusal->offset < end ? refusal->offset : end;
      if (at < view_start_) at = view_start_;
      const std::uint64_t from = at - view_start_ > kept_room ? at - kept_room : view_start_;
      const std::uint64_t to = end - at > kept_room ? at + kept_room : end;
      Buffer kept;
      kept.append(view_.subspan(static_cast<std::size_t>(from - view_start_),
                                static_cast<std::size_t>(to - from)));
      owned_ = std::move(kept);
      kept_view = owned_.view();
      kept_start = from;
    }
    view_ = kept_view;
    view_start_ = kept_start;
    head_ = 0;
    if (buffer_) buffer_->release();
    held_.reset();
    chunks_.reset();
  }

  void take_piece(Ref piece, View octets);
  int refuse(ReadError error);
  bool too_deep_to_lay_out(View sexp) const;
  int unwritable();

  const ReaderOptions options_;
  ReaderOptions unlimited_;  // the same, with the input limit applied by cutting the input
  Framer framer_;
  const bool converting_;
  const OutputForm form_;
  const bool laid_out_;
  const PrettyOptions layout_;

  Ref chunks_;                           // the callable that gives the next piece, or null
  Ref held_;                             // the object `view_` points into, when read in place
  std::unique_ptr<OctetBuffer> buffer_;  // its buffer, where it is not a bytes object
  Buffer owned_;
  View view_;                     // the octets held: in `held_` or in `owned_`
  std::uint64_t view_start_ = 0;  // the stream offset of view_[0]
  std::size_t head_ = 0;          // the first octet of view_ not yet read
  bool eof_ = false;
  std::uint64_t start_ = 0;  // where the S-expression read last (or under way) begins

  // Unwritable: read, but nested deeper than the layout goes.
  enum class Finish : std::uint8_t { Open, Ended, Refused, Unwritable };
  Finish finish_ = Finish::Open;
  std::uint64_t finished_at_ = 0;  // what `offset` says once the stream is over
  ReadError refusal_;

  PythonReadScratch scratch_;
  ConvertScratch convert_scratch_;
  Ref value_;
  Buffer out_;
  std::size_t out_mark_ = 0;
  Ref write_;
};

Attempt Stream::read(const ReaderOptions& options, View octets, bool known_whole) {
  Attempt attempt;
  if (!converting_) {
    PythonRead read = read_prefix_as_python(options, octets, scratch_);
    if (read.status == PythonRead::Status::Failed) return attempt;
    if (read.status == PythonRead::Status::Refused) {
      attempt.status = Attempt::Status::Refused;
      attempt.refusal = read.refusal;
      return attempt;
    }
    value_ = Ref::steal(read.value);
    attempt.status = Attempt::Status::Read;
    attempt.consumed = read.consumed;
    return attempt;
  }
  out_mark_ = out_.size();
  if (known_whole) {
    // The framer has found it whole, so it converts: the output may go out in pieces.
    FlushingSink sink(*this);
    Built built =
        laid_out_
            ? convert_prefix(options, octets, layout_, sink, default_piece_size, &convert_scratch_)
            : convert_prefix(options, octets, form_, sink, default_piece_size, &convert_scratch_);
    if (!built) {
      if (built.error().by_builder) return attempt;
      attempt.status = Attempt::Status::Refused;
      attempt.refusal = built.error().refusal;
      return attempt;
    }
    attempt.status = Attempt::Status::Read;
    attempt.consumed = *built;
    return attempt;
  }
  Result<std::uint64_t, ReadError> converted =
      laid_out_ ? convert_prefix(options, octets, layout_, out_, &convert_scratch_)
                : convert_prefix(options, octets, form_, out_, &convert_scratch_);
  if (!converted) {
    attempt.status = Attempt::Status::Refused;
    attempt.refusal = converted.error();
    return attempt;
  }
  attempt.status = Attempt::Status::Read;
  attempt.consumed = *converted;
  return attempt;
}

// Whether `sexp`, read whole, nests deeper than the layout goes: possible only where the options
// let the reader go deeper. A framer held to that depth follows it (nothing is written yet).
bool Stream::too_deep_to_lay_out(View sexp) const {
  if (!laid_out_ || options_.max_depth <= laid_out_depth_limit) return false;
  ReaderOptions shallow = unlimited_;
  shallow.max_depth = laid_out_depth_limit;
  Framer framer(shallow);
  const Frame frame = framer.scan(sexp, 0, true);
  return frame.status == FrameStatus::Refused && frame.error.kind == ErrorKind::TooDeep;
}

// The S-expression read last (at `start_`) cannot be laid out: the stream stops there, as at a
// refusal, but with the ValueError the layout of values gives.
int Stream::unwritable() {
  if (finish_ == Finish::Open) let_go();
  finish_ = Finish::Unwritable;
  raise_too_deep_to_lay_out();
  return -1;
}

void Stream::discard() noexcept {
  value_.reset();
  if (converting_) out_.shrink_by(out_.size() - out_mark_);
}

int Stream::refuse(ReadError error) {
  if (finish_ == Finish::Open) let_go(&error);
  finish_ = Finish::Refused;
  refusal_ = error;
  raise_parse_error(error);
  return -1;
}

// The writer is lent a view of the output rather than a copy of it, and the view is released
// when it returns: a writer must not keep its argument (a file's write does not).
bool Stream::flush_output() {
  if (!write_ || out_.empty()) return true;
  Ref view = Ref::steal(PyMemoryView_FromMemory(
      reinterpret_cast<char*>(out_.data()), static_cast<Py_ssize_t>(out_.size()), read_only_view));
  if (!view) return false;
  Ref done = Ref::steal(PyObject_CallFunctionObjArgs(write_.get(), view.get(), nullptr));
  PendingError failure;  // the writer's, held while the view is released
  Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  if (!released) {
    // The writer kept a part of the view (a BufferError now says so): the storage under it must
    // outlive it, so it is given up rather than reused or freed. The writer's own failure, if
    // any, is the one raised.
    (void)out_.release();
    if (!done) failure.restore();
    return false;
  }
  out_.clear();
  out_mark_ = 0;
  if (!done) {
    failure.restore();
    return false;
  }
  return true;
}

// Keeps `octets` (of `piece`) after what is held and not yet read.
void Stream::take_piece(Ref piece, View octets) {
  if (head_ == view_.size()) {
    // Everything held has been read: the piece is read where it is.
    view_start_ += view_.size();
    head_ = 0;
    view_ = octets;
    held_ = std::move(piece);
    if (owned_.capacity() > keep_capacity) {
      owned_ = Buffer();
    } else {
      owned_.clear();
    }
    return;
  }
  if (held_) {
    owned_.clear();
    owned_.append(view_.subspan(head_));
    held_.reset();
    view_start_ += head_;
    head_ = 0;
  } else if (head_ != 0 && head_ >= owned_.size() / 2) {
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

bool Stream::pull() {
  // What is converted so far goes out before waiting: interactive use sees each result.
  if (!flush_output()) return false;
  Ref piece = Ref::steal(PyObject_CallNoArgs(chunks_.get()));
  if (!piece) return false;
  if (piece.get() == Py_None) {
    eof_ = true;
    return true;
  }
  if (!PyBytes_Check(piece.get())) {
    raise_not_an_instance(piece.get(), "bytes");
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(piece.get(), &data, &size) < 0) return false;
  if (size == 0) {
    eof_ = true;
    return true;
  }
  take_piece(std::move(piece),
             View(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  return true;
}

// Whether a read that used every octet tried cannot go on past them: only an atom written as a
// token (or verbatim, ending in a token's octet) may.
bool ends_for_certain(View tried, std::uint64_t consumed) noexcept {
  const std::uint8_t first = tried[0];
  if (first == '(' || first == '{') return true;
  return !is_token_char(tried[static_cast<std::size_t>(consumed) - 1]);
}

int Stream::advance() {
  if (finish_ == Finish::Ended) return 0;
  if (finish_ == Finish::Refused) return refuse(refusal_);
  if (finish_ == Finish::Unwritable) return unwritable();
  for (;;) {
    if (framer_.between()) {
      while (head_ < view_.size() && is_whitespace(view_[head_])) ++head_;
      framer_.skip_to(view_start_ + head_);
      if (head_ == view_.size()) {
        if (eof_) {
          finish_ = Finish::Ended;
          let_go();
          return 0;
        }
        if (!pull()) return -1;
        continue;
      }
      // Read straight from what is held; where that runs out of octets before the
      // S-expression ends, the framer takes over from its start.
      start_ = view_start_ + head_;
      const View rest = view_.subspan(head_);
      const bool cut = rest.size() > options_.max_input_len;
      const View tried = cut ? rest.first(static_cast<std::size_t>(options_.max_input_len)) : rest;
      const Attempt attempt = read(unlimited_, tried, false);
      if (attempt.status == Attempt::Status::Failed) return -1;
      if (attempt.status == Attempt::Status::Read) {
        if (attempt.consumed < tried.size() || (eof_ && !cut) ||
            (!cut && ends_for_certain(tried, attempt.consumed))) {
          if (too_deep_to_lay_out(tried.first(static_cast<std::size_t>(attempt.consumed)))) {
            discard();
            return unwritable();
          }
          head_ += static_cast<std::size_t>(attempt.consumed);
          framer_.skip_to(view_start_ + head_);
          return 1;
        }
        discard();
      } else {
        const ReadError e = attempt.refusal;
        if (e.kind != ErrorKind::UnexpectedEnd || e.offset != tried.size()) {
          return refuse({start_ + e.offset, e.kind});
        }
        if (cut) return refuse({start_ + options_.max_input_len, ErrorKind::InputTooLong});
        if (eof_) return refuse({start_ + e.offset, e.kind});
      }
    }
    const Frame frame = framer_.scan(view_.subspan(head_), view_start_ + head_, eof_);
    switch (frame.status) {
      case FrameStatus::NeedMore:
        if (!pull()) return -1;
        continue;
      case FrameStatus::Ended:
        finish_ = Finish::Ended;
        let_go();
        return 0;
      case FrameStatus::Refused:
        return refuse(frame.error);
      case FrameStatus::Complete:
        break;
    }
    start_ = frame.start;
    const View sexp = view_.subspan(static_cast<std::size_t>(frame.start - view_start_),
                                    static_cast<std::size_t>(frame.end - frame.start));
    if (too_deep_to_lay_out(sexp)) return unwritable();
    const Attempt attempt = read(options_, sexp, true);
    if (attempt.status == Attempt::Status::Failed) return -1;
    if (attempt.status != Attempt::Status::Read || attempt.consumed != sexp.size()) {
      PyErr_SetString(PyExc_SystemError,
                      "internal failure in tarnel: the framer and the reader disagree");
      return -1;
    }
    head_ = static_cast<std::size_t>(frame.end - view_start_);
    return 1;
  }
}

// The Python object.

struct ReaderObject {
  PyObject_HEAD Stream* stream;
};

Stream& stream_of(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->stream; }

bool form_from_python(PyObject* object, bool& converting, OutputForm& form, bool& laid_out) {
  converting = object != nullptr && object != Py_None;
  laid_out = false;
  if (!converting) return true;
  if (!PyUnicode_Check(object)) {
    raise_not_an_instance(object, "str");
    return false;
  }

  struct Named {
    const char* name;
    OutputForm form;
  };

  for (const Named& n :
       {Named{"canonical", OutputForm::Canonical}, Named{"transport", OutputForm::Transport},
        Named{"advanced", OutputForm::Advanced}}) {
    if (PyUnicode_CompareWithASCIIString(object, n.name) == 0) {
      form = n.form;
      return true;
    }
  }
  if (PyUnicode_CompareWithASCIIString(object, "pretty") == 0) {
    form = OutputForm::Advanced;
    laid_out = true;
    return true;
  }
  PyErr_SetString(PyExc_ValueError,
                  "form must be 'canonical', 'transport', 'advanced' or 'pretty'");
  return false;
}

constexpr Param new_params[] = {
    {"parser", ParamKind::PositionalOrKeyword, true}, {"chunks", ParamKind::KeywordOnly, false},
    {"data", ParamKind::KeywordOnly, false},          {"form", ParamKind::KeywordOnly, false},
    {"raw_octets", ParamKind::KeywordOnly, false},    {"width", ParamKind::KeywordOnly, false},
    {"indent", ParamKind::KeywordOnly, false},
};
constexpr Signature new_signature{"Reader.__new__()", new_params};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[7];
    if (!bind_tuple_and_dict(new_signature, args, kwargs, bound)) return nullptr;
    const ReaderOptions* parser = parser_options(bound[0]);
    if (parser == nullptr) {
      add_argument_note("parser");
      return nullptr;
    }
    ReaderOptions options = *parser;
    if (bound[4] != nullptr && !flag_from_python(bound[4], options.allow_raw_octets)) {
      add_argument_note("raw_octets");
      return nullptr;
    }
    PyObject* chunks = bound[1] == Py_None ? nullptr : bound[1];
    PyObject* data = bound[2] == Py_None ? nullptr : bound[2];
    if ((chunks == nullptr) == (data == nullptr)) {
      PyErr_SetString(PyExc_TypeError, "Reader() takes exactly one of 'chunks' and 'data'");
      return nullptr;
    }
    if (chunks != nullptr && !PyCallable_Check(chunks)) {
      raise_not_an_instance(chunks, "callable");
      add_argument_note("chunks");
      return nullptr;
    }
    // The octets of `data`: a bytes object's own, the buffer of any other object that exports
    // one-dimensional unsigned bytes, held in place, or else a copy of its buffer's octets.
    View octets;
    Ref source;
    std::unique_ptr<OctetBuffer> buffer;
    if (data != nullptr) {
      Ref copy;
      if (!PyBytes_Check(data)) {
        buffer = std::make_unique<OctetBuffer>();
        const OctetBuffer::Taken taken = buffer->take(data);
        if (taken == OctetBuffer::Taken::Failed) {
          add_argument_note("data");
          return nullptr;
        }
        if (taken == OctetBuffer::Taken::NotOctets) {
          buffer.reset();
          copy = Ref::steal(PyBytes_FromObject(data));
          if (!copy) {
            add_argument_note("data");
            return nullptr;
          }
        }
      }
      source = copy ? std::move(copy) : Ref::borrow(data);
      if (buffer) {
        octets = buffer->view();
      } else {
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(source.get(), &p, &n) < 0) return nullptr;
        octets = View(reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n));
      }
    }
    bool converting = false;
    bool laid_out = false;
    OutputForm form = OutputForm::Canonical;
    if (!form_from_python(bound[3], converting, form, laid_out)) {
      add_argument_note("form");
      return nullptr;
    }
    PrettyOptions layout;
    if (!layout_from_python(bound[5], bound[6], layout)) return nullptr;
    if (!laid_out && (bound[5] != nullptr || bound[6] != nullptr)) {
      PyErr_SetString(PyExc_TypeError,
                      "Reader() takes 'width' and 'indent' only with "
                      "form='pretty'");
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref self = Ref::steal(alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<ReaderObject*>(self.get())->stream = nullptr;
    auto* stream = new Stream(options, converting, form, laid_out ? &layout : nullptr);
    reinterpret_cast<ReaderObject*>(self.get())->stream = stream;
    if (buffer) {
      stream->hold_buffer(std::move(source), std::move(buffer));
    } else if (data != nullptr) {
      stream->hold_all(std::move(source), octets);
    } else {
      stream->pull_from(Ref::borrow(chunks));
    }
    return self.release();
  });
}

void reader_dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<ReaderObject*>(self)->stream;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  decref(type);
}

PyObject* reader_iter(PyObject* self) noexcept {
  incref(self);
  return self;
}

PyObject* reader_next(PyObject* self) noexcept {
  return guard([&]() -> PyObject* {
    Stream& stream = stream_of(self);
    const int step = stream.advance();
    if (step <= 0) return nullptr;  // 0: the end, with no exception set
    PyObject* value = stream.take_value();
    if (value != nullptr) return value;
    Buffer& out = stream.output();
    PyObject* octets = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<Py_ssize_t>(out.size()));
    out.clear();
    return octets;
  });
}

constexpr Param convert_params[] = {
    {"write", ParamKind::PositionalOrKeyword, true},
    {"separator", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature convert_signature{"Reader.convert()", convert_params};

PyObject* reader_convert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(convert_signature, args, nargs, kwnames, bound)) return nullptr;
    View separator;
    if (bound[1] != nullptr) {
      char* p = nullptr;
      Py_ssize_t n = 0;
      if (!PyBytes_Check(bound[1])) {
        raise_not_an_instance(bound[1], "bytes");
        add_argument_note("separator");
        return nullptr;
      }
      if (PyBytes_AsStringAndSize(bound[1], &p, &n) < 0) return nullptr;
      separator = View(reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n));
    }
    Stream& stream = stream_of(self);
    Ref keep_separator = Ref::borrow(bound[1]);
    stream.set_writer(Ref::borrow(bound[0]));
    struct Unset {
      Stream& stream;
      ~Unset() { stream.set_writer(Ref()); }
    } unset{stream};
    for (;;) {
      const int step = stream.advance();
      if (step == 0) break;
      if (step < 0) {
        // What was read before the refusal goes out first; a failure to write it wins.
        PendingError refusal;
        if (!stream.flush_output()) {
          refusal.drop();
          return nullptr;
        }
        refusal.restore();
        return nullptr;
      }
      if (stream.take_value() != nullptr) {
        PyErr_SetString(PyExc_TypeError, "Reader.convert() needs a reader made with a form");
        return nullptr;
      }
      stream.output().append(separator);
      if (stream.output().size() >= flush_at && !stream.flush_output()) return nullptr;
    }
    if (!stream.flush_output()) return nullptr;
    return new_ref(Py_None);
  });
}

constexpr Param buffered_params[] = {
    {"start", ParamKind::PositionalOrKeyword, true},
    {"stop", ParamKind::PositionalOrKeyword, true},
};
constexpr Signature buffered_signature{"Reader.buffered()", buffered_params};

// An offset argument: negative ones count as 0.
bool offset_from_python(PyObject* object, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  const int negative = PyObject_RichCompareBool(index.get(), Py_False, Py_LT);
  if (negative < 0) return false;
  if (negative) {
    out = 0;
    return true;
  }
  out = PyLong_AsUnsignedLongLong(index.get());
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  return true;
}

PyObject* reader_buffered(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(buffered_signature, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    if (!offset_from_python(bound[0], from) || !offset_from_python(bound[1], to)) return nullptr;
    std::uint64_t begins = 0;
    const View held = stream_of(self).held_between(from, to, begins);
    Ref where = Ref::steal(PyLong_FromUnsignedLongLong(begins));
    if (!where) return nullptr;
    Ref octets = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(held.data()),
                                                      static_cast<Py_ssize_t>(held.size())));
    if (!octets) return nullptr;
    return PyTuple_Pack(2, where.get(), octets.get());
  });
}

PyObject* reader_get_offset(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(stream_of(self).offset());
}

PyObject* reader_get_start(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(stream_of(self).start());
}

template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef reader_methods[] = {
    {"convert", fastcall<reader_convert>(), METH_FASTCALL | METH_KEYWORDS,
     "convert($self, write, separator=b'')\n--\n\nWrites every S-expression still to come, in "
     "the reader's form and each followed\nby `separator`, to `write` in large pieces; what was "
     "read before a refusal\nis written before it is raised. Each piece is lent as a memoryview "
     "that is\nreleased when `write` returns, so `write` must not keep it."},
    {"buffered", fastcall<reader_buffered>(), METH_FASTCALL | METH_KEYWORDS,
     "buffered($self, start, stop)\n--\n\nThe octets of the stream between the offsets `start` "
     "and `stop` that are\nstill held, and the offset where they begin."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"offset", reader_get_offset, nullptr,
     "The octets of the stream read so far: the end of the last S-expression.", nullptr},
    {"start", reader_get_start, nullptr, "Where the S-expression read last, or under way, begins.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc,
     const_cast<char*>(
         "Reader(parser, *, chunks=None, data=None, form=None, raw_octets=False, width=72, "
         "indent=2)\n--\n\nThe S-expressions of a stream, one after another, read with "
         "`parser`:\nfrom `chunks()`, called for each next piece (bytes; None at the end),\nor "
         "from `data`, the whole stream. Yields values, or with `form` the\noctets of each in "
         "that representation ('pretty': laid out as\n`to_pretty(value, width=width, "
         "indent=indent)` gives it; one nested\ndeeper than 1024 stops the stream with "
         "ValueError). With `raw_octets`,\nquoted strings may hold the octets 0x80-0xFF as they "
         "are.")},
    {0, nullptr},
};

PyType_Spec reader_type_definition = {
    "tarnel._streaming.Reader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    reader_slots,
};

PyObject* make_reader_type() { return PyType_FromSpec(&reader_type_definition); }

}  // namespace

PyObject* stream_reader_type() noexcept {
  return cached_type(TypeId::StreamReader, make_reader_type);
}

}  // namespace tarnel::py
