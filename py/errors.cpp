// The library's exception and the internal-fault exception.
#include "py/errors.h"

#include "py/convert.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace _vantrell {

namespace {
PyObject* g_pptx_error = nullptr;
PyObject* g_internal_fault = nullptr;

constexpr const char* PPTX_ERROR_DOC =
    "Raised for any PowerPoint processing error (bad data, unreadable parts, I/O).";
} // namespace

PyObject* pptx_error_type() {
    if (g_pptx_error) return g_pptx_error;
    PyObject* t = PyErr_NewExceptionWithDoc("vantrell.PptxError", PPTX_ERROR_DOC, nullptr, nullptr);
    if (!t) {
        PyErr_Clear();
        toolkit::Fault{false, "Failed to initialize new exception type."}.raise();
        return nullptr;
    }
    if (g_pptx_error) {
        // Someone else stored one meanwhile: the first stored wins.
        Py_DECREF(t);
        return g_pptx_error;
    }
    g_pptx_error = t;
    return g_pptx_error;
}

PyObject* pptx_err_text(const std::string& message) {
    PyObject* type = pptx_error_type();
    if (!type) return nullptr;
    PyObject* text = toolkit::new_str(message);
    if (!text) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

} // namespace _vantrell

namespace _vantrell::toolkit {

namespace {

// Counts the fork() children this process became, so that what a thread
// knows of itself is asked again there.
std::atomic<unsigned> forks{0};
[[maybe_unused]] const int forks_counted = ::pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });

} // namespace

bool on_main_thread() noexcept {
    struct Known {
        unsigned forks = 0;
        bool asked = false;
        bool main = false;
    };
    static thread_local Known known;
    const unsigned now = forks.load(std::memory_order_relaxed);
    if (!known.asked || known.forks != now) known = {now, true, ::gettid() == ::getpid()};
    return known.main;
}

PyObject* internal_fault_type() {
    if (g_internal_fault) return g_internal_fault;
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "vantrell.InternalFault",
        "An internal fault of the library; not an Exception, so `except Exception` lets it through.",
        PyExc_BaseException, nullptr);
    return g_internal_fault;
}

PyObject* Fault::raise() const {
    if (exception_set) return nullptr;
    if (out_of_memory) return PyErr_NoMemory();
    PyObject* type = internal_fault_type();
    if (!type) return nullptr; // creating it failed: that exception stands
    PyErr_SetString(type, message.c_str());
    return nullptr;
}

} // namespace _vantrell::toolkit
