// Fault injection for test builds: `varno._arm_fault(site, message)` makes the next call
// that passes `site` throw a fault carrying `message`. Compiled only with
// VARNO_FAULT_HOOKS; the shipped module has none of it.
#ifdef VARNO_FAULT_HOOKS

#include <optional>
#include <string>

#include "binding/errors.hpp"

namespace varno::binding {
namespace {

struct ArmedFault {
    std::string site;
    std::string message;
};

// Touched only with the interpreter lock held.
std::optional<ArmedFault> armed;

PyObject* arm_fault(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const char* site = nullptr;
    const char* message = nullptr;
    if (nargs != 2 || (site = PyUnicode_AsUTF8(args[0])) == nullptr ||
        (message = PyUnicode_AsUTF8(args[1])) == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "_arm_fault(site, message) takes two str");
        }
        return nullptr;
    }
    armed = ArmedFault{site, message};
    Py_RETURN_NONE;
}

}  // namespace

void fault_hook(const char* site) {
    if (armed && armed->site == site) {
        const std::string message = std::move(armed->message);
        armed.reset();
        VARNO_FAULT(message.c_str());
    }
}

PyMethodDef FAULT_HOOK_METHODS[] = {
    {"_arm_fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arm_fault)),
     METH_FASTCALL, "_arm_fault($module, site, message, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace varno::binding

#endif
