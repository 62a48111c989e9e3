// The text of every move the notation can write, made once for the process: listings
// of moves and the bot's choice hand out references to these instead of new strings.
#pragma once

#include <Python.h>

#include "game/board.hpp"

namespace varno::binding {

// Every plain and targeted move text: 12 plain moves and 12 x 12 source-target pairs.
inline constexpr unsigned MOVE_TEXT_COUNT = CELL_COUNT * (CELL_COUNT + 1);

// Creates the texts, once for the process; called by the module's exec step, so that an
// import that cannot create them fails there, cleanly. False with the error set.
bool create_move_texts();

// A new reference to the text of `action` (a fault if the exec step never ran).
PyObject* move_text_object(const Action& action);

}  // namespace varno::binding
