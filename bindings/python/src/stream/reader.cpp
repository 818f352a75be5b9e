#include "stream/reader.h"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "parser/parser.h"
#include "runtime/args.h"
#include "runtime/buffer.h"
#include "runtime/errors.h"
#include "runtime/reader_options.h"
#include "runtime/ref.h"
#include "runtime/types.h"
#include "stream/pretty.h"
#include "tarnel/buffer.h"
#include "tarnel/converter.h"
#include "tarnel/pretty.h"
#include "tarnel/stream.h"
#include "value/to_python.h"

namespace tarnel::py {
namespace {

using View = std::span<const std::uint8_t>;

// Output is handed to the writer once this much has gathered (and before every wait for input).
constexpr std::size_t flush_at = std::size_t{1} << 18;

// PyMemoryView_FromMemory's flag for a read-only view (PyBUF_READ, which the limited API of 3.10
// declares only with the buffer protocol it leaves out).
constexpr int read_only_view = 0x100;

// One Python stream: the core's engine (tarnel/stream.h), fed from a Python callable or from one
// buffer held in place, reading into Python objects or converting into `out_`. As the engine's
// source it calls `chunks()`; as its sink it gathers output for the writer of `convert`.
class Stream final : public StreamSource, public OutputSink {
 public:
  // With `layout`, the octets are those of the laid-out form rather than of `form`.
  Stream(const ReaderOptions& options, bool converting, OutputForm form,
         const PrettyOptions* layout)
      : engine_(options, *this),
        converting_(converting),
        form_(form),
        laid_out_(layout != nullptr),
        layout_(layout != nullptr ? *layout : PrettyOptions{}) {}

  // Reads the next S-expression: 1 with it in `builder_` or `out_`, 0 at the end of the stream,
  // -1 with an exception set.
  int advance();
  bool flush_output();
  bool next(View& piece) override;

  bool write(View octets) override {
    out_.append(octets);
    return out_.size() < flush_at || flush_output();
  }

  StreamReader engine_;
  PythonBuilder builder_;
  Buffer out_;
  Ref write_;   // the writer of `convert`, while it runs
  Ref chunks_;  // the callable that gives the next piece, or null
  const bool converting_;
  bool running_ = false;               // a call is under way: see `Entered`
  std::unique_ptr<OctetBuffer> data_;  // the whole stream, held until it is over, or null

 private:
  const OutputForm form_;
  const bool laid_out_;
  const PrettyOptions layout_;
  Ref piece_;  // the last piece `chunks` gave, which the engine may read
};

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
  if (!done) {
    failure.restore();
    return false;
  }
  return true;
}

// The engine asks for the next piece once it holds no octet of the last one it still needs.
bool Stream::next(View& piece) {
  piece_.reset();
  // What is converted so far goes out before waiting: interactive use sees each result.
  if (!flush_output()) return false;
  Ref got = Ref::steal(PyObject_CallNoArgs(chunks_.get()));
  if (!got) return false;
  if (got.get() == Py_None) {
    piece = {};
    return true;
  }
  if (!PyBytes_Check(got.get())) {
    raise_not_an_instance(got.get(), "bytes");
    return false;
  }
  if (!bytes_octets(got.get(), piece)) return false;
  piece_ = std::move(got);
  return true;
}

int Stream::advance() {
  OutputSink* const sink = write_ ? this : nullptr;
  const StreamStatus status = !converting_ ? engine_.next_built(builder_)
                              : laid_out_  ? engine_.next_converted(layout_, out_, sink)
                                           : engine_.next_converted(form_, out_, sink);
  if (status == StreamStatus::Read) return 1;
  if (status == StreamStatus::Stopped) {  // the source, builder or writer raised
    builder_.reset();
    return -1;
  }
  // The stream is over: what it was read from is let go (a buffer held in place is given back to
  // its exporter, so a bytearray may be resized again); the engine keeps a copy of the octets
  // around a refusal for `buffered`.
  data_.reset();
  chunks_.reset();
  piece_.reset();
  if (status == StreamStatus::Ended) return 0;
  if (status == StreamStatus::Refused) {
    raise_parse_error(engine_.refusal());
  } else {
    PyErr_SetString(PyExc_SystemError,
                    "internal failure in tarnel: the framer and the reader disagree");
  }
  return -1;
}

// The Python object.

struct ReaderObject {
  PyObject_HEAD Stream* stream;
};

Stream& stream_of(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->stream; }

// One call at a time, with the reader kept alive for it (a callback may drop every other
// reference to it): a source or a writer that calls back into the reader pulling from it or
// writing for it is refused with ValueError, as a running generator refuses `next`.
class Entered {
 public:
  Entered(PyObject* self, Stream& stream) noexcept : self_(Ref::borrow(self)), stream_(stream) {
    if (stream.running_) {
      PyErr_SetString(PyExc_ValueError, "the reader is already running");
    } else {
      in_ = stream.running_ = true;
    }
  }

  ~Entered() {
    if (in_) stream_.running_ = false;
  }

  Entered(const Entered&) = delete;
  Entered& operator=(const Entered&) = delete;

  explicit operator bool() const noexcept { return in_; }

