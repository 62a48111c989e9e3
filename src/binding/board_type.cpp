// The Board class: one game position, dealt by the constructor, changed only by play.
#include <Python.h>

#include <algorithm>

#include "binding/borrow.hpp"
#include "binding/call.hpp"
#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/move_texts.hpp"
#include "binding/ref.hpp"
#include "binding/values.hpp"
#include "bot/turn.hpp"
#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/moves.hpp"
#include "game/picture.hpp"
#include "game/saved_state.hpp"

namespace varno::binding {
namespace {

// 32 bytes: the object header, the position's four masks and the borrow counter. In the
// interpreter's pools of 32-byte blocks every other Board lies in one cache line and the
// rest in two (blocks of 64 bytes start 48 bytes into a line, so all of them took two).
struct BoardObject {
    PyObject_HEAD PackedGrid grid;
    BorrowCounter borrow;
};
static_assert(sizeof(BoardObject) == 32);

// The receiver of a method, checked against the class.
BoardObject* as_board(PyObject* self) {
    PyTypeObject* type = require_class(BOARD_CLASS);
    if (!PyObject_TypeCheck(self, type)) [[unlikely]] {
        set_conversion_error(self, type);
        return nullptr;
    }
    return reinterpret_cast<BoardObject*>(self);
}

// A new instance of `type` (the class or, for copies, the original's class) holding
// `grid`, allocated through the base object's constructor.
PyObject* new_board(PyTypeObject* type, const PackedGrid& grid) {
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) {
        return nullptr;
    }
    PyObject* self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
    if (self == nullptr) {
        return nullptr;
    }
    auto* board = reinterpret_cast<BoardObject*>(self);
    board->grid = grid;
    board->borrow = 0;
    return self;
}

constexpr FunctionDescription NEW{"Board.__new__()", {}};

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_guarded<PyObject*>(nullptr, [=]() -> PyObject* {
        if (!match_tuple_dict(NEW, args, kwargs, nullptr)) {
            return nullptr;
        }
        VARNO_FAULT_HOOK(NEW.full_name);
        return new_board(type, pack(new_game()));
    });
}

void board_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Checks the receiver, borrows it (`Borrow` says how) and runs `body(grid)` with the
// borrow held.
template <class Borrow, class Body>
PyObject* with_board(PyObject* self, [[maybe_unused]] const char* site, Body&& body) {
    BoardObject* board = as_board(self);
    if (board == nullptr) {
        return nullptr;
    }
    Borrow borrow(board->borrow);
    if (!borrow.ok()) {
        return nullptr;
    }
    VARNO_FAULT_HOOK(site);
    return body(board->grid);
}

PyObject* board_str(PyObject* self) {
    return run_guarded<PyObject*>(nullptr, [self]() -> PyObject* {
        return with_board<SharedBorrow>(self, "Board.__str__()", [](const PackedGrid& grid) {
            return new_ascii(render(grid).view());
        });
    });
}

// The common steps of a method: match the arguments, then check and borrow the receiver
// and run `body(grid, slots)` with the borrow held.
template <class Borrow, std::size_t Count, class Body>
PyObject* board_method(const FunctionDescription& description, PyObject* self,
                       PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Body&& body) {
    return run_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[Count > 0 ? Count : 1];
        if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == Count) [[likely]] {
            // The common call, every argument given by position: nothing to match.
            std::copy_n(args, Count, slots);
        } else if (!match_vectorcall(description, args, nargsf, kwnames, slots)) {
            return nullptr;
        }
        return with_board<Borrow>(self, description.full_name,
                                  [&](PackedGrid& grid) { return body(grid, slots); });
    });
}

// `_room_id` is required and must be a str, and is not used: hosts pass their room's id,
// and the name and the check are fixed (README, "What callers can rely on").
constexpr const char* PLAY_PARAMETERS[] = {"move_str", "player", "_room_id"};
constexpr FunctionDescription PLAY{"Board.play()", PLAY_PARAMETERS};

