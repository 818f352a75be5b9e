#include "runtime/types.h"

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

#include "runtime/ref.h"

namespace tarnel::py {
namespace {

// One interpreter's objects, owned by the capsule that holds them.
struct InterpreterTypes {
  explicit InterpreterTypes(std::int64_t id) : interpreter(id) {}

  std::int64_t interpreter;
  std::array<std::atomic<PyObject*>, type_id_count> types{};
};

struct Index {
  std::mutex mutex;
  std::unordered_map<std::int64_t, InterpreterTypes*> by_interpreter;
  // Counts sets released, so that a thread's remembered set is never used after its release.
  std::atomic<std::uint64_t> releases{0};
};

// Never destroyed: at-exit destructors must not run after the interpreters they index.
Index& index() {
  static Index* instance = new Index();
  return *instance;
}

// The calling thread's last interpreter and its set, to skip the lock on the common path.
thread_local std::int64_t last_interpreter = -1;
thread_local InterpreterTypes* last_entry = nullptr;
thread_local std::uint64_t last_releases = 0;

void remember(std::int64_t id, InterpreterTypes* entry, std::uint64_t releases) noexcept {
  last_interpreter = id;
  last_entry = entry;
  last_releases = releases;
}

// Runs as the interpreter's dictionary is cleared, with that interpreter's thread state current.
void release_types(PyObject* capsule) noexcept {
  auto* entry = static_cast<InterpreterTypes*>(PyCapsule_GetPointer(capsule, types_key));
  if (entry == nullptr) {
    PyErr_Clear();
    return;
  }
  {
    Index& ix = index();
    std::lock_guard lock(ix.mutex);
    auto found = ix.by_interpreter.find(entry->interpreter);
    if (found != ix.by_interpreter.end() && found->second == entry) ix.by_interpreter.erase(found);
    ix.releases.fetch_add(1, std::memory_order_acq_rel);
  }
  for (std::atomic<PyObject*>& slot : entry->types) {
    xdecref(slot.exchange(nullptr, std::memory_order_acq_rel));
  }
  delete entry;
}

// The set kept in the interpreter's dictionary, made and stored there where missing. Between
// looking and storing no Python code runs (the key is a str, the value a capsule), so threads of
// one interpreter cannot both store one.
InterpreterTypes* set_in_dictionary(std::int64_t id) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "tarnel: this interpreter keeps no state for modules");
    return nullptr;
  }
  if (PyObject* held = PyDict_GetItemString(dict, types_key)) {
    return static_cast<InterpreterTypes*>(PyCapsule_GetPointer(held, types_key));
  }
  auto* entry = new InterpreterTypes(id);
  PyObject* capsule = PyCapsule_New(entry, types_key, release_types);
  if (capsule == nullptr) {
    delete entry;
    return nullptr;
  }
  const int stored = PyDict_SetItemString(dict, types_key, capsule);
  decref(capsule);  // on failure this releases the new set
  return stored == 0 ? entry : nullptr;
}

InterpreterTypes* entry_for_current_interpreter() {
  Index& ix = index();
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::uint64_t releases = ix.releases.load(std::memory_order_acquire);
  if (id == last_interpreter && last_entry != nullptr && releases == last_releases) {
    return last_entry;
  }
  {
    std::lock_guard lock(ix.mutex);
    releases = ix.releases.load(std::memory_order_acquire);
    auto found = ix.by_interpreter.find(id);
    if (found != ix.by_interpreter.end()) {
      remember(id, found->second, releases);
      return found->second;
    }
  }
  InterpreterTypes* entry = set_in_dictionary(id);
  if (entry == nullptr) return nullptr;
  std::lock_guard lock(ix.mutex);
  ix.by_interpreter[id] = entry;
  remember(id, entry, ix.releases.load(std::memory_order_acquire));
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
  if (entry == nullptr) return nullptr;
  std::atomic<PyObject*>& slot = entry->types[static_cast<std::size_t>(id)];
  if (PyObject* existing = slot.load(std::memory_order_acquire)) return existing;
  // Creating a type can run Python code (and so let another thread in); no lock is held here.
  PyObject* made = create();
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    decref(made);
    return expected;
  }
  return made;
}

}  // namespace tarnel::py
