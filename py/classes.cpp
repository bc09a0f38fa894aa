// The non-template parts of bound classes and module attributes.
#include "py/classes.h"

namespace _vantrell::toolkit {

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref owned = Ref::steal(value);
    if (!owned) return false;
    PyObject* dict = PyModule_GetDict(module); // borrowed
    if (!dict) return false;
    Ref key = Ref::steal(PyUnicode_FromString("__all__"));
    if (!key) return false;
    PyObject* all = PyDict_GetItemWithError(dict, key.get()); // borrowed
    if (!all) {
        if (PyErr_Occurred()) return false;
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyDict_SetItem(dict, key.get(), list.get()) < 0) return false;
        all = list.get(); // the dict keeps it alive
    }
    if (!PyList_Check(all)) {
        PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
        return false;
    }
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    if (!pyname || PyList_Append(all, pyname.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

PyObject* not_constructed(PyObject* o) {
    std::string message = "uninitialized '";
    message += type_name(o);
    message += "' object";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

namespace detail {
std::string qualified_call_name(PyTypeObject* type, std::string_view name) {
    std::string out;
    Ref qual = Ref::steal(PyType_GetQualName(type));
    Py_ssize_t n = 0;
    const char* s = qual ? PyUnicode_AsUTF8AndSize(qual.get(), &n) : nullptr;
    if (s) {
        out.assign(s, static_cast<std::size_t>(n));
        out += '.';
    } else {
        PyErr_Clear();
    }
    out += name;
    return out;
}

TypeStorage& new_type_storage() {
    static std::deque<TypeStorage> all;
    return all.emplace_back();
}
} // namespace detail

} // namespace _vantrell::toolkit
