// An owning reference to an interpreter object: released when it goes out of scope,
// so that no error path leaks one.
#pragma once

#include <Python.h>

#include <utility>

namespace varno::binding {

class Ref {
  public:
    Ref() = default;
    // Takes over a new reference (which may be null, after a failed call).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Takes a new reference to a borrowed one.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(std::exchange(object_, std::exchange(other.object_, nullptr)));
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    explicit Ref(PyObject* object) : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace varno::binding
