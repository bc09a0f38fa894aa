// The binding's ground floor: owned references, the library's exception,
// and the guards that keep C++ exceptions out of the interpreter.
//
// No C++ exception crosses into the interpreter: every trampoline and the
// lock-release guard catch them; std::bad_alloc becomes MemoryError and
// anything else the internal-fault exception (a BaseException subclass).
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/thread_data.h"

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
    ~Ref() { Py_XDECREF(p_); }

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
// thread cannot be made ready to run it.
template <class F>
auto catching(F&& f) noexcept -> std::expected<std::invoke_result_t<F>, Fault> {
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
template <class F>
auto released(F&& f) noexcept -> std::expected<std::invoke_result_t<F>, Fault> {
    PyThreadState* saved = PyEval_SaveThread();
    auto out = catching(std::forward<F>(f));
    PyEval_RestoreThread(saved);
    return out;
}

// An entry point's body: a C++ exception becomes the matching Python one.
template <class R, class F>
R guarded(R on_error, F&& f) noexcept {
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
