#include "binding/call.hpp"

#include <cstring>
#include <string>

#include "binding/errors.hpp"

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

bool extract_text(PyObject* object, const char* parameter, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        set_conversion_error(object, &PyUnicode_Type);
        argument_extraction_error(parameter);
        return false;
    }
    if (PyUnicode_IS_COMPACT_ASCII(object)) {
        // ASCII is its own UTF-8: the characters are the bytes, with no call out.
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
        return true;
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

bool extract_u32(PyObject* object, const char* parameter, std::uint32_t& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        check_pending_error();
        argument_extraction_error(parameter);
        return false;
    }
    if (value < 0 || value > 0xFFFFFFFFL) {
        // Fixed text, like every argument error here.
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
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
