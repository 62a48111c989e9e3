#include "binding/classes.hpp"

#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "game/fault.hpp"

namespace varno::binding {
namespace {

// Replaces the pending error by a RuntimeError whose __cause__ it is, with the message
// `make_message()` returns (a new reference). A MemoryError stays as it is: running out
// of memory is MemoryError wherever it happens, the import included.
template <class MakeMessage>
void raise_caused(MakeMessage&& make_message) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return;
    }
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref message = Ref::steal(make_message());
    Ref error =
        Ref::steal(message ? PyObject_CallOneArg(PyExc_RuntimeError, message.get()) : nullptr);
    if (!error) {
        return;  // the failure to build the error is the error
    }
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
}

PyObject* create_class(ClassCell& cell) {
    PyTypeObject* type = cell.published.load(std::memory_order_acquire);
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(cell.spec));
        if (type == nullptr && !PyErr_Occurred()) {
            // The interpreter (3.12, 3.13) fails without an exception when it cannot
            // allocate its copy of the class's name.
            PyErr_NoMemory();
        }
        if (type == nullptr) {
            raise_caused([&] {
                return PyUnicode_FromFormat("An error occurred while initializing class %s",
                                            cell.name);
            });
            return nullptr;
        }
        // Kept for the life of the process; the members need it while it is initialised.
        cell.published.store(type, std::memory_order_release);
    }
    std::vector<Ref> values;
    values.reserve(cell.attribute_names.size());
    for (std::size_t i = 0; i < cell.attribute_names.size(); ++i) {
        Ref value = Ref::steal(cell.make_attribute(i));
        if (!value) {
            raise_caused([&] {
                return PyUnicode_FromFormat("An error occurred while initializing `%s.%s`",
                                            cell.name, cell.attribute_names[i]);
            });
            return nullptr;
        }
        values.push_back(std::move(value));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* class_object = reinterpret_cast<PyObject*>(type);
        if (PyObject_SetAttrString(class_object, cell.attribute_names[i], values[i].get()) < 0) {
            raise_caused([&] {
                return PyUnicode_FromFormat("An error occurred while initializing `%s.__dict__`",
                                            cell.name);
            });
            return nullptr;
        }
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(type));
}

}  // namespace

PyObject* get_class(ClassCell& cell) {
    return cell.ready.get_or_create([&cell] { return create_class(cell); });
}

PyTypeObject* create_required_class(ClassCell& cell) {
    PyObject* type = get_class(cell);
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        VARNO_FAULT(("failed to create type object for `" + std::string(cell.name) + "`").c_str());
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* published_class(ClassCell& cell) {
    if (PyTypeObject* type = cell.published.load(std::memory_order_acquire)) {
        return type;
    }
    return require_class(cell);
}

}  // namespace varno::binding
