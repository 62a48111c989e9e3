// The module's classes: heap types created from specs, at most once per process.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <span>

#include "binding/once.hpp"

namespace varno::binding {

struct ClassCell {
    const char* name;  // the bare class name, as in messages and __all__
    PyType_Spec* spec;
    // Class attributes set after creation, in this order, each made by `make_attribute`
    // (a new reference, or null with an exception set).
    std::span<const char* const> attribute_names;
    PyObject* (*make_attribute)(std::size_t index) = nullptr;

    // The class object once fully initialised (attributes set).
    OnceObject ready;
    // The class object as soon as it exists, for the attribute makers that run during
    // its initialisation.
    std::atomic<PyTypeObject*> published{nullptr};
};

// The class, creating it on first use. Null with the creation error set on failure:
// a RuntimeError naming the step that failed, caused by the interpreter's error.
PyObject* get_class(ClassCell& cell);

// For methods, which cannot do without the class: a creation failure is reported as
// unraisable and ends the call as a fault. Inline, since every call checks its receiver
// or an argument against a class that almost always exists already.
PyTypeObject* create_required_class(ClassCell& cell);

inline PyTypeObject* require_class(ClassCell& cell) {
    if (PyObject* type = cell.ready.get()) [[likely]] {
        return reinterpret_cast<PyTypeObject*>(type);
    }
    return create_required_class(cell);
}

// The type as far as it exists (for the attribute makers).
PyTypeObject* published_class(ClassCell& cell);

extern ClassCell PLAYER_CLASS;
extern ClassCell CARD_TYPE_CLASS;
extern ClassCell BOARD_CLASS;

}  // namespace varno::binding
