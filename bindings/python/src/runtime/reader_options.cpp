#include "runtime/reader_options.h"

#include <Python.h>

#include "runtime/errors.h"
#include "runtime/ref.h"

namespace tarnel::py {
namespace {

// An integer (anything with __index__) from 0 to 2^64-1, with the interpreter's own errors.
bool count_from_python(PyObject* object, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

}  // namespace

bool flag_from_python(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (object == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
    return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = module ? Ref::steal(PyObject_GetAttrString(type, "__name__")) : Ref();
  if (!module || !name) {
    if (!pending_exception_is_replaceable()) return false;
    PyErr_Clear();
  } else if (PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
             PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
             (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
              PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
    Ref method = Ref::steal(PyObject_GetAttrString(object, "__bool__"));
    if (!method) return false;
    Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!result) return false;
    if (result.get() == Py_True || result.get() == Py_False) {
      out = result.get() == Py_True;
      return true;
    }
    raise_not_an_instance(result.get(), "bool");
    return false;
  }
  raise_not_an_instance(object, "bool");
  return false;
}

bool option_from_python(const ReaderOption& option, PyObject* object, ReaderOptions& options) {
  if (option.type == OptionType::Flag) return flag_from_python(object, options.*option.flag);
  if (option.type == OptionType::Limit && object == Py_None) {
    options.*option.count = no_limit;
    return true;
  }
  return count_from_python(object, options.*option.count);
}

PyObject* option_to_python(const ReaderOption& option, const ReaderOptions& options) {
  if (option.type == OptionType::Flag) return PyBool_FromLong(options.*option.flag);
  const std::uint64_t value = options.*option.count;
  if (option.type == OptionType::Limit && value == no_limit) return new_ref(Py_None);
  return PyLong_FromUnsignedLongLong(value);
}

std::string parser_keyword_defaults() {
  std::string text;
  for (const ReaderOption& option : reader_option_table) {
    if (!text.empty()) text += ", ";
    text += option.name;
    if (option.type == OptionType::Flag) {
      text += default_options.*option.flag ? "=True" : "=False";
    } else if (option.type == OptionType::Limit && default_options.*option.count == no_limit) {
      text += "=None";
    } else {
      text += "=...";  // a number the docstring does not fix
    }
  }
  return text;
}

PyObject* reader_options_to_python() {
  Ref table = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(reader_option_count)));
  if (!table) return nullptr;
  constexpr const char* type_names[] = {"count", "limit", "flag"};
  for (std::size_t i = 0; i < reader_option_count; ++i) {
    const ReaderOption& option = reader_option_table[i];
    Ref fallback = Ref::steal(option_to_python(option, default_options));
    if (!fallback) return nullptr;
    PyObject* entry =
        Py_BuildValue("(ssOs)", option.name, type_names[static_cast<std::size_t>(option.type)],
                      fallback.get(), option.about);
    // PyTuple_SetItem takes the reference, also when it fails.
    if (entry == nullptr || PyTuple_SetItem(table.get(), static_cast<Py_ssize_t>(i), entry) < 0) {
      return nullptr;
    }
  }
  return table.release();
}

}  // namespace tarnel::py
