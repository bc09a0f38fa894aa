// The binding toolkit's non-template parts: exceptions, converters, the
// signature parser and the argument binder.
#include "py/toolkit.h"

#include <cstring>
#include <stdexcept>

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

PyObject* internal_fault_type() {
    if (g_internal_fault) return g_internal_fault;
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "vantrell.InternalFault",
        "An internal fault of the library; not an Exception, so `except Exception` lets it through.",
        PyExc_BaseException, nullptr);
    return g_internal_fault;
}

PyObject* Fault::raise() const {
    if (out_of_memory) return PyErr_NoMemory();
    PyObject* type = internal_fault_type();
    if (!type) return nullptr; // creating it failed: that exception stands
    PyErr_SetString(type, message.c_str());
    return nullptr;
}

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

// ---------------------------------------------------------------- signatures

Signature Signature::parse(std::string_view sig) {
    Signature out;
    const std::size_t open = sig.find('(');
    const std::size_t close = sig.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw std::logic_error("malformed text signature: " + std::string(sig));
    out.name = std::string(sig.substr(0, open));
    out.text = std::string(sig.substr(open));
    std::string_view body = sig.substr(open + 1, close - open - 1);
    bool keyword_only = false;
    std::vector<std::size_t> before_slash;
    while (!body.empty()) {
        const std::size_t comma = body.find(',');
        std::string_view item = body.substr(0, comma);
        body = comma == std::string_view::npos ? std::string_view() : body.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (item.empty() || item.front() == '$') continue;
        if (item == "*") {
            keyword_only = true;
            continue;
        }
        if (item == "/") {
            for (Param& p : out.params) p.positional_only = true;
            continue;
        }
        const std::size_t eq = item.find('=');
        Param p;
        p.name = std::string(item.substr(0, eq));
        while (!p.name.empty() && p.name.back() == ' ') p.name.pop_back();
        p.required = eq == std::string_view::npos;
        p.keyword_only = keyword_only;
        out.params.push_back(std::move(p));
    }
    return out;
}

std::string signature_doc(std::string_view sig, std::string_view doc) {
    std::string out(sig);
    out += "\n--\n\n";
    out += doc;
    return out;
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

namespace {
std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}
std::string quoted_names(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}
bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}
} // namespace

bool Args::bind(const std::string& call_name, PyObject* args, PyObject* kwargs) {
    const std::vector<Param>& params = sig_->params;
    const std::string prefix = call_name + "()";

    std::size_t positional_max = 0, positional_required = 0;
    for (const Param& p : params) {
        if (p.keyword_only) break;
        ++positional_max;
        if (p.required) positional_required = positional_max;
    }

    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) return false;
    if (static_cast<std::size_t>(nargs) > positional_max) {
        std::string expect = positional_required == positional_max
                                 ? std::to_string(positional_max)
                                 : "from " + std::to_string(positional_required) + " to " +
                                       std::to_string(positional_max);
        return type_error(prefix + " takes " + expect + " positional argument" +
                          (positional_max == 1 ? "" : "s") + " but " + std::to_string(nargs) +
                          (nargs == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t n = 0;
            const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
            if (!k) {
                if (PyErr_Occurred()) return false;
                return type_error(prefix + " keywords must be strings");
            }
            const std::string_view kw(k, static_cast<std::size_t>(n));
            std::size_t i = 0;
            while (i < params.size() && (params[i].name != kw || params[i].positional_only)) ++i;
            if (i == params.size())
                return type_error(prefix + " got an unexpected keyword argument '" + std::string(kw) + "'");
            if (values_[i]) return type_error(prefix + " got multiple values for argument '" + std::string(kw) + "'");
            values_[i] = value;
        }
    }

    std::vector<std::string> missing_pos, missing_kw;
    for (std::size_t i = 0; i < params.size(); ++i)
        if (params[i].required && !values_[i]) (params[i].keyword_only ? missing_kw : missing_pos).push_back(params[i].name);
    if (!missing_pos.empty())
        return type_error(prefix + " missing " + plural(missing_pos.size(), "required positional argument") + ": " +
                          quoted_names(missing_pos));
    if (!missing_kw.empty())
        return type_error(prefix + " missing " + plural(missing_kw.size(), "required keyword argument") + ": " +
                          quoted_names(missing_kw));
    return true;
}

std::size_t Args::index_of(std::string_view name) const {
    for (std::size_t i = 0; i < sig_->params.size(); ++i)
        if (sig_->params[i].name == name) return i;
    throw std::logic_error("no parameter '" + std::string(name) + "' in " + sig_->name + sig_->text);
}

PyObject* Args::raw(std::string_view name) const { return values_[index_of(name)]; }

// ---------------------------------------------------------------- reprs

namespace repr {
std::string optional_text(const std::optional<std::string>& s) {
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

namespace to_py {
PyObject* optional_str(const std::optional<std::string>& s) { return s ? str(*s) : none(); }
PyObject* str_list(const std::vector<std::string>& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* s = str(items[i]);
        if (!s) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s); // steals s
    }
    return list.release();
}
} // namespace to_py

} // namespace _vantrell::toolkit
