#include "binding/boundary.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "binding/classes.hpp"
#include "binding/once.hpp"
#include "binding/ref.hpp"
#include "binding/values.hpp"

namespace varno::binding {

// ---- Argument matching -----------------------------------------------------------
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

void too_many_positional(const FunctionDescription& description, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 description.full_name, static_cast<Py_ssize_t>(description.parameters.size()),
                 given, given == 1 ? "was" : "were");
}

// The index of the parameter called `name`, or -1. Names are compared as UTF-8 bytes;
// a name that is not a str matches nothing.
Py_ssize_t find_parameter(const FunctionDescription& description, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        return -1;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        const char* parameter = description.parameters[i];
        if (std::strlen(parameter) == static_cast<std::size_t>(size) &&
            std::memcmp(parameter, text, static_cast<std::size_t>(size)) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// Places one keyword argument; false with the TypeError set when it cannot.
bool place_keyword(const FunctionDescription& description, PyObject* name, PyObject* value,
                   PyObject** slots) {
    const Py_ssize_t index = find_parameter(description, name);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     description.full_name, name);
        return false;
    }
    if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     description.full_name, description.parameters[index]);
        return false;
    }
    slots[index] = value;
    return true;
}

// Fills the slots of the `given` positional arguments and empties the others; fails at
// once when there are more than parameters.
bool place_positional(const FunctionDescription& description, PyObject* const* items,
                      Py_ssize_t given, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(description.parameters.size());
    if (given > count) {
        too_many_positional(description, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        slots[i] = i < given ? items[i] : nullptr;
    }
    return true;
}

bool check_missing(const FunctionDescription& description, PyObject** slots) {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < description.parameters.size() && count < std::size(missing); ++i) {
        if (slots[i] == nullptr) {
            missing[count++] = description.parameters[i];
        }
    }
    if (count == 0) {
        return true;
    }
    const std::string names = name_list({missing, count});
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 description.full_name, count, count == 1 ? "argument" : "arguments",
                 names.c_str());
    return false;
}

}  // namespace

bool match_vectorcall(const FunctionDescription& description, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (!place_positional(description, args, given, slots)) {
        return false;
    }
    if (kwnames == nullptr) {
        const auto count = static_cast<Py_ssize_t>(description.parameters.size());
        return given == count || check_missing(description, slots);
    }
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        if (!place_keyword(description, PyTuple_GET_ITEM(kwnames, k), args[given + k], slots)) {
            return false;
        }
    }
    return check_missing(description, slots);
}

bool match_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                      PyObject** slots) {
    if (!place_positional(description, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args),
                          slots)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!place_keyword(description, name, value, slots)) {
                return false;
            }
        }
    }
    return check_missing(description, slots);
}

// ---- Conversions -----------------------------------------------------------------

void set_conversion_error(PyObject* object, PyTypeObject* expected) {
    Ref expected_name = Ref::steal(PyType_GetQualName(expected));
    if (!expected_name) {
        return;
    }
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected_name.get());
        return;
    }
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) {
        PyErr_Clear();
        type_name = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
        if (!type_name) {
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", type_name.get(),
                 expected_name.get());
}

namespace {

// A conversion error of a plain TypeError is retold with the parameter's name; the
// new error keeps the old one's cause, not the old one itself. Other errors stay.
void argument_extraction_error(const char* parameter) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error || !Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, error.get()));
    if (!message) {
        return;
    }
    Ref retold = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!retold) {
        return;
    }
    PyException_SetCause(retold.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(retold.release());
}

}  // namespace

bool extract_text(PyObject* object, const char* parameter, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        set_conversion_error(object, &PyUnicode_Type);
        argument_extraction_error(parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        check_pending_error();
        argument_extraction_error(parameter);
        return false;
    }
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool extract_player(PyObject* object, const char* parameter, Player& out) {
    PyTypeObject* type = require_class(PLAYER_CLASS);
    if (!PyObject_TypeCheck(object, type)) {
        set_conversion_error(object, type);
        argument_extraction_error(parameter);
        return false;
    }
    // A shared borrow taken and given back at once: with the interpreter lock held that
    // is a check that no exclusive borrow stands, and members are never borrowed
    // exclusively, so the two locked writes of a real borrow would buy nothing.
    auto* member = reinterpret_cast<ValueObject*>(object);
    if (std::atomic_ref<BorrowCounter>(member->borrow).load(std::memory_order_acquire) == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        argument_extraction_error(parameter);
        return false;
    }
    out = member->value == 0 ? Player::A : Player::B;
    return true;
}

bool extract_u32(PyObject* object, const char* parameter, std::uint32_t& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        check_pending_error();
        argument_extraction_error(parameter);
        return false;
    }
    if (value < 0 || value > 0xFFFFFFFFL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

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

// ---- Results ---------------------------------------------------------------------

Ref import_attribute(const char* module, const char* name) {
    // sys.modules first: the full import protocol costs more than the rest of a pickle.
    Ref key = Ref::steal(PyUnicode_FromString(module));
    Ref imported = Ref::steal(key ? PyImport_GetModule(key.get()) : nullptr);
    if (!imported && key && !PyErr_Occurred()) {
        imported = Ref::steal(PyImport_ImportModule(module));
    }
    Ref attribute = Ref::steal(imported ? PyObject_GetAttrString(imported.get(), name) : nullptr);
    if (!attribute) {
        check_pending_error();
    }
    return attribute;
}

PyObject* new_ascii(std::string_view text) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (result == nullptr) [[unlikely]] {
        return nullptr;
    }
    // An empty view may hold a null pointer, which memcpy must not be given.
    if (!text.empty()) {
        std::memcpy(PyUnicode_1BYTE_DATA(result), text.data(), text.size());
    }
    return result;
}

}  // namespace varno::binding
