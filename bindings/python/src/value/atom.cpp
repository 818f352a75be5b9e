#include "value/atom.h"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "runtime/types.h"
#include "tarnel/siphash.h"

namespace tarnel::py {
namespace {

AtomObject* as_atom(PyObject* self) { return reinterpret_cast<AtomObject*>(self); }

bool is_atom(PyObject* object, PyObject* atom) {
  return atom != nullptr && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(atom));
}

std::span<const std::uint8_t> bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

// A sequence of integers 0-255 read by iteration. `PyObject_Size` only sizes the reservation,
// capped so that a huge or lying length cannot make this allocate up front.
bool octets_from_sequence(PyObject* object, Buffer& out) {
  constexpr Py_ssize_t reservation_cap = 1 << 16;
  Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    if (!pending_exception_is_replaceable()) return false;
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min(hint, reservation_cap)));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_ValueError, "an octet outside 0 to 255");
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
}

// Whether iterating over an object of this class gives the items of its buffer as integers, so
// that a buffer of unsigned bytes reads as the same octets either way: 1, 0, or -1 with an
// exception set. Classes are told by name, and only where Python code cannot change them (they
// are static or immutable), so that no Python class can pass for one. An mmap is not one: its
// items are bytes of length one.
int iterates_over_its_buffer(PyObject* object) {
  if (PyMemoryView_Check(object) || PyByteArray_CheckExact(object)) return 1;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  const unsigned long flags = PyType_GetFlags(Py_TYPE(object));
  if ((flags & Py_TPFLAGS_HEAPTYPE) != 0 && (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) return 0;
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module) return -1;
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (!name) return -1;
  if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return 0;
  const bool array = PyUnicode_CompareWithASCIIString(module.get(), "array") == 0 &&
                     PyUnicode_CompareWithASCIIString(name.get(), "array") == 0;
  const bool ndarray = PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                       PyUnicode_CompareWithASCIIString(name.get(), "ndarray") == 0;
  return array || ndarray;
}

}  // namespace

OctetBuffer::Taken take_buffer_octets(PyObject* object, OctetBuffer& buffer) {
  using Taken = OctetBuffer::Taken;
  const int eligible = iterates_over_its_buffer(object);
  const Taken taken = eligible < 0    ? Taken::Failed
                      : eligible == 0 ? Taken::NotOctets
                                      : buffer.take(object);
  if (taken != Taken::Failed) return taken;
  // A refusal (a released memoryview, say) leaves the object to the path that reads it item by
  // item, which fails or succeeds exactly as it always has.
  if (!pending_exception_is_replaceable()) return taken;
  PyErr_Clear();
  return Taken::NotOctets;
}

bool octets_from_python(PyObject* object, PyObject* atom, Octets& out) {
  if (PyBytes_Check(object)) {
    out = Octets(bytes_view(object));
    return true;
  }
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out = Octets(std::string_view(utf8, static_cast<std::size_t>(size)));
    return true;
  }
  if (is_atom(object, atom)) {
    out = Octets(as_atom(object)->data.view());
    return true;
  }
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    Py_ssize_t size = PyByteArray_Size(object);
    out = Octets(std::string_view(data, static_cast<std::size_t>(size)));
    return true;
  }
  if (PySequence_Check(object)) {
    OctetBuffer buffer;
    const OctetBuffer::Taken taken = take_buffer_octets(object, buffer);
    if (taken == OctetBuffer::Taken::Failed) return false;
    if (taken == OctetBuffer::Taken::Octets) {
      out = Octets(buffer.view());
      return true;
    }
    Buffer collected;
    if (octets_from_sequence(object, collected)) {
      out = Octets(std::move(collected));
      return true;
    }
    if (!pending_exception_is_replaceable()) return false;
    PyErr_Clear();
  }
  raise_unconvertible(object);
  return false;
}

bool atom_from_python(PyObject* object, PyObject* atom, Value& out) {
  if (is_atom(object, atom)) {
    const AtomObject* a = as_atom(object);
    Octets data(a->data.view());
    if (a->hint == nullptr) {
      out = Value::atom(std::move(data));
    } else {
      out = Value::atom(std::move(data), Octets(a->hint->view()));
    }
    return true;
  }
  Octets data;
  if (!octets_from_python(object, atom, data)) return false;
  out = Value::atom(std::move(data));
  return true;
}

