// The library's exception and the internal-fault exception.
#include "py/errors.h"

#include "py/convert.h"

#include <pthread.h>
#include <unistd.h>

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

// Whether this thread is the process's first one; -1 until asked.
thread_local int main_thread = -1;
// A fork() child's one thread, the one that called fork(), is its first.
[[maybe_unused]] const int child_knows = ::pthread_atfork(nullptr, nullptr, [] { main_thread = 1; });

} // namespace

bool on_main_thread() noexcept {
    if (main_thread < 0) main_thread = ::gettid() == ::getpid() ? 1 : 0;
    return main_thread == 1;
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
