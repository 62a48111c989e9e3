// The module entry: the module definition, its exec step and the registration of the
// classes.
#include <Python.h>

#include "binding/call.hpp"
#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/move_texts.hpp"
#include "binding/ref.hpp"

namespace varno::binding {
namespace {

// The list bound as __all__, created when the module has none.
Ref module_all(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            check_pending_error();
            return {};
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return {};
        }
    } else if (!PyList_Check(all.get())) {
        set_conversion_error(all.get(), &PyList_Type);
        return {};
    }
    return all;
}

bool register_class(PyObject* module, ClassCell& cell) {
    PyObject* type = get_class(cell);
    if (type == nullptr) {
        return false;
    }
    Ref all = module_all(module);
    if (!all) {
        return false;
    }
    Ref name = Ref::steal(PyUnicode_FromString(cell.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref description = Ref::steal(error ? PyObject_Str(error.get()) : nullptr);
        const char* text = description ? PyUnicode_AsUTF8(description.get()) : nullptr;
        PyErr_Clear();
        const std::string message =
            std::string("could not append __name__ to __all__: ") + (text ? text : "unknown error");
        VARNO_FAULT(message.c_str());
    }
    return PyObject_SetAttrString(module, cell.name, type) == 0;
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

int exec_module(PyObject* module) {
    return run_guarded<int>(-1, [module]() -> int {
        if (module == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return -1;
        }
        if (!PyModule_Check(module)) {
            set_conversion_error(module, &PyModule_Type);
            return -1;
        }
        if (!in_main_interpreter() || !create_panic_exception_type() || !create_move_texts()) {
            return -1;
        }
        for (ClassCell* cell : {&PLAYER_CLASS, &CARD_TYPE_CLASS, &BOARD_CLASS}) {
            if (!register_class(module, *cell)) {
                return -1;
            }
        }
        return 0;
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