bool atom_view_from_python(PyObject* object, PyObject* atom, Octets& scratch, AtomView& out) {
  if (is_atom(object, atom)) {
    const AtomObject* a = as_atom(object);
    out = {a->data.view(), a->hint};
    return true;
  }
  if (PyBytes_Check(object)) {
    out = {bytes_view(object), nullptr};
    return true;
  }
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out = {{reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size)}, nullptr};
    return true;
  }
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    Py_ssize_t size = PyByteArray_Size(object);
    out = {{reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)}, nullptr};
    return true;
  }
  if (!octets_from_python(object, atom, scratch)) return false;
  out = {scratch.view(), nullptr};
  return true;
}

namespace {

PyObject* alloc_atom(PyObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  AtomObject* a = as_atom(self);
  new (&a->data) Octets();
  a->hint = nullptr;
  return self;
}

void atom_dealloc(PyObject* self) noexcept {
  AtomObject* a = as_atom(self);
  a->data.~Octets();
  delete a->hint;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  decref(type);
}

constexpr Param atom_new_params[] = {
    {"data", ParamKind::PositionalOrKeyword, true},
    {"hint", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature atom_new_signature{"Atom.__new__()", atom_new_params};

PyObject* atom_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_tuple_and_dict(atom_new_signature, args, kwargs, bound)) return nullptr;
    PyObject* atom = reinterpret_cast<PyObject*>(type);
    Octets data;
    if (!octets_from_python(bound[0], atom, data)) {
      add_argument_note("data");
      return nullptr;
    }
    std::unique_ptr<Octets> hint;
    if (bound[1] != nullptr && bound[1] != Py_None) {
      hint = std::make_unique<Octets>();
      if (!octets_from_python(bound[1], atom, *hint)) {
        add_argument_note("hint");
        return nullptr;
      }
    }
    PyObject* self = alloc_atom(atom);
    if (self == nullptr) return nullptr;
    as_atom(self)->data = std::move(data);
    as_atom(self)->hint = hint.release();
    return self;
  });
}

Py_ssize_t atom_length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as_atom(self)->data.size());
}

bool same_hint(const Octets* a, const Octets* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return *a == *b;
}

PyObject* atom_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guard([&]() -> PyObject* {
    if (op < Py_LT || op > Py_GE) return new_ref(Py_NotImplemented);
    const AtomObject* a = as_atom(self);
    bool equal;
    if (PyBytes_Check(other)) {
      equal = a->hint == nullptr && a->data.view().size() == bytes_view(other).size() &&
              std::equal(a->data.view().begin(), a->data.view().end(), bytes_view(other).begin());
    } else {
      Value converted;
      if (atom_from_python(other, reinterpret_cast<PyObject*>(Py_TYPE(self)), converted)) {
        equal = a->data == converted.data() && same_hint(a->hint, converted.hint());
      } else {
        if (!pending_exception_is_replaceable()) return nullptr;
        PyErr_Clear();
        equal = false;
      }
    }
    if (op == Py_EQ) return PyBool_FromLong(equal);
    if (op == Py_NE) return PyBool_FromLong(!equal);
    return new_ref(Py_NotImplemented);
  });
}

void put_le64(Buffer& out, std::uint64_t v) {
  std::uint8_t* p = out.extend(8);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Py_hash_t atom_hash(PyObject* self) noexcept {
  return guard([&]() -> Py_hash_t {
    const AtomObject* a = as_atom(self);
    Buffer layout;
    layout.reserve(24 + a->data.size() + (a->hint ? a->hint->size() : 0));
    put_le64(layout, a->data.size());
    layout.append(a->data.view());
    put_le64(layout, a->hint != nullptr ? 1 : 0);
    if (a->hint != nullptr) {
      put_le64(layout, a->hint->size());
      layout.append(a->hint->view());
    }
    auto h = static_cast<Py_hash_t>(siphash13_zero_key(layout.view()));
    return h == -1 ? -2 : h;
  });
}

void put_octet_literal(Buffer& out, const Octets& octets) {
  static constexpr char hex[] = "0123456789abcdef";
  out.append(std::string_view("b\""));
  for (std::uint8_t c : octets.view()) {
    switch (c) {
      case '\t':
        out.append(std::string_view("\\t"));
        break;
      case '\n':
        out.append(std::string_view("\\n"));
        break;
      case '\r':
        out.append(std::string_view("\\r"));
        break;
      case '"':
      case '\'':
      case '\\':
        out.push_back('\\');
        out.push_back(c);
        break;
      default:
        if (c >= 0x20 && c <= 0x7E) {
          out.push_back(c);
        } else {
          out.append(std::string_view("\\x"));
          out.push_back(static_cast<std::uint8_t>(hex[c >> 4]));
          out.push_back(static_cast<std::uint8_t>(hex[c & 15]));
        }
    }
  }
  out.push_back('"');
}

PyObject* atom_repr(PyObject* self) noexcept {
  return guard([&]() -> PyObject* {
    const AtomObject* a = as_atom(self);
    Buffer out;
    out.append(std::string_view("Atom("));
    put_octet_literal(out, a->data);
    if (a->hint != nullptr) {
      out.append(std::string_view(", hint="));
      put_octet_literal(out, *a->hint);
    }
    out.push_back(')');
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                       static_cast<Py_ssize_t>(out.size()));
  });
}

