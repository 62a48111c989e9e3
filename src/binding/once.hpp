// Process-wide objects created at most once (the classes, their members and the panic
// exception type).
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace varno::binding {

// Holds one strong reference, forever once set. The first thread to need the object
// creates it while the others wait; a waiting thread releases the interpreter lock so
// that the creator, which may need the lock again, cannot be blocked by it.
class OnceObject {
  public:
    PyObject* get() const { return value_.load(std::memory_order_acquire); }

    // `create` returns a new reference, or null with an exception set; a failure leaves
    // the cell empty, so the next caller tries again. Returns a borrowed reference.
    template <class Create>
    PyObject* get_or_create(Create&& create) {
        if (PyObject* value = get()) {
            return value;
        }
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            PyThreadState* state = PyEval_SaveThread();
            lock.lock();
            PyEval_RestoreThread(state);
        }
        if (PyObject* value = get()) {
            return value;
        }
        PyObject* created = create();
        if (created != nullptr) {
            value_.store(created, std::memory_order_release);
        }
        return created;
    }

  private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace varno::binding
