// Player and CardType: the two enumerations as Python sees them, each a class with
// exactly two members that are its only instances.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/boundary.hpp"

namespace varno::binding {

struct ValueObject {
    PyObject_HEAD std::uint8_t value;
    BorrowCounter borrow;
};

}  // namespace varno::binding
