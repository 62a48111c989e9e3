// The module entry: the module definition, its exec step and the registration of the
// classes.
#include <Python.h>

#include <iterator>

#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/move_texts.hpp"
#include "binding/ref.hpp"

namespace varno::binding {
namespace {

// The classes, in the order of __all__, which is fixed: ["Player", "CardType", "Board"].
ClassCell* const CLASSES[] = {&PLAYER_CLASS, &CARD_TYPE_CLASS, &BOARD_CLASS};

// Binds __all__ (a new list for each module object) and then each class by its name.
bool register_classes(PyObject* module) {
    Ref all = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(CLASSES))));
    if (!all) {
        return false;
    }
    for (std::size_t i = 0; i < std::size(CLASSES); ++i) {
        PyObject* name = PyUnicode_FromString(CLASSES[i]->name);
        if (name == nullptr) {
            return false;
        }
        PyList_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
        return false;
    }
    for (ClassCell* cell : CLASSES) {
        PyObject* type = get_class(*cell);
        if (type == nullptr || PyModule_AddObjectRef(module, cell->name, type) < 0) {
            return false;
        }
    }
    return true;
}

// The classes and their members are shared by the whole process, so they must not be
// handed to a second interpreter, which would then use objects of another one.
bool in_main_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        return true;
    }
    PyErr_SetString(PyExc_ImportError,
                    "varno can only be imported in the main interpreter: its classes are shared "
                    "by the whole process and cannot be used from a subinterpreter");
    return false;
}

// The interpreter hands the exec step the module object it made from MODULE_DEF (there
// is no create step). Every failure is the interpreter's error, MemoryError included,
// and leaves nothing made twice: the process-wide objects made before it are kept and
// the next import goes on from there.
int exec_module(PyObject* module) {
    return run_guarded<int>(-1, [module]() -> int {
        const bool done = in_main_interpreter() && create_panic_exception_type() &&
                          create_move_texts() && register_classes(module);
        return done ? 0 : -1;
    });
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

#ifdef VARNO_FAULT_HOOKS
constexpr PyMethodDef* MODULE_METHODS = FAULT_HOOK_METHODS;
#else
constexpr PyMethodDef* MODULE_METHODS = nullptr;
#endif

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "varno", "", 0, MODULE_METHODS, MODULE_SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace varno::binding

PyMODINIT_FUNC PyInit_varno() {
    return PyModuleDef_Init(&varno::binding::MODULE_DEF);
}
