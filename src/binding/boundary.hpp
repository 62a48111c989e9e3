// The call boundary: every call from the interpreter into the module passes through
// here. It matches arguments to parameters, converts them to plain values, borrows the
// receiver, and turns every failure into a Python exception with a fixed type and text.
// Internal faults of the core (varno::Fault) are caught here and nowhere else.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <span>
#include <string_view>

#include "binding/ref.hpp"
#include "game/board.hpp"
#include "game/fault.hpp"

namespace varno::binding {

// ---- Borrowing -------------------------------------------------------------------
// Every instance of a module class carries a counter: 0 free, n > 0 shared borrows,
// -1 one exclusive borrow. It is changed only atomically.

using BorrowCounter = std::int64_t;

inline bool try_borrow(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter> flag(counter);
    BorrowCounter current = flag.load(std::memory_order_relaxed);
    do {
        if (current == -1) {
            return false;
        }
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
    return true;
}

inline void release_borrow(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter>(counter).fetch_sub(1, std::memory_order_release);
}

inline bool try_borrow_mut(BorrowCounter& counter) {
    BorrowCounter expected = 0;
    return std::atomic_ref<BorrowCounter>(counter).compare_exchange_strong(
        expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
}

inline void release_borrow_mut(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter>(counter).store(0, std::memory_order_release);
}

// A borrow held for one scope, shared or exclusive. Check `ok()` before use: a failed
// borrow has already set its RuntimeError ("Already mutably borrowed" for a shared one,
// "Already borrowed" for an exclusive one).
template <bool Exclusive>
class BorrowGuard {
  public:
    explicit BorrowGuard(BorrowCounter& counter)
        : counter_((Exclusive ? try_borrow_mut(counter) : try_borrow(counter)) ? &counter
                                                                               : nullptr) {
        if (counter_ == nullptr) {
            PyErr_SetString(PyExc_RuntimeError,
                            Exclusive ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    ~BorrowGuard() {
        if (counter_ != nullptr) {
            Exclusive ? release_borrow_mut(*counter_) : release_borrow(*counter_);
        }
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    bool ok() const { return counter_ != nullptr; }

  private:
    BorrowCounter* counter_;
};

using SharedBorrow = BorrowGuard<false>;
using ExclusiveBorrow = BorrowGuard<true>;

// ---- Argument matching -----------------------------------------------------------

// The parameters of one callable: all positional-or-keyword and all required.
struct FunctionDescription {
    const char* full_name;  // "Board.play()", used in messages
    std::span<const char* const> parameters;
};

// Vector-call form. Fills `slots` (one per parameter) with borrowed references; on
// failure sets the matching TypeError and returns false.
bool match_vectorcall(const FunctionDescription& description, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots);

// Tuple-and-dictionary form (the constructor).
bool match_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                      PyObject** slots);

// ---- Conversions -----------------------------------------------------------------

// Sets the TypeError for an object that is not an instance of `expected`.
void set_conversion_error(PyObject* object, PyTypeObject* expected);

// The UTF-8 form of a `str` argument, read in place (valid while the argument lives).
bool extract_text(PyObject* object, const char* parameter, std::string_view& out);

// The value of a Player argument.
bool extract_player(PyObject* object, const char* parameter, Player& out);

// An unsigned 32-bit integer argument (int, bool or anything with __index__).
bool extract_u32(PyObject* object, const char* parameter, std::uint32_t& out);

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
// leave it running into a finalized interpreter.
template <class Result, class Body>
Result run_guarded(Result on_failure, Body&& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const ResumedPanic& resumed) {
        raise_panic(resumed);
    } catch (const Fault& fault) {
        raise_panic(fault.message().c_str(), fault.file(), fault.line());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what(), nullptr, 0);
    } catch (...) {
        raise_panic(nullptr, nullptr, 0);
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

// ---- Results ---------------------------------------------------------------------

// `module.name`, importing the module if need be; empty with the error set on failure.
Ref import_attribute(const char* module, const char* name);

// A new str from ASCII text produced by the core; null with MemoryError set when the
// interpreter cannot allocate it.
PyObject* new_ascii(std::string_view text);

}  // namespace varno::binding
