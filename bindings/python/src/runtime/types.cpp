#include <Python.h>

#include "runtime/types.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

namespace tarnel::py {
namespace {

struct InterpreterTypes {
  std::array<std::atomic<PyObject*>, type_id_count> types{};
};

struct Cache {
  std::mutex mutex;
  // Node-based, so an entry's address is stable once made; entries are never removed.
  std::unordered_map<std::int64_t, InterpreterTypes> by_interpreter;
};

// Never destroyed: type objects must outlive every interpreter, and at-exit destructors must not
// touch Python.
Cache& cache() {
  static Cache* instance = new Cache();
  return *instance;
}

// The calling thread's last interpreter and its entry, to skip the lock on the common path.
thread_local std::int64_t last_interpreter = -1;
thread_local InterpreterTypes* last_entry = nullptr;

InterpreterTypes* entry_for_current_interpreter() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == last_interpreter && last_entry != nullptr) return last_entry;
  Cache& c = cache();
  std::lock_guard lock(c.mutex);
  InterpreterTypes* entry = &c.by_interpreter[id];
  last_interpreter = id;
  last_entry = entry;
  return entry;
}

}  // namespace

PyObject* cached_object(TypeId id, TypeFactory create) noexcept {
  InterpreterTypes* entry;
  try {
    entry = entry_for_current_interpreter();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal failure in tarnel: type cache");
    return nullptr;
  }
  std::atomic<PyObject*>& slot = entry->types[static_cast<std::size_t>(id)];
  if (PyObject* existing = slot.load(std::memory_order_acquire)) return existing;
  // Creating a type can run Python code (and so let another thread in); no lock is held here.
  PyObject* made = create();
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

}  // namespace tarnel::py
