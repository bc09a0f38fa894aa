// Values across the boundary: Python objects converted to C++ values for
// arguments (`extract`), library values converted to Python objects
// (`to_py`), one Python str per shared library text for the objects of one
// call (`StrTable`), and the pieces reprs are made of (`repr`).
#pragma once

#include "py/errors.h"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/encoding.h"
#include "core/shared_text.h"

namespace _vantrell::toolkit {

// The type name of `o` for messages ("int", "NoneType").
std::string type_name(PyObject* o);

// New str from UTF-8 (invalid sequences replaced), or nullptr.
PyObject* new_str(std::string_view utf8);

// --------------------------------------------------------------- converters
//
// Each returns false with a Python exception set. `Args::get` re-raises a
// TypeError as "argument 'NAME': ..." and lets other exceptions pass.

bool extract(PyObject* o, bool& out);
bool extract(PyObject* o, std::string& out);

// A file-system path: str or os.PathLike giving str (bytes refused), encoded
// with the file-system encoding. `native` keeps any NUL byte so that opening
// refuses it instead of silently cutting the name; `text` is the display form.
struct Path {
    std::string native;
    std::string text;
};
bool extract(PyObject* o, Path& out);

// Byte data: bytes, bytearray and unsigned-byte buffers directly; otherwise any
// non-str sequence of ints 0..255.
using Bytes = std::vector<std::uint8_t>;
bool extract(PyObject* o, Bytes& out);

// Integers through __index__; float and other non-integers are a TypeError,
// values outside the target type an OverflowError.
template <class I>
    requires(std::integral<I> && !std::same_as<I, bool>)
bool extract(PyObject* o, I& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    if constexpr (std::is_signed_v<I>) {
        const long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < static_cast<long long>(std::numeric_limits<I>::min()) ||
            v > static_cast<long long>(std::numeric_limits<I>::max())) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out = static_cast<I>(v);
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (v > static_cast<unsigned long long>(std::numeric_limits<I>::max())) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out = static_cast<I>(v);
    }
    return true;
}

// Floats through the float protocol (__float__, else __index__): float, int,
// bool or any object that converts itself; anything else is a TypeError.
bool extract(PyObject* o, double& out);

template <class V>
bool extract(PyObject* o, std::optional<V>& out);
template <class V>
bool extract(PyObject* o, std::vector<V>& out);

// The object itself, borrowed for the call.
inline bool extract(PyObject* o, PyObject*& out) {
    out = o;
    return true;
}

template <class V>
bool extract(PyObject* o, std::optional<V>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    V v{};
    if (!extract(o, v)) return false;
    out = std::move(v);
    return true;
}

// Fails unless `o` is a sequence other than str; sets its length.
bool sequence_length(PyObject* o, Py_ssize_t& n);

template <class V>
bool extract(PyObject* o, std::vector<V>& out) {
    Py_ssize_t n = 0;
    if (!sequence_length(o, n)) return false;
    std::vector<V> items;
    // A sequence may lie about its length; never reserve more than a modest amount up front.
    items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, 4096)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        V v{};
        if (!extract(item.get(), v)) return false;
        items.push_back(std::move(v));
    }
    out = std::move(items);
    return true;
}

// Converts one argument, prefixing a TypeError with "argument 'NAME': ".
template <class V>
bool convert_arg(const char* name, PyObject* o, V& out);
void prefix_type_error(const char* name);

template <class V>
bool convert_arg(const char* name, PyObject* o, V& out) {
    if (extract(o, out)) return true;
    prefix_type_error(name);
    return false;
}

// The constructors that read a deck take it from a path or from bytes, never
// both; false with ValueError set otherwise.
inline bool one_source(const std::optional<Path>& path, const std::optional<Bytes>& data) {
    if (path.has_value() != data.has_value()) return true;
    PyErr_SetString(PyExc_ValueError, "pass either a path or data=, not both");
    return false;
}

// ------------------------------------------------------------- repr helpers

namespace repr {
inline std::string flag(bool b) { return b ? "true" : "false"; }
inline std::string text(std::string_view s) { return vantrell_core::encoding::quoted(s); }
template <class N>
    requires std::integral<N>
std::string number(N n) {
    return std::to_string(n);
}
std::string optional_text(const std::optional<std::string>& s);
std::string optional_text(const vantrell_core::SharedText& s);
template <class N>
std::string optional_number(const std::optional<N>& n) {
    return n ? "Some(" + std::to_string(*n) + ")" : std::string("None");
}
std::string text_list(const std::vector<std::string>& items);
template <class N>
std::string number_list(const std::vector<N>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(items[i]);
    }
    out += ']';
    return out;
}
} // namespace repr

