#include "binding/errors.hpp"

#include <cstdio>
#include <cstring>

#include "binding/once.hpp"

namespace varno::binding {

// ---- Errors ----------------------------------------------------------------------

void raise_rule_violation(std::string_view message) {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), nullptr));
    if (text) {
        PyErr_SetObject(PyExc_ValueError, text.get());
    }
}

namespace {

OnceObject panic_type;

constexpr const char* PANIC_DOC =
    "The exception raised when the module's native code meets an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException only, so that it usually propagates\n"
    "all the way up the stack and makes the interpreter exit instead of being caught\n"
    "by an ordinary `except Exception` handler.";

}  // namespace

bool create_panic_exception_type() {
    return panic_type.get_or_create([] {
        // Fixed name: callers catch the panic by its module and name (README, "What callers
        // can rely on"); the module "pyo3_runtime" does not exist and is never imported.
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                         PyExc_BaseException, nullptr);
    }) != nullptr;
}

PyObject* panic_exception_type() {
    return panic_type.get();
}

namespace {

// Raises the panic exception with `message`. The type is missing only if the exec step
// never ran, which no call into a class of the module can outlive; the fault is then
// told as a SystemError rather than not at all.
void set_panic(PyObject* message) {
    PyObject* type = panic_exception_type();
    PyErr_SetObject(type != nullptr ? type : PyExc_SystemError, message);
}

}  // namespace

void raise_panic(const char* message, const char* file, int line) noexcept {
    if (message == nullptr || *message == '\0') {
        message = "internal fault without a message";
    }
    // Whatever was pending is superseded by the fault.
    Py_XDECREF(PyErr_GetRaisedException());
    if (file != nullptr) {
        std::fprintf(stderr, "varno: internal fault at %s:%d: %s\n", file, line, message);
    } else {
        std::fprintf(stderr, "varno: internal fault: %s\n", message);
    }
    std::fflush(stderr);
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) {
        return;  // out of memory even for the message: the MemoryError is what is raised
    }
    set_panic(text.get());
}

void raise_panic(const ResumedPanic& resumed) noexcept {
    Py_XDECREF(PyErr_GetRaisedException());
    std::fputs("varno: internal fault: a panic raised in Python code was resumed\n", stderr);
    std::fflush(stderr);
    set_panic(resumed.message.get());
}

void check_pending_error() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) {
        return;
    }
    PyObject* panic = panic_exception_type();
    if (panic == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(error.get())) != panic) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    std::fputs("varno: a panic raised in Python code is being resumed; its traceback:\n", stderr);
    PyErr_DisplayException(error.get());
    Ref message = Ref::steal(PyObject_Str(error.get()));
    if (!message) {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromString("Unwrapped panic from Python code"));
        if (!message) {
            PyErr_Clear();
            VARNO_FAULT("Unwrapped panic from Python code");
        }
    }
    throw ResumedPanic{std::move(message)};
}

}  // namespace varno::binding
