// The extension module vantrell._vantrell: start-up and the module body.
//
// Single-phase initialisation: the module object is built once per process
// and any later initialisation in the same interpreter returns that same
// object, so nothing is ever registered twice. Another interpreter cannot
// share it (its type objects belong to the first), so it gets ImportError.
//
// The body adds attributes in a fixed order (version, exception, reading
// classes, checker classes and functions, model, report and package classes,
// the writing submodule); each addition also appends to `__all__`. A failing
// step ends the body and the import fails with that step's exception.
#include "py/package.h"
#include "py/checker.h"
#include "py/model.h"
#include "py/passes.h"
#include "py/reading.h"
#include "py/toolkit.h"
#include "py/write.h"

namespace _vantrell {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_vantrell",
    "",
    0, // no per-module state; a non-negative size makes re-initialisation call us again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

} // namespace

// The module body; false with the failing step's exception set.
bool _vantrell(PyObject* module) {
    if (!toolkit::add_attribute(module, "__version__", PyUnicode_FromString(VANTRELL_VERSION))) return false;

    PyObject* error = pptx_error_type();
    if (!error) return false;
    if (!toolkit::add_attribute(module, "PptxError", Py_NewRef(error))) return false;

    if (!reading::register_(module)) return false;
    if (!checker::register_classes(module)) return false;
    if (!checker::register_functions(module)) return false;
    if (!model::register_text_classes(module)) return false;
    if (!passes::register_(module)) return false;
    if (!model::register_deck_classes(module)) return false;

    if (!package::register_(module)) return false;

    // The writing submodule comes last, after every class of the parent.
    if (!write::register_(module)) return false;

    return true;
}

} // namespace _vantrell

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__vantrell() {
    using namespace _vantrell;
    return toolkit::guarded<PyObject*>(nullptr, []() -> PyObject* {
        PyInterpreterState* interp = PyInterpreterState_Get();
        if (g_module) {
            if (interp != g_interpreter) {
                PyErr_SetString(PyExc_ImportError,
                                "vantrell._vantrell can be loaded in one interpreter per process only");
                return nullptr;
            }
            return Py_NewRef(g_module);
        }
        toolkit::Ref module = toolkit::Ref::steal(PyModule_Create(&g_module_def));
        if (!module) return nullptr;
        if (!_vantrell::_vantrell(module.get())) return nullptr;
        g_module = Py_NewRef(module.get());
        g_interpreter = interp;
        return module.release();
    });
}