PyObject* board_play(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return board_method<ExclusiveBorrow, 3>(
        PLAY, self, args, nargsf, kwnames, [](PackedGrid& grid, PyObject** slots) -> PyObject* {
            std::string_view text;
            Player player{};
            std::string_view room_id;
            if (!extract_text(slots[0], "move_str", text) ||
                !extract_player(slots[1], "player", player) ||
                !extract_text(slots[2], "_room_id", room_id)) {
                return nullptr;
            }
            const MoveError error = play_move(grid, text, player);
            if (error != MoveError::None) {
                raise_rule_violation(move_error_message(error));
                return nullptr;
            }
            Py_RETURN_NONE;
        });
}

constexpr const char* PLAYER_PARAMETER[] = {"player"};
constexpr FunctionDescription GET_LEGAL_MOVES{"Board.get_legal_moves()", PLAYER_PARAMETER};

PyObject* board_get_legal_moves(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return board_method<SharedBorrow, 1>(
        GET_LEGAL_MOVES, self, args, nargsf, kwnames,
        [](const PackedGrid& grid, PyObject** slots) -> PyObject* {
            Player player{};
            if (!extract_player(slots[0], "player", player)) {
                return nullptr;
            }
            const auto actions = legal_actions(grid, player);
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(actions.size())));
            if (!list) {
                return nullptr;
            }
            // References to the process's texts (binding/move_texts.hpp), not new strings.
            for (std::size_t i = 0; i < actions.size(); ++i) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                                move_text_object(actions[i]));
            }
            return list.release();
        });
}

// The search asks every 65,536 nodes or so whether to stop; a signal handler that
// raised (Ctrl-C) ends the search with its exception pending.
bool signal_raised(void*) {
    return PyErr_CheckSignals() != 0;
}

constexpr const char* PLAY_BOT_PARAMETERS[] = {"player", "depth"};
constexpr FunctionDescription PLAY_BOT{"Board.play_bot()", PLAY_BOT_PARAMETERS};

PyObject* board_play_bot(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return board_method<SharedBorrow, 2>(
        PLAY_BOT, self, args, nargsf, kwnames,
        [](const PackedGrid& grid, PyObject** slots) -> PyObject* {
            Player player{};
            std::uint32_t depth = 0;
            if (!extract_player(slots[0], "player", player) ||
                !extract_u32(slots[1], "depth", depth)) {
                return nullptr;
            }
            const TurnOutcome outcome =
                bot_turn(grid, player, depth, StopCheck{signal_raised, nullptr});
            switch (outcome.status) {
                case TurnStatus::OutOfMemory:
                    return PyErr_NoMemory();
                case TurnStatus::Stopped:
                    check_pending_error();
                    return nullptr;
                case TurnStatus::Done:
                    break;
            }
            return outcome.move ? move_text_object(*outcome.move) : new_ascii({});
        });
}

// ---- Copying and pickling ---------------------------------------------------------
// A copy is a new Board in the same position. A pickle holds the saved state (the text of
// game/saved_state.hpp, face-down cards included) and names a rebuilding function in the
// small pure-Python module installed beside this one: pickle finds classes by module and
// name, and this module's classes live in "builtins", where it would not find them.

constexpr const char* PICKLE_MODULE = "_varno_pickle";

// The body of both copies: a new Board of the receiver's class in the same position.
auto same_position(PyObject* self) {
    return [self](const PackedGrid& grid, PyObject**) -> PyObject* {
        return new_board(Py_TYPE(self), grid);
    };
}

constexpr FunctionDescription COPY{"Board.__copy__()", {}};

PyObject* board_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return board_method<SharedBorrow, 0>(COPY, self, args, nargsf, kwnames, same_position(self));
}

constexpr const char* MEMO_PARAMETER[] = {"memo"};
constexpr FunctionDescription DEEPCOPY{"Board.__deepcopy__()", MEMO_PARAMETER};

// A Board refers to no other object, so the memo has nothing to share.
PyObject* board_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return board_method<SharedBorrow, 1>(DEEPCOPY, self, args, nargsf, kwnames,
                                         same_position(self));
}

