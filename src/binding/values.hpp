// Player and CardType: the two enumerations as Python sees them, each a class with
// exactly two members that are its only instances.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/borrow.hpp"
#include "game/board.hpp"

namespace varno::binding {

struct ValueObject {
    PyObject_HEAD std::uint8_t value;
    BorrowCounter borrow;
};

// The value of a Player argument; false with the boundary's TypeError (naming
// `parameter`) or borrow error set when `object` is not a usable Player.
bool extract_player(PyObject* object, const char* parameter, Player& out);

}  // namespace varno::binding