// Python values from C++ ones (new references, nullptr on failure).
namespace to_py {
inline PyObject* str(std::string_view s) { return new_str(s); }
inline PyObject* flag(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* none() { return Py_NewRef(Py_None); }
inline PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* i64(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* bytes(std::string_view b) {
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}
inline PyObject* bytes(std::span<const std::uint8_t> b) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

// A new list of `convert(item)` for every item, in order; `convert` returns a
// new reference, or nullptr with an exception set to stop.
template <class Items, class Convert>
PyObject* list(Items&& items, Convert&& convert) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!out) return nullptr;
    Py_ssize_t i = 0;
    for (auto&& item : items) {
        PyObject* o = convert(item);
        if (!o) return nullptr;
        PyList_SetItem(out.get(), i++, o); // steals o
    }
    return out.release();
}

// A new tuple of `items`, whose references it steals; nullptr when any of
// them is (the others are released).
template <std::same_as<PyObject*>... Items>
PyObject* tuple(Items... items) {
    std::array<Ref, sizeof...(Items)> owned{Ref::steal(items)...};
    for (const Ref& r : owned)
        if (!r) return nullptr;
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < owned.size(); ++i)
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), owned[i].release()); // steals
    return out.release();
}

// The Python form of a plain library value: str, bool and int as they are;
// an optional as None or its value; a vector as a list, a pair or an array
// as a tuple, a map with string keys as a dict.
inline PyObject* value(const std::string& s) { return str(s); }
inline PyObject* value(const char* s) { return str(s); }
inline PyObject* value(const vantrell_core::SharedText& s) { return s ? str(*s) : none(); }
template <std::same_as<bool> B>
PyObject* value(B b) {
    return flag(b);
}
template <class N>
    requires(std::integral<N> && !std::same_as<N, bool>)
PyObject* value(N n) {
    if constexpr (std::is_signed_v<N>) return i64(n);
    else return u64(n);
}
template <class V>
PyObject* value(const std::optional<V>& v);
template <class V>
PyObject* value(const std::vector<V>& items);
template <class A, class B>
PyObject* value(const std::pair<A, B>& p);
template <class V, std::size_t N>
PyObject* value(const std::array<V, N>& items);
template <class V>
PyObject* value(const std::map<std::string, V>& items);

template <class V>
PyObject* value(const std::optional<V>& v) {
    return v ? value(*v) : none();
}
template <class V>
PyObject* value(const std::vector<V>& items) {
    return list(items, [](const V& item) { return value(item); });
}
template <class A, class B>
PyObject* value(const std::pair<A, B>& p) {
    return tuple(value(p.first), value(p.second));
}
template <class V, std::size_t N>
PyObject* value(const std::array<V, N>& items) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return tuple(value(items[I])...);
    }(std::make_index_sequence<N>());
}
template <class V>
PyObject* value(const std::map<std::string, V>& items) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const auto& [key, item] : items) {
        Ref k = Ref::steal(str(key));
        if (!k) return nullptr;
        Ref v = Ref::steal(value(item));
        if (!v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}
} // namespace to_py

// One Python str per shared library text (`vantrell_core::SharedText`) for
// the objects one call makes. Each of them keeps the call's table, and an
// attribute that shows a shared text asks it (`shared_text` in classes.h):
// the text is converted on the first request and that str handed out after,
// so a text stored once is one str however many objects show it, and one
// that is never read costs nothing. Used with the interpreter lock held.
class StrTable {
public:
    // New reference: the str of `text`, None when absent; nullptr with an
    // exception set on failure.
    PyObject* str(const vantrell_core::SharedText& text);

private:
    // Each text is kept with its str, so its address stays its own.
    std::unordered_map<const std::string*, std::pair<vantrell_core::SharedText, Ref>> strs_;
};

using CallStrs = std::shared_ptr<StrTable>;
inline CallStrs new_call_strs() { return std::make_shared<StrTable>(); }

} // namespace _vantrell::toolkit
