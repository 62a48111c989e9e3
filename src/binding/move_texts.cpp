#include "binding/move_texts.hpp"

#include "binding/once.hpp"
#include "binding/ref.hpp"
#include "game/fault.hpp"
#include "game/moves.hpp"

namespace varno::binding {
namespace {

// A tuple of MOVE_TEXT_COUNT strings, held for the life of the process: the text of the
// plain move from cell s at s * 13 + 12, that of the move from s aimed at t at s * 13 + t.
OnceObject texts;

unsigned index_of(const Action& action) {
    const unsigned source = action.row * COLS + action.col;
    const unsigned target =
        action.target ? action.target->row * COLS + action.target->col : CELL_COUNT;
    return source * (CELL_COUNT + 1) + target;
}

PyObject* make_texts() {
    Ref tuple = Ref::steal(PyTuple_New(MOVE_TEXT_COUNT));
    if (!tuple) {
        return nullptr;
    }
    for (std::uint8_t source = 0; source < CELL_COUNT; ++source) {
        const Action plain{static_cast<std::uint8_t>(source / COLS),
                           static_cast<std::uint8_t>(source % COLS), std::nullopt};
        for (std::uint8_t target = 0; target <= CELL_COUNT; ++target) {
            Action action = plain;
            if (target < CELL_COUNT) {
                action.target = Square{static_cast<std::uint8_t>(target / COLS),
                                       static_cast<std::uint8_t>(target % COLS)};
            }
            const MoveText text = move_text(action);
            PyObject* object =
                PyUnicode_FromStringAndSize(text.chars.data(), static_cast<Py_ssize_t>(text.size));
            if (object == nullptr) {
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple.get(), index_of(action), object);
        }
    }
    return tuple.release();
}

}  // namespace

bool create_move_texts() {
    return texts.get_or_create(make_texts) != nullptr;
}

PyObject* move_text_object(const Action& action) {
    PyObject* tuple = texts.get();
    VARNO_CHECK(tuple != nullptr, "the move texts were not created");
    return Py_NewRef(PyTuple_GET_ITEM(tuple, index_of(action)));
}

}  // namespace varno::binding
