#include <Python.h>

#include "value/to_python.h"

#include <vector>

#include "runtime/ref.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

// A list being filled: its source, the Python list (made at its final size), and the index of
// the next element to convert.
struct Frame {
  const Value::List* source;
  Ref list;
  std::size_t next;
};

PyObject* atom_to_python(const Value& atom, PyObject*& atom_class) {
  const Octets& data = atom.data();
  if (atom.hint() == nullptr) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
  }
  if (atom_class == nullptr) {
    atom_class = atom_type();
    if (atom_class == nullptr) return nullptr;
  }
  return new_atom(atom_class, data, *atom.hint());
}

PyObject* new_list(std::size_t size) { return PyList_New(static_cast<Py_ssize_t>(size)); }

}  // namespace

PyObject* value_to_python(const Value& value) {
  PyObject* atom_class = nullptr;
  if (value.is_atom()) return atom_to_python(value, atom_class);
  std::vector<Frame> stack;
  Ref root = Ref::steal(new_list(value.elements().size()));
  if (!root) return nullptr;
  stack.push_back(Frame{&value.elements(), Ref::borrow(root.get()), 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const Value::List& source = *top.source;
    // Atoms are filled in place; a nested list pauses this frame and opens its own.
    while (top.next < source.size()) {
      const Value& element = source[top.next];
      PyObject* item;
      if (element.is_atom()) {
        item = atom_to_python(element, atom_class);
      } else {
        item = new_list(element.elements().size());
      }
      if (item == nullptr) return nullptr;
      // PyList_SetItem steals the reference, also on failure.
      if (PyList_SetItem(top.list.get(), static_cast<Py_ssize_t>(top.next), item) < 0) {
        return nullptr;
      }
      ++top.next;
      if (element.is_list() && !element.elements().empty()) {
        stack.push_back(Frame{&element.elements(), Ref::borrow(item), 0});
        break;
      }
    }
    if (stack.back().next >= stack.back().source->size()) stack.pop_back();
  }
  return root.release();
}

}  // namespace tarnel::py
