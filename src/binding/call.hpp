// A call from the interpreter: its arguments matched to the declared parameters and
// converted to plain values, and the core's results converted back to objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "binding/ref.hpp"

namespace varno::binding {

// ---- Argument matching -----------------------------------------------------------
// The texts of the argument errors (call.cpp) are fixed byte for byte, as the README's
// table gives them: callers match on them.

// The parameters of one callable: all positional-or-keyword and all required.
struct FunctionDescription {
    const char* full_name;  // "Board.play()", used in messages
    std::span<const char* const> parameters;
};

// Vector-call form. Fills `slots` (one per parameter) with borrowed references; on
// failure sets the matching TypeError and returns false.
bool match_vectorcall(const FunctionDescription& description, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots);

// Tuple-and-dictionary form (the constructor).
bool match_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                      PyObject** slots);

// ---- Conversions -----------------------------------------------------------------

// Sets the TypeError for an object that is not an instance of `expected`.
void set_conversion_error(PyObject* object, PyTypeObject* expected);

// Retells the pending conversion error of a plain TypeError with the parameter's name
// ("argument 'player': ..."); the new error keeps the old one's cause, not the old one
// itself. Other errors stay as they are.
void argument_extraction_error(const char* parameter);

// The UTF-8 form of a `str` argument, read in place (valid while the argument lives).
bool extract_text(PyObject* object, const char* parameter, std::string_view& out);

// An unsigned 32-bit integer argument (int, bool or anything with __index__).
bool extract_u32(PyObject* object, const char* parameter, std::uint32_t& out);

// ---- Results ---------------------------------------------------------------------

// `module.name`, importing the module if need be; empty with the error set on failure.
Ref import_attribute(const char* module, const char* name);

// A new str from ASCII text produced by the core; null with MemoryError set when the
// interpreter cannot allocate it.
PyObject* new_ascii(std::string_view text);

}  // namespace varno::binding