 private:
  Ref self_;
  Stream& stream_;
  bool in_ = false;
};

// A `form` argument: one of the four names ('pretty' lays out the advanced form).
bool form_from_python(PyObject* object, OutputForm& form, bool& laid_out) {
  if (!PyUnicode_Check(object)) {
    raise_not_an_instance(object, "str");
    return false;
  }
  constexpr std::pair<const char*, OutputForm> forms[] = {{"canonical", OutputForm::Canonical},
                                                          {"transport", OutputForm::Transport},
                                                          {"advanced", OutputForm::Advanced}};
  for (const auto& [name, named] : forms) {
    if (PyUnicode_CompareWithASCIIString(object, name) == 0) {
      form = named;
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
    if (parser == nullptr) return argument_failed("parser");
    ReaderOptions options = *parser;
    if (bound[4] != nullptr && !flag_from_python(bound[4], options.allow_raw_octets)) {
      return argument_failed("raw_octets");
    }
    PyObject* chunks = bound[1] == Py_None ? nullptr : bound[1];
    PyObject* data = bound[2] == Py_None ? nullptr : bound[2];
    if ((chunks == nullptr) == (data == nullptr)) {
      PyErr_SetString(PyExc_TypeError, "Reader() takes exactly one of 'chunks' and 'data'");
      return nullptr;
    }
    if (chunks != nullptr && !PyCallable_Check(chunks)) {
      raise_not_an_instance(chunks, "callable");
      return argument_failed("chunks");
    }
    std::unique_ptr<OctetBuffer> held;
    if (data != nullptr) {
      held = std::make_unique<OctetBuffer>();
      if (!held->take_any(data)) return argument_failed("data");
    }
    const bool converting = bound[3] != nullptr && bound[3] != Py_None;
    OutputForm form = OutputForm::Canonical;
    bool laid_out = false;
    if (converting && !form_from_python(bound[3], form, laid_out)) return argument_failed("form");
    PrettyOptions layout;
    if (!layout_from_python(bound[5], bound[6], layout)) return nullptr;
    if (!laid_out && (bound[5] != nullptr || bound[6] != nullptr)) {
      PyErr_SetString(PyExc_TypeError, "Reader() takes 'width' and 'indent' only with form='pretty'");
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref self = Ref::steal(alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<ReaderObject*>(self.get())->stream = nullptr;
    auto* stream = new Stream(options, converting, form, laid_out ? &layout : nullptr);
    reinterpret_cast<ReaderObject*>(self.get())->stream = stream;
    if (held) {
      stream->engine_.push(held->view());
      stream->engine_.finish();
      stream->data_ = std::move(held);
    } else {
      stream->chunks_ = Ref::borrow(chunks);
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

PyObject* reader_iter(PyObject* self) noexcept { return new_ref(self); }

PyObject* reader_next(PyObject* self) noexcept {
  return guard([&]() -> PyObject* {
    Stream& stream = stream_of(self);
    const Entered entered(self, stream);
    if (!entered) return nullptr;
    if (stream.advance() <= 0) return nullptr;  // 0: the end, with no exception set
    if (!stream.converting_) return stream.builder_.take();
    Buffer& out = stream.out_;
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
      if (!PyBytes_Check(bound[1])) {
        raise_not_an_instance(bound[1], "bytes");
        return argument_failed("separator");
      }
      if (!bytes_octets(bound[1], separator)) return nullptr;
    }
    Stream& stream = stream_of(self);
    const Entered entered(self, stream);
    if (!entered) return nullptr;
    Ref keep_separator = Ref::borrow(bound[1]);
    stream.write_ = Ref::borrow(bound[0]);
    struct Unset {
      Stream& stream;
      ~Unset() { stream.write_.reset(); }
    } unset{stream};
    for (;;) {
      const int step = stream.advance();
      if (step == 0) break;
      if (step < 0) {
        // What was read before the refusal goes out first; a failure to write it wins.
        PendingError refusal;
        if (stream.flush_output()) refusal.restore();
        return nullptr;
      }
      if (!stream.converting_) {
        Ref value = Ref::steal(stream.builder_.take());
        PyErr_SetString(PyExc_TypeError, "Reader.convert() needs a reader made with a form");
        return nullptr;
      }
      stream.out_.append(separator);
      if (stream.out_.size() >= flush_at && !stream.flush_output()) return nullptr;
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

// An offset argument: negative ones count as 0, and ones past 2^63-1 (past any stream held) as
// the largest offset.
bool offset_from_python(PyObject* object, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  out = overflow > 0 ? no_limit : overflow < 0 || value < 0 ? 0 : static_cast<std::uint64_t>(value);
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
    const View held = stream_of(self).engine_.held(from, to, begins);
    Ref where = Ref::steal(PyLong_FromUnsignedLongLong(begins));
    if (!where) return nullptr;
    Ref octets = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(held.data()),
                                                      static_cast<Py_ssize_t>(held.size())));
    if (!octets) return nullptr;
    return PyTuple_Pack(2, where.get(), octets.get());
  });
}

PyObject* reader_get_offset(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(stream_of(self).engine_.offset());
}

PyObject* reader_get_start(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(stream_of(self).engine_.start());
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
         "indent=indent)` gives it, at any depth\nthe parser reads). With `raw_octets`, quoted "
         "strings may hold the octets\n0x80-0xFF as they are.")},
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
