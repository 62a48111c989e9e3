// Player and CardType: the two enumerations as Python sees them, each a class with
// exactly two members that are its only instances.
#pragma once

#include <Python.h>

#include <cstdint>

#include "game/board.hpp"

namespace varno::binding {

// A member: its value, fixed when it is made. Nothing ever changes a member, so no call
// borrows one (Board's borrow counter guards what play changes).
struct ValueObject {
    PyObject_HEAD std::uint8_t value;
};

// The value of a Player argument; false with the boundary's TypeError (naming
// `parameter`) set when `object` is not a Player.
bool extract_player(PyObject* object, const char* parameter, Player& out);

}  // namespace varno::binding
