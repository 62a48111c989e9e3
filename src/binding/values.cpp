#include "binding/values.hpp"

#include <array>

#include "binding/call.hpp"
#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace varno::binding {
namespace {

struct ValueClass {
    ClassCell& cell;
    std::array<const char*, 2> reprs;  // by value
    std::array<OnceObject, 2> members;
};

// The reprs (and strs) are fixed texts (README, "What callers can rely on").
ValueClass PLAYER{PLAYER_CLASS, {"Player.A", "Player.B"}, {}};
ValueClass CARD_TYPE{CARD_TYPE_CLASS, {"CardType.Normal", "CardType.Figure"}, {}};

// The member with value `index`: created once as an instance of the class and kept for
// the life of the process. Returns a new reference.
PyObject* member(ValueClass& info, std::size_t index) {
    PyTypeObject* type = published_class(info.cell);
    PyObject* object = info.members[index].get_or_create([type, index]() -> PyObject* {
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) {
            return nullptr;
        }
        PyObject* created = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
        if (created != nullptr) {
            reinterpret_cast<ValueObject*>(created)->value = static_cast<std::uint8_t>(index);
        }
        return created;
    });
    return Py_XNewRef(object);
}

// Checks the receiver of a slot and reads its value. Sets the boundary's error and
// returns false when it is not a member of the class.
bool read_value(PyObject* self, ValueClass& info, std::uint8_t& value) {
    PyTypeObject* type = require_class(info.cell);
    if (!PyObject_TypeCheck(self, type)) {
        set_conversion_error(self, type);
        return false;
    }
    value = reinterpret_cast<ValueObject*>(self)->value;
    return true;
}

template <ValueClass& Info>
PyObject* value_repr(PyObject* self) {
    return run_guarded<PyObject*>(nullptr, [self]() -> PyObject* {
        std::uint8_t value = 0;
        if (!read_value(self, Info, value)) {
            return nullptr;
        }
        return new_ascii(Info.reprs[value == 0 ? 0 : 1]);
    });
}

template <ValueClass& Info>
PyObject* value_int(PyObject* self) {
    return run_guarded<PyObject*>(nullptr, [self]() -> PyObject* {
        std::uint8_t value = 0;
        if (!read_value(self, Info, value)) {
            return nullptr;
        }
        return PyLong_FromLong(value);
    });
}

// Equality with members of the same class and with integers; everything else, and
// every ordering, is left to the interpreter (NotImplemented).
template <ValueClass& Info>
PyObject* value_richcompare(PyObject* self, PyObject* other, int op) {
    return run_guarded<PyObject*>(nullptr, [self, other, op]() -> PyObject* {
        std::uint8_t value = 0;
        if (op > Py_GE || !read_value(self, Info, value)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        long long theirs = 0;
        PyTypeObject* type = require_class(Info.cell);
        if (PyObject_TypeCheck(other, type)) {
            theirs = reinterpret_cast<ValueObject*>(other)->value;
        } else {
            const long converted = PyLong_AsLong(other);
            if (converted == -1 && PyErr_Occurred()) {
                check_pending_error();
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
            theirs = converted;
        }
        if (op == Py_EQ) {
            return Py_NewRef(theirs == value ? Py_True : Py_False);
        }
        if (op == Py_NE) {
            return Py_NewRef(theirs != value ? Py_True : Py_False);
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

// (_varno_pickle.member, ("Player", "A")): pickle cannot find the classes, which live in
// "builtins", so a pickled member names its class and itself for the rebuilding function
// of the pure-Python module installed beside this one, which hands back the member.
template <ValueClass& Info>
PyObject* value_reduce(PyObject* self, PyObject*) {
    return run_guarded<PyObject*>(nullptr, [self]() -> PyObject* {
        std::uint8_t value = 0;
        if (!read_value(self, Info, value)) {
            return nullptr;
        }
        Ref rebuild = import_attribute("_varno_pickle", "member");
        if (!rebuild) {
            return nullptr;
        }
        return Py_BuildValue("(O(ss))", rebuild.get(), Info.cell.name,
                             Info.cell.attribute_names[value == 0 ? 0 : 1]);
    });
}

// Members own nothing besides their reference to the class.
void value_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <ValueClass& Info>
PyObject* make_member(std::size_t index) {
    return member(Info, index);
}

template <ValueClass& Info>
PyMethodDef VALUE_METHODS[] = {
    {"__reduce__", value_reduce<Info>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

template <ValueClass& Info>
PyType_Slot VALUE_SLOTS[] = {
    {Py_tp_methods, VALUE_METHODS<Info>},
    {Py_tp_repr, reinterpret_cast<void*>(value_repr<Info>)},
    {Py_nb_int, reinterpret_cast<void*>(value_int<Info>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<Info>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {0, nullptr},
};

// In "builtins", like Board (binding/board_type.cpp): fixed.
PyType_Spec PLAYER_SPEC{"builtins.Player", sizeof(ValueObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        VALUE_SLOTS<PLAYER>};
PyType_Spec CARD_TYPE_SPEC{"builtins.CardType", sizeof(ValueObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           VALUE_SLOTS<CARD_TYPE>};

constexpr const char* PLAYER_MEMBERS[] = {"A", "B"};
constexpr const char* CARD_TYPE_MEMBERS[] = {"Normal", "Figure"};

}  // namespace

bool extract_player(PyObject* object, const char* parameter, Player& out) {
    PyTypeObject* type = require_class(PLAYER_CLASS);
    if (!PyObject_TypeCheck(object, type)) {
        set_conversion_error(object, type);
        argument_extraction_error(parameter);
        return false;
    }
    out = reinterpret_cast<ValueObject*>(object)->value == 0 ? Player::A : Player::B;
    return true;
}

ClassCell PLAYER_CLASS{"Player", &PLAYER_SPEC, PLAYER_MEMBERS, make_member<PLAYER>, {}, {}};
ClassCell CARD_TYPE_CLASS{
    "CardType", &CARD_TYPE_SPEC, CARD_TYPE_MEMBERS, make_member<CARD_TYPE>, {}, {}};

}  // namespace varno::binding