PyObject* bytes_of(const Octets& octets) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(octets.data()),
                                   static_cast<Py_ssize_t>(octets.size()));
}

PyObject* atom_get_data(PyObject* self, void*) noexcept {
  return guard([&]() -> PyObject* { return bytes_of(as_atom(self)->data); });
}

PyObject* atom_get_hint(PyObject* self, void*) noexcept {
  return guard([&]() -> PyObject* {
    const Octets* hint = as_atom(self)->hint;
    if (hint == nullptr) return new_ref(Py_None);
    return bytes_of(*hint);
  });
}

constexpr Param effective_hint_params[] = {{"default", ParamKind::PositionalOrKeyword, true}};
constexpr Signature effective_hint_signature{"Atom.effective_hint()", effective_hint_params};

PyObject* atom_effective_hint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(effective_hint_signature, args, nargs, kwnames, bound)) return nullptr;
    Octets fallback;
    if (!octets_from_python(bound[0], reinterpret_cast<PyObject*>(Py_TYPE(self)), fallback)) {
      add_argument_note("default");
      return nullptr;
    }
    const Octets* hint = as_atom(self)->hint;
    return bytes_of(hint != nullptr ? *hint : fallback);
  });
}

constexpr Param eq_ignoring_hint_params[] = {{"other", ParamKind::PositionalOrKeyword, true}};
constexpr Signature eq_ignoring_hint_signature{"Atom.eq_ignoring_hint()", eq_ignoring_hint_params};

PyObject* atom_eq_ignoring_hint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(eq_ignoring_hint_signature, args, nargs, kwnames, bound)) return nullptr;
    Value other;
    if (!atom_from_python(bound[0], reinterpret_cast<PyObject*>(Py_TYPE(self)), other)) {
      return nullptr;
    }
    return PyBool_FromLong(as_atom(self)->data == other.data());
  });
}

PyGetSetDef atom_getset[] = {
    {"data", atom_get_data, nullptr, "The data octets.", nullptr},
    {"hint", atom_get_hint, nullptr, "The display hint, or `None` where the atom carries none.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef atom_methods[] = {
    {"effective_hint",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(atom_effective_hint)),
     METH_FASTCALL | METH_KEYWORDS,
     "effective_hint($self, default)\n--\n\nReturns the display hint, or `default` where the atom "
     "carries none.\n\n\xc2\xa7"
     "4.7 allows an atom without a display hint to be compared as though it\nhad whichever hint "
     "the application supplies by default."},
    {"eq_ignoring_hint",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(atom_eq_ignoring_hint)),
     METH_FASTCALL | METH_KEYWORDS,
     "eq_ignoring_hint($self, other)\n--\n\nReturns whether two octet strings hold the same "
     "data, whatever their\ndisplay hints.\n\n\xc2\xa7"
     "4.7 names this as a criterion an application may use in place of the\none `==` "
     "implements."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot atom_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(atom_new)},
    {Py_mp_length, reinterpret_cast<void*>(atom_length)},
    {Py_tp_richcompare, reinterpret_cast<void*>(atom_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(atom_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(atom_repr)},
    {Py_tp_getset, atom_getset},
    {Py_tp_methods, atom_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(atom_dealloc)},
    {Py_tp_doc, const_cast<char*>(
                    "Atom(data, hint=None)\n--\n\nAn octet string with a display hint.\n\nBuilding "
                    "one is the only way to give an octet string a hint, since plain\n`bytes` "
                    "carries none. Text is taken as UTF-8, which \xc2\xa7"
                    "4.6 recommends where\nthe data is text.")},
    {0, nullptr},
};

PyType_Spec atom_spec = {
    "tarnel.Atom", sizeof(AtomObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, atom_slots,
};

PyObject* make_atom_type() { return PyType_FromSpec(&atom_spec); }

}  // namespace

PyObject* atom_type() noexcept { return cached_type(TypeId::Atom, make_atom_type); }

PyObject* new_atom(PyObject* type, std::span<const std::uint8_t> data,
                   std::span<const std::uint8_t> hint) {
  Ref self = Ref::steal(alloc_atom(type));
  if (!self) return nullptr;
  as_atom(self.get())->data = Octets(data);
  as_atom(self.get())->hint = new Octets(hint);
  return self.release();
}

}  // namespace tarnel::py
