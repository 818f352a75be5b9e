/* The floor of the Python benchmark: builds a tree of lists and bytes with nothing but PyList_New
 * and PyBytes_FromStringAndSize, from a plan made beforehand. No reader can build the same tree
 * faster than this.
 *
 * build(plan, data): `plan` holds native 64-bit integers in pre-order, n >= 0 for an atom of n
 * octets (taken in turn from `data`) and -(n + 1) for a list of n elements. The walk keeps open
 * lists on a heap stack, so it does not recurse however deep the tree. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

typedef struct {
  PyObject *list;
  Py_ssize_t next;
  Py_ssize_t size;
} Frame;

static PyObject *build(PyObject *self, PyObject *args) {
  Py_buffer plan, data;
  (void)self;
  if (!PyArg_ParseTuple(args, "y*y*", &plan, &data)) return NULL;
  const int64_t *entries = (const int64_t *)plan.buf;
  const Py_ssize_t count = plan.len / (Py_ssize_t)sizeof(int64_t);
  const char *octets = (const char *)data.buf;
  Py_ssize_t offset = 0, depth = 0, capacity = 64;
  Frame *stack = PyMem_Malloc((size_t)capacity * sizeof(Frame));
  PyObject *result = NULL;
  if (stack == NULL) goto fail;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const int64_t e = entries[i];
    PyObject *object;
    if (e >= 0) {
      if (e > data.len - offset) {
        PyErr_SetString(PyExc_ValueError, "the plan asks for more octets than there are");
        goto fail;
      }
      object = PyBytes_FromStringAndSize(octets + offset, (Py_ssize_t)e);
      offset += (Py_ssize_t)e;
    } else {
      object = PyList_New((Py_ssize_t)(-e - 1));
    }
    if (object == NULL) goto fail;
    if (depth == 0) {
      if (result != NULL) {
        Py_DECREF(object);
        PyErr_SetString(PyExc_ValueError, "the plan holds more than one tree");
        goto fail;
      }
      result = object;
    } else {
      Frame *top = &stack[depth - 1];
      PyList_SET_ITEM(top->list, top->next, object);
      top->next++;
    }
    if (e < -1) {
      if (depth == capacity) {
        capacity *= 2;
        Frame *grown = PyMem_Realloc(stack, (size_t)capacity * sizeof(Frame));
        if (grown == NULL) goto fail;
        stack = grown;
      }
      stack[depth].list = object;
      stack[depth].next = 0;
      stack[depth].size = (Py_ssize_t)(-e - 1);
      ++depth;
    }
    while (depth > 0 && stack[depth - 1].next == stack[depth - 1].size) --depth;
  }
  if (depth != 0 || result == NULL) {
    PyErr_SetString(PyExc_ValueError, "the plan ends inside a list");
    goto fail;
  }
  PyMem_Free(stack);
  PyBuffer_Release(&plan);
  PyBuffer_Release(&data);
  return result;
fail:
  Py_XDECREF(result);
  PyMem_Free(stack);
  PyBuffer_Release(&plan);
  PyBuffer_Release(&data);
  return NULL;
}

static PyMethodDef methods[] = {
    {"build", build, METH_VARARGS, "build(plan, data): the tree the plan describes."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&module); }
