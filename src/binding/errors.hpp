// Errors at the call boundary: rule violations, the module's panic exception and the
// guarded run of every entry point, which turns whatever the core throws into a Python
// exception. Internal faults of the core (varno::Fault) are caught here and nowhere else.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string_view>

#include "binding/ref.hpp"
#include "game/fault.hpp"

namespace varno::binding {

// ---- Errors ----------------------------------------------------------------------

// A rule violation: exactly ValueError, with the message as its only argument.
void raise_rule_violation(std::string_view message);

// A panic exception raised by Python code and taken back by the boundary. The call
// ends with a new panic exception carrying the same text: `message` is the str() of
// the old one, kept as an object so that no character of it is lost.
struct ResumedPanic {
    Ref message;
};

// Takes the pending interpreter error back. A panic exception coming back from Python
// code is not an ordinary error: its traceback is printed and it is resumed as a fault
// of this call (throws ResumedPanic). Any other error is set pending again.
void check_pending_error();

// Creates the panic exception type; called by the module's exec step, so that an import
// that cannot create it fails there, cleanly. False with the interpreter's error set.
bool create_panic_exception_type();

// The panic exception type. It exists before any call can reach the boundary, so error
// paths only compare with it and never need to create it.
PyObject* panic_exception_type();

// Reports a fault: the diagnostic line on standard error, then the panic exception.
void raise_panic(const char* message, const char* file, int line) noexcept;
void raise_panic(const ResumedPanic& resumed) noexcept;

// Runs one entry point's work. A fault becomes the panic exception, exhaustion of the
// module's own storage a MemoryError; no exception thrown by the module leaves this
// function. The one thing that passes through is the forced unwind with which the
// interpreter ends a daemon thread at shutdown (pthread_exit, when the thread asks for
// the interpreter lock back inside Python code called from here): that thread no longer
// holds the lock, so nothing may be reported on it, and swallowing the unwind would
// leave it running into a finalized interpreter. GNU's C++ runtime gives the forced unwind
// a type of its own, caught and thrown on. LLVM's (the release wheels link it statically)
// cannot throw it on once caught: it would raise it afresh as an ordinary exception, which
// no frame above catches, and terminate. There the catch-all is left out, so the forced
// unwind passes by as it passes any frame. Every exception the module throws is a Fault,
// a ResumedPanic or a std::exception, all caught by name.
template <class Result, class Body>
Result run_guarded(Result on_failure, Body&& body) {
    try {
        return body();
#if defined(__GLIBCXX__)
    } catch (const abi::__forced_unwind&) {
        throw;
#endif
    } catch (const ResumedPanic& resumed) {
        raise_panic(resumed);
    } catch (const Fault& fault) {
        raise_panic(fault.message().c_str(), fault.file(), fault.line());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what(), nullptr, 0);
#if !defined(_LIBCPP_VERSION)
    } catch (...) {
        raise_panic(nullptr, nullptr, 0);
#endif
    }
    return on_failure;
}

// ---- Fault injection (test builds only) -------------------------------------------
// Builds configured with VARNO_FAULT_HOOKS let tests arm a one-shot fault at a named
// entry point, to drive the panic path from Python. Shipped builds compile it away.
#ifdef VARNO_FAULT_HOOKS
void fault_hook(const char* site);
#define VARNO_FAULT_HOOK(site) ::varno::binding::fault_hook(site)
extern PyMethodDef FAULT_HOOK_METHODS[];
#else
#define VARNO_FAULT_HOOK(site) ((void)0)
#endif

}  // namespace varno::binding