constexpr FunctionDescription GETSTATE{"Board.__getstate__()", {}};

PyObject* board_getstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return board_method<SharedBorrow, 0>(GETSTATE, self, args, nargsf, kwnames,
                                         [](const PackedGrid& grid, PyObject**) -> PyObject* {
                                             return new_ascii(save_state(unpack(grid)).view());
                                         });
}

constexpr const char* STATE_PARAMETER[] = {"state"};
constexpr FunctionDescription SETSTATE{"Board.__setstate__()", STATE_PARAMETER};

// Loads a saved state: the whole position or, when the text is not a saved state of a
// possible position, nothing (ValueError saying what is wrong).
PyObject* board_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return board_method<ExclusiveBorrow, 1>(SETSTATE, self, args, nargsf, kwnames,
                                            [](PackedGrid& grid, PyObject** slots) -> PyObject* {
                                                std::string_view text;
                                                if (!extract_text(slots[0], "state", text)) {
                                                    return nullptr;
                                                }
                                                const LoadedState loaded = load_state(text);
                                                if (!loaded.grid) {
                                                    raise_rule_violation(loaded.error);
                                                    return nullptr;
                                                }
                                                grid = pack(*loaded.grid);
                                                Py_RETURN_NONE;
                                            });
}

constexpr FunctionDescription REDUCE{"Board.__reduce__()", {}};

// (_varno_pickle.board, (state,)).
PyObject* board_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    return board_method<SharedBorrow, 0>(
        REDUCE, self, args, nargsf, kwnames, [](const PackedGrid& grid, PyObject**) -> PyObject* {
            Ref state = Ref::steal(new_ascii(save_state(unpack(grid)).view()));
            if (!state) {
                return nullptr;
            }
            Ref rebuild = import_attribute(PICKLE_MODULE, "board");
            if (!rebuild) {
                return nullptr;
            }
            return Py_BuildValue("(O(O))", rebuild.get(), state.get());
        });
}

template <class Method>
constexpr PyCFunction as_cfunction(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef BOARD_METHODS[] = {
    {"play", as_cfunction(board_play), METH_FASTCALL | METH_KEYWORDS,
     "play($self, move_str, player, _room_id)\n--\n\n"},
    {"get_legal_moves", as_cfunction(board_get_legal_moves), METH_FASTCALL | METH_KEYWORDS,
     "get_legal_moves($self, player)\n--\n\n"},
    {"play_bot", as_cfunction(board_play_bot), METH_FASTCALL | METH_KEYWORDS,
     "play_bot($self, player, depth)\n--\n\n"},
    {"__copy__", as_cfunction(board_copy), METH_FASTCALL | METH_KEYWORDS,
     "__copy__($self)\n--\n\nA new Board in the same position."},
    {"__deepcopy__", as_cfunction(board_deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo)\n--\n\nA new Board in the same position."},
    {"__getstate__", as_cfunction(board_getstate), METH_FASTCALL | METH_KEYWORDS,
     "__getstate__($self)\n--\n\n"
     "The saved state: every cell, face-down cards included, as text such as\n"
     "'AN bf -- BN / an AF BN BN / bn AN BF af'. It reveals hidden cards."},
    {"__setstate__", as_cfunction(board_setstate), METH_FASTCALL | METH_KEYWORDS,
     "__setstate__($self, state)\n--\n\n"
     "Puts the board in the position of a saved state; ValueError if it is not one."},
    {"__reduce__", as_cfunction(board_reduce), METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot BOARD_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Board()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(board_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(board_str)},
    {Py_tp_methods, BOARD_METHODS},
    {0, nullptr},
};

// The classes live in "builtins", as their repr and __module__ show; fixed, as callers
// see them (README, "What callers can rely on").
PyType_Spec BOARD_SPEC{"builtins.Board", sizeof(BoardObject), 0, Py_TPFLAGS_DEFAULT, BOARD_SLOTS};

}  // namespace

ClassCell BOARD_CLASS{"Board", &BOARD_SPEC, {}, nullptr, {}, {}};

}  // namespace varno::binding
