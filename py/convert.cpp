// Conversions between Python objects and C++ values.
#include "py/convert.h"

#include <cstring>

namespace _vantrell::toolkit {

std::string type_name(PyObject* o) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    return std::string(s, static_cast<std::size_t>(n));
}

PyObject* new_str(std::string_view utf8) {
    // Library text is UTF-8 by construction; replace rather than fail if not.
    PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
    return s;
}

// ---------------------------------------------------------------- converters

namespace {
bool cannot_convert(PyObject* o, const char* target) {
    std::string message = "'";
    message += type_name(o);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}
} // namespace

bool extract(PyObject* o, bool& out) {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False) {
        out = false;
        return true;
    }
    return cannot_convert(o, "bool");
}

bool extract(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return cannot_convert(o, "str");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out.assign(s, static_cast<std::size_t>(n));
    return true;
}

bool extract(PyObject* o, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool extract(PyObject* o, Path& out) {
    Ref fs = Ref::steal(PyOS_FSPath(o));
    if (!fs) return false;
    if (!PyUnicode_Check(fs.get())) return cannot_convert(fs.get(), "str");
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
    if (!encoded) return false;
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &n) < 0) return false;
    out.native.assign(data, static_cast<std::size_t>(n));
    out.text = vantrell_core::encoding::utf8_lossy(out.native);
    return true;
}

bool sequence_length(PyObject* o, Py_ssize_t& n) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) return cannot_convert(o, "Sequence");
    n = PySequence_Size(o);
    return n >= 0;
}

bool extract(PyObject* o, Bytes& out) {
    if (PyBytes_Check(o)) {
        char* data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(o, &data, &n) < 0) return false;
        out.assign(data, data + n);
        return true;
    }
    if (PyByteArray_Check(o)) {
        const char* data = PyByteArray_AsString(o);
        const Py_ssize_t n = PyByteArray_Size(o);
        if (!data || n < 0) return false;
        out.assign(data, data + n);
        return true;
    }
    if (!PyUnicode_Check(o) && PyObject_CheckBuffer(o)) {
        Py_buffer view;
        if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
            // Only unsigned bytes are byte data as they stand; other item types
            // go item by item below so that range checks apply.
            const bool plain = view.itemsize == 1 && (!view.format || std::strcmp(view.format, "B") == 0);
            if (plain) {
                const auto* p = static_cast<const std::uint8_t*>(view.buf);
                try {
                    out.assign(p, p + view.len);
                } catch (...) {
                    PyBuffer_Release(&view);
                    throw;
                }
            }
            PyBuffer_Release(&view);
            if (plain) return true;
        } else {
            PyErr_Clear();
        }
    }
    Py_ssize_t n = 0;
    if (!sequence_length(o, n)) return false;
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, 1 << 20)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        std::uint8_t b = 0;
        if (!extract(item.get(), b)) return false;
        bytes.push_back(b);
    }
    out = std::move(bytes);
    return true;
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) return; // an exception from str() replaces the original; rare and still a failure
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    PyObject* fresh = PyErr_GetRaisedException();
    PyException_SetCause(fresh, exc.release());
    PyErr_SetRaisedException(fresh);
}

// ---------------------------------------------------------------- reprs

namespace repr {
std::string optional_text(const std::optional<std::string>& s) {
    return s ? "Some(" + text(*s) + ")" : std::string("None");
}
std::string optional_text(const vantrell_core::SharedText& s) {
    return s ? "Some(" + text(*s) + ")" : std::string("None");
}
std::string text_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += text(items[i]);
    }
    out += ']';
    return out;
}
} // namespace repr

// ---------------------------------------------------------------- StrTable

PyObject* StrTable::str(const vantrell_core::SharedText& text) {
    if (!text) return to_py::none();
    const auto [it, made] = strs_.try_emplace(text.get());
    auto& [kept, obj] = it->second;
    if (made) {
        kept = text;
        obj = Ref::steal(new_str(*text));
    }
    if (!obj) {
        // Failed (its exception is set): the next request tries again.
        strs_.erase(it);
        return nullptr;
    }
    return Py_NewRef(obj.get());
}

} // namespace _vantrell::toolkit
