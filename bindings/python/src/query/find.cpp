#include <Python.h>

#include <vector>

#include "query/py_tree.h"
#include "query/query.h"
#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/query_tree.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

constexpr Param find_params[] = {
    {"sexp", ParamKind::PositionalOrKeyword, true},
    {"name", ParamKind::PositionalOrKeyword, true},
    {"default", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature find_signature{"find()", find_params};

constexpr Param find_all_params[] = {
    {"sexp", ParamKind::PositionalOrKeyword, true},
    {"name", ParamKind::PositionalOrKeyword, true},
};
constexpr Signature find_all_signature{"find_all()", find_all_params};

// Takes `name`'s octets as any octet-string argument is taken (bytes, or str as UTF-8), then
// walks `sexp`; `visit(PyObject* list)` is handed each list found (borrowed), returning false to
// stop. False with an exception set where the name or the value is refused.
template <class Visit>
bool walk(PyObject* sexp, PyObject* name, Visit&& visit) {
  PyObject* atom = atom_type();
  if (atom == nullptr) return false;
  Octets octets;
  if (!octets_from_python(name, atom, octets)) {
    add_argument_note("name");
    return false;
  }
  PyTree tree(atom);
  if (query::find_each(tree, sexp, octets.view(), visit)) return true;
  add_argument_note("sexp");
  return false;
}

}  // namespace

const char find_doc[] =
    "find(sexp, name, default=None)\n--\n\n"
    "Returns the first list of `sexp` whose first element is `name`, in document\n"
    "order: a list before the lists inside it, `sexp` itself first.\n\n"
    "The first element must be an octet string without a display hint holding\n"
    "exactly `name` (`bytes`, or `str` taken as UTF-8). The list itself is\n"
    "returned, not a copy, or `default` where there is none. Tuples count as lists;\n"
    "an element the search reaches that is not an S-expression raises `TypeError`.";

const char find_all_doc[] =
    "find_all(sexp, name)\n--\n\n"
    "Returns an iterator over every list of `sexp` that `find` would take, in\n"
    "document order, lists found inside others included.\n\n"
    "The lists are all found when it is called, and each is the list itself.";

PyObject* find_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_fastcall(find_signature, args, nargs, kwnames, bound)) return nullptr;
    PyObject* found = nullptr;
    const bool walked = walk(bound[0], bound[1], [&found](PyObject* list) {
      found = list;
      return false;
    });
    if (!walked) return nullptr;
    if (found == nullptr) found = bound[2] != nullptr ? bound[2] : Py_None;
    return Ref::borrow(found).release();
  });
}

PyObject* find_all_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(find_all_signature, args, nargs, kwnames, bound)) return nullptr;
    // Held as they are found: making the result allocates, and so may run the collector, whose
    // finalizers may change the lists they are found in.
    std::vector<Ref> found;
    const bool walked = walk(bound[0], bound[1], [&found](PyObject* list) {
      found.push_back(Ref::borrow(list));
      return true;
    });
    if (!walked) return nullptr;
    Ref lists = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!lists) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      // PyList_SetItem takes the reference it is given.
      if (PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(i), found[i].release()) < 0) {
        return nullptr;
      }
    }
    return PyObject_GetIter(lists.get());
  });
}

}  // namespace tarnel::py
