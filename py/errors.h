// The binding's ground floor: owned references, the library's exception,
// and the guards that keep C++ exceptions out of the interpreter.
//
// No C++ exception crosses into the interpreter: every trampoline and the
// lock-release guard catch them; std::bad_alloc becomes MemoryError and
// anything else the internal-fault exception (a BaseException subclass).
//
// One unwind is let through: a thread that asks for the interpreter lock
// while the interpreter exits is ended by the C library from inside that
// request (pthread_exit), by unwinding its stack with abi::__forced_unwind.
// It must pass every frame up to the thread's start, which is why no frame
// it may cross is noexcept, and every catch-all rethrows it; destructors on
// the way give back what the thread held (budget charges, workers, stacks),
// and leave Python objects alone (see lock_lost()).
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/budget.h"
#include "core/thread_data.h"

#include <cxxabi.h>
#include <unistd.h>

#include <expected>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace _vantrell {

// The library's Python exception, created on first use and kept for the life
// of the process. Returns a borrowed reference, or nullptr with an exception set.
PyObject* pptx_error_type();

// Sets PptxError with `message` as its one argument and returns nullptr.
PyObject* pptx_err_text(const std::string& message);

// The error bridge for any error type with a `message()` display text (the
// reading library's and the writer's). A template so that an error type is
// only needed where it is raised.
template <class E>
PyObject* pptx_err(const E& error);

template <>
inline PyObject* pptx_err(const std::string& message) {
    return pptx_err_text(message);
}

} // namespace _vantrell

namespace _vantrell::toolkit {

// Set on a thread that the exiting interpreter ends while it was to take the
// lock back: the thread does not hold the lock, and the interpreter may be
// gone, so what is unwound after leaves Python objects as they are (they
// are leaked, as the interpreter leaks the thread's own frames).
inline bool& lock_lost() noexcept {
    static thread_local bool lost = false;
    return lost;
}

// ---------------------------------------------------------------- references

// An owned (strong) reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() {
        if (!lock_lost()) Py_XDECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------------------- faults

// The exception class for internal faults; derives from BaseException only.
PyObject* internal_fault_type();

// A C++ failure caught where it must not propagate.
struct Fault {
    bool out_of_memory = false;
    std::string message;
    // The call was stopped by an exception already set (KeyboardInterrupt
    // from a signal handler); raise() leaves it standing.
    bool exception_set = false;

    // Raises MemoryError or the internal fault; returns nullptr.
    PyObject* raise() const;
};

// Runs `f`, turning any C++ exception into a Fault; MemoryError when the
// thread cannot be made ready to run it. The unwind that ends the thread
// goes on.
template <class F>
auto catching(F&& f) -> std::expected<std::invoke_result_t<F>, Fault> {
    using R = std::invoke_result_t<F>;
    // Else this thread's first exception could end the process.
    if (!vantrell_core::ready_thread_data()) return std::unexpected(Fault{true, {}});
    try {
        if constexpr (std::is_void_v<R>) {
            std::forward<F>(f)();
            return {};
        } else {
            return std::forward<F>(f)();
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Fault{true, {}});
    } catch (const std::exception& e) {
        try {
            return std::unexpected(Fault{false, e.what()});
        } catch (...) {
            return std::unexpected(Fault{true, {}});
        }
    } catch (...) {
        try {
            return std::unexpected(Fault{false, "unknown C++ exception"});
        } catch (...) {
            return std::unexpected(Fault{true, {}});
        }
    }
}

// Runs `f` with the interpreter lock released and takes the lock back on
// every path before returning. `f` must not touch any Python object.
// On a fault the caller raises it: `if (!r) return r.error().raise();`.
// While the interpreter exits, taking the lock back (or a signal check in
// `f`) ends the thread instead.
template <class F>
auto released(F&& f) -> std::expected<std::invoke_result_t<F>, Fault> {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        auto out = catching(std::forward<F>(f));
        PyEval_RestoreThread(saved);
        return out;
    } catch (abi::__forced_unwind&) {
        lock_lost() = true;
        throw;
    }
}

// Whether a signal handler raised (Ctrl-C: KeyboardInterrupt), run with the
// interpreter lock taken back for a moment; the exception stays set.
inline bool signal_raised(void*) {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

// Whether this is the process's first thread, the interpreter's main thread
// as a rule, where signal handlers run. Asked of the system once per thread
// (a fork() child's one thread is known to be the first there): calls that
// take a few microseconds need not pay two system calls each.
bool on_main_thread() noexcept;

// Runs `f(stop)` with the lock released, as released() does. On the main
// thread, where signal handlers run, `stop` polls them (the library polls
// it between parts and while it waits for the process budget) and a call it
// stopped fails with the exception a handler raised; elsewhere it is null.
template <class F>
auto released_stopping(F&& f) {
    vantrell_core::budget::Stop stop(&signal_raised, nullptr);
    const bool main_thread = on_main_thread();
    auto out = released([&f, &stop, main_thread] { return f(main_thread ? &stop : nullptr); });
    if (stop.requested()) out = std::unexpected(Fault{.exception_set = true});
    return out;
}

// An entry point's body: a C++ exception becomes the matching Python one.
template <class R, class F>
R guarded(R on_error, F&& f) {
    auto out = catching(std::forward<F>(f));
    if (out) return *out;
    out.error().raise();
    return on_error;
}

} // namespace _vantrell::toolkit

namespace _vantrell {
template <class E>
PyObject* pptx_err(const E& error) {
    return toolkit::guarded<PyObject*>(nullptr, [&]() -> PyObject* { return pptx_err_text(error.message()); });
}
} // namespace _vantrell

namespace _vantrell::toolkit {

// Whether a call run with the lock released came back with a value; a fault
// or the library's error is raised otherwise.
template <class V, class E>
bool succeeded(const std::expected<std::expected<V, E>, Fault>& r) {
    if (!r) {
        r.error().raise();
        return false;
    }
    if (!*r) {
        pptx_err(r->error());
        return false;
    }
    return true;
}

// Finishes a call whose library work ran with the lock released: a fault or
// a library error is raised, a value converted.
template <class V, class E, class Convert>
PyObject* finish(std::expected<std::expected<V, E>, Fault>& r, Convert convert) {
    if (!succeeded(r)) return nullptr;
    return convert(**r);
}

} // namespace _vantrell::toolkit
