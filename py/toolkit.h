// The binding toolkit: everything the module's classes and functions share.
//
// A bound class is a C++ value type T with a static `definition()` returning a
// `ClassDef<T>`: its Python name, doc, getters, methods, repr and optional
// constructor and extra slots. `Class<T>` turns that table into a heap type
// once and embeds a T in every instance. The T is placement-constructed only
// by the constructor trampoline or `Class<T>::create`; an instance whose T was
// never built cannot be reached from Python (tp_new refuses, and every access
// checks the constructed flag).
//
// Methods and constructors are declared by their text signature, e.g.
//   toolkit::method<"slide($self, index)", &Document::slide>("Parses one slide.")
// The signature is published in the doc (so `inspect.signature` works) and is
// also what the one argument parser binds positional and keyword arguments
// against. Method bodies then convert each argument by name with `Args::get`.
//
// A method taking `T&` holds the object exclusively for the call, one taking
// `const T&` shares it; conflicts raise RuntimeError "Already borrowed" or
// "Already mutably borrowed" instead of waiting. The flags are only touched
// with the interpreter lock held, so they need no atomics.
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

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/encoding.h"

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

    // Raises MemoryError or the internal fault; returns nullptr.
    PyObject* raise() const;
};

// Runs `f`, turning any C++ exception into a Fault.
template <class F>
auto catching(F&& f) noexcept -> std::expected<std::invoke_result_t<F>, Fault> {
    using R = std::invoke_result_t<F>;
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

// ------------------------------------------------------------------ helpers

// The type name of `o` for messages ("int", "NoneType").
std::string type_name(PyObject* o);

// New str from UTF-8 (invalid sequences replaced), or nullptr.
PyObject* new_str(std::string_view utf8);

// Appends `name` to the module's `__all__` (made on first use; a non-list
// `__all__` is a TypeError), then sets the attribute. Steals `value`.
bool add_attribute(PyObject* module, const char* name, PyObject* value);

// ------------------------------------------------------------------ borrows

struct BorrowFlag {
    std::size_t readers = 0;
    bool writer = false;
};

inline constexpr const char* ALREADY_BORROWED = "Already borrowed";
inline constexpr const char* ALREADY_MUT_BORROWED = "Already mutably borrowed";

// ------------------------------------------------------------ class storage

template <class T>
struct Holder {
    PyObject_HEAD
    BorrowFlag borrow;
    bool constructed;
    alignas(T) unsigned char storage[sizeof(T)];

    T* value() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }
};

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

// ---------------------------------------------------------------- signatures

struct Param {
    std::string name;
    bool keyword_only = false;
    bool positional_only = false;
    bool required = true;
};

// The parameters of a text signature such as "slide($self, index)" or
// "(path=None, *, data=None)": `$self` is skipped, "*" starts keyword-only
// parameters, "/" ends positional-only ones, "=..." makes one optional.
struct Signature {
    std::string name; // before "(", empty for a class signature
    std::string text; // from "(" to the end
    std::vector<Param> params;

    static Signature parse(std::string_view sig);
};

// The arguments of one call, bound to a signature (borrowed references).
class Args {
public:
    Args(const Signature& sig, PyObject* self) : sig_(&sig), self_(self), values_(sig.params.size()) {}

    // Matches positional and keyword arguments; `call_name` prefixes the
    // messages (e.g. "Document.__new__"). False with TypeError set.
    bool bind(const std::string& call_name, PyObject* args, PyObject* kwargs);

    PyObject* self() const noexcept { return self_; }

    // The value given for `name`, or nullptr when it was not passed.
    PyObject* raw(std::string_view name) const;

    // Converts the argument when it was passed; leaves `out` (the default) as
    // it is otherwise. False with an exception set.
    template <class V>
    bool get(std::string_view name, V& out) const {
        PyObject* o = raw(name);
        if (!o) return true;
        return convert_arg(sig_->params[index_of(name)].name.c_str(), o, out);
    }

private:
    std::size_t index_of(std::string_view name) const;

    const Signature* sig_;
    PyObject* self_;
    std::vector<PyObject*> values_;
};

// A string usable as a template argument: lets each method carry its text
// signature in its type, so the trampoline can parse it once.
template <std::size_t N>
struct Literal {
    char chars[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

template <Literal Sig>
const Signature& signature_of() {
    static const Signature sig = Signature::parse(Sig.view());
    return sig;
}

// "sig\n--\n\ndoc", the form from which the host derives __text_signature__.
std::string signature_doc(std::string_view sig, std::string_view doc);

// ------------------------------------------------------------ class tables

template <class T>
struct Getter {
    const char* name;
    const char* doc; // nullptr for none
    PyObject* (*get)(const T&);
};

struct MethodDef {
    const char* name;
    std::string doc; // signature + "\n--\n\n" + doc
    PyCFunctionWithKeywords call;
    int flags = 0; // METH_STATIC for a static method
};

struct ConstructorDef {
    std::string text_signature; // "(path=None, *, data=None)"
    newfunc call = nullptr;
};

template <class T>
struct ClassDef {
    const char* name; // "vantrell.Document"
    const char* doc;
    std::vector<Getter<T>> getters;
    std::vector<MethodDef> methods;
    std::string (*repr)(const T&) = nullptr;
    std::optional<ConstructorDef> constructor;
    std::vector<PyType_Slot> slots; // extra slots (len, getitem, iter, next, str)
};

template <class T>
class Class {
public:
    // The type object, created on first use; borrowed, or nullptr with an
    // exception set.
    static PyTypeObject* type(PyObject* module = nullptr);

    // A new instance holding `value`; nullptr with an exception set.
    static PyObject* create(T value);

    // The embedded value of `o` when it is a constructed instance of this
    // class; nullptr with TypeError otherwise.
    static Holder<T>* holder(PyObject* o);

    // Creates the type if needed and adds it to the module under its bare name.
    static bool add_to(PyObject* module);

private:
    static inline PyTypeObject* type_ = nullptr;
};

// Shared hold of a bound object for the life of the guard (also across a
// released lock); the guard must be destroyed with the lock held.
template <class T>
class Shared {
public:
    Shared() = default;
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    Shared(Shared&& o) noexcept : h_(std::exchange(o.h_, nullptr)), obj_(std::move(o.obj_)) {}
    Shared& operator=(Shared&& o) noexcept {
        reset();
        h_ = std::exchange(o.h_, nullptr);
        obj_ = std::move(o.obj_);
        return *this;
    }
    ~Shared() { reset(); }

    // False with RuntimeError "Already mutably borrowed" when held exclusively.
    bool acquire(PyObject* o, Holder<T>* h) {
        reset();
        if (h->borrow.writer) {
            PyErr_SetString(PyExc_RuntimeError, ALREADY_MUT_BORROWED);
            return false;
        }
        ++h->borrow.readers;
        h_ = h;
        obj_ = Ref::borrow(o);
        return true;
    }
    const T& operator*() const noexcept { return *h_->value(); }
    const T* operator->() const noexcept { return h_->value(); }
    PyObject* object() const noexcept { return obj_.get(); }

private:
    void reset() noexcept {
        if (h_) --h_->borrow.readers;
        h_ = nullptr;
        obj_ = Ref();
    }
    Holder<T>* h_ = nullptr;
    Ref obj_;
};

template <class T>
class Exclusive {
public:
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    Exclusive() = default;
    ~Exclusive() {
        if (h_) h_->borrow.writer = false;
    }
    // False with RuntimeError "Already borrowed" when held in any way.
    bool acquire(Holder<T>* h) {
        if (h->borrow.writer || h->borrow.readers != 0) {
            PyErr_SetString(PyExc_RuntimeError, ALREADY_BORROWED);
            return false;
        }
        h->borrow.writer = true;
        h_ = h;
        return true;
    }

private:
    Holder<T>* h_ = nullptr;
};

// An argument that is an instance of a bound class, held shared during the call.
template <class T>
bool extract(PyObject* o, Shared<T>& out) {
    Holder<T>* h = Class<T>::holder(o);
    return h && out.acquire(o, h);
}

// --------------------------------------------------------- declarations API

template <class T>
Getter<T> getter(const char* name, PyObject* (*get)(const T&), const char* doc = nullptr) {
    return Getter<T>{name, doc, get};
}

namespace detail {

template <class F>
struct method_traits;
template <class Self>
struct method_traits<PyObject* (*)(Self&, const Args&)> {
    using self_type = Self;
    using value_type = std::remove_const_t<Self>;
    static constexpr bool exclusive = !std::is_const_v<Self>;
};

// Runs `fn` on the held value, shared or exclusive as its parameter asks.
template <class T, bool Exclusive_, class F>
PyObject* with_value(PyObject* self, F&& fn) {
    Holder<T>* h = Class<T>::holder(self);
    if (!h) return nullptr;
    if constexpr (Exclusive_) {
        Exclusive<T> hold;
        if (!hold.acquire(h)) return nullptr;
        return fn(*h->value());
    } else {
        Shared<T> hold;
        if (!hold.acquire(self, h)) return nullptr;
        return fn(*hold);
    }
}

std::string qualified_call_name(PyTypeObject* type, std::string_view name);

template <Literal Sig, auto Fn>
PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    using traits = method_traits<decltype(Fn)>;
    using T = typename traits::value_type;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // Bound before the object is held: a call that cannot bind is a
        // TypeError even while the object is in use.
        const Signature& sig = signature_of<Sig>();
        Args a(sig, self);
        if (!a.bind(qualified_call_name(Py_TYPE(self), sig.name), args, kwargs)) return nullptr;
        return with_value<T, traits::exclusive>(
            self, [&](typename traits::self_type& value) -> PyObject* { return Fn(value, a); });
    });
}

template <Literal Sig, auto Fn>
PyObject* function_call(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Signature& sig = signature_of<Sig>();
        Args a(sig, module);
        if (!a.bind(sig.name, args, kwargs)) return nullptr;
        return Fn(module, a);
    });
}

template <class T, Literal Sig, auto Fn>
PyObject* static_call(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* type = Class<T>::type();
        if (!type) return nullptr;
        const Signature& sig = signature_of<Sig>();
        Args a(sig, nullptr);
        if (!a.bind(qualified_call_name(type, sig.name), args, kwargs)) return nullptr;
        return Fn(a);
    });
}

template <class T, Literal Sig, auto Fn>
PyObject* constructor_call(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Signature& sig = signature_of<Sig>();
        Args a(sig, nullptr);
        if (!a.bind(qualified_call_name(type, "__new__"), args, kwargs)) return nullptr;
        std::optional<T> value = Fn(a);
        if (!value) return nullptr;
        return Class<T>::create(std::move(*value));
    });
}

} // namespace detail

// A method from its text signature ("name($self, ...)") and implementation
// `PyObject* fn(T& or const T&, const Args&)`.
template <Literal Sig, auto Fn>
MethodDef method(std::string_view doc) {
    static const std::string name(signature_of<Sig>().name);
    return MethodDef{name.c_str(), signature_doc(Sig.view(), doc),
                     &detail::method_call<Sig, Fn>};
}

// A static method of class T from its text signature ("name(arg, ...)") and
// `PyObject* fn(const Args&)`; it touches no instance, so it takes no borrow.
template <class T, Literal Sig, auto Fn>
MethodDef static_method(std::string_view doc) {
    static const std::string name(signature_of<Sig>().name);
    return MethodDef{name.c_str(), signature_doc(Sig.view(), doc), &detail::static_call<T, Sig, Fn>, METH_STATIC};
}

// A constructor from its text signature ("(path=None, *, data=None)") and
// `std::optional<T> fn(const Args&)` (nullopt with an exception set).
template <class T, Literal Sig, auto Fn>
ConstructorDef constructor() {
    return ConstructorDef{std::string(Sig.view()), &detail::constructor_call<T, Sig, Fn>};
}

// A module-level function bound to `module`: `PyObject* fn(PyObject* module,
// const Args&)`; its `__module__` is the module's name.
template <Literal Sig, auto Fn>
PyObject* new_function(PyObject* module, const char* doc) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const std::string text = signature_doc(Sig.view(), doc);
        static PyMethodDef def{signature_of<Sig>().name.c_str(),
                               reinterpret_cast<PyCFunction>(
                                   reinterpret_cast<void (*)()>(&detail::function_call<Sig, Fn>)),
                               METH_VARARGS | METH_KEYWORDS, text.c_str()};
        Ref modname = Ref::steal(PyModule_GetNameObject(module));
        if (!modname) return nullptr;
        return PyCFunction_NewEx(&def, module, modname.get());
    });
}

// Extra slots. `fn` shapes: len `Py_ssize_t(const T&)`; getitem
// `PyObject*(const T&, PyObject* key)`; iter and next `PyObject*(const T&,
// PyObject* self)`; str `std::string(const T&)`.
namespace detail {
template <auto Fn>
struct slot_fn;
template <class T, Py_ssize_t (*Fn)(const T&)>
struct slot_fn<Fn> {
    static Py_ssize_t call(PyObject* self) {
        return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
            Holder<T>* h = Class<T>::holder(self);
            if (!h) return -1;
            Shared<T> hold;
            if (!hold.acquire(self, h)) return -1;
            return Fn(*hold);
        });
    }
};
template <class T, PyObject* (*Fn)(const T&, PyObject*)>
struct slot_fn<Fn> {
    static PyObject* call(PyObject* self, PyObject* arg) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            return with_value<T, false>(self, [&](const T& v) { return Fn(v, arg); });
        });
    }
    static PyObject* call_self(PyObject* self) { return call(self, self); }
};
template <class T, std::string (*Fn)(const T&)>
struct slot_fn<Fn> {
    static PyObject* call(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            return with_value<T, false>(self, [&](const T& v) { return new_str(Fn(v)); });
        });
    }
};

template <class F>
void* slot_ptr(F* f) noexcept {
    return reinterpret_cast<void*>(f);
}
} // namespace detail

template <auto Fn>
PyType_Slot slot_len() {
    return {Py_mp_length, detail::slot_ptr(&detail::slot_fn<Fn>::call)};
}
template <auto Fn>
PyType_Slot slot_getitem() {
    return {Py_mp_subscript, detail::slot_ptr(&detail::slot_fn<Fn>::call)};
}
template <auto Fn>
PyType_Slot slot_iter() {
    return {Py_tp_iter, detail::slot_ptr(&detail::slot_fn<Fn>::call_self)};
}
template <auto Fn>
PyType_Slot slot_next() {
    return {Py_tp_iternext, detail::slot_ptr(&detail::slot_fn<Fn>::call_self)};
}
template <auto Fn>
PyType_Slot slot_str() {
    return {Py_tp_str, detail::slot_ptr(&detail::slot_fn<Fn>::call)};
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
PyObject* optional_str(const std::optional<std::string>& s);
PyObject* str_list(const std::vector<std::string>& items);
} // namespace to_py

// ---------------------------------------------------------- Class<T> bodies

PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* not_constructed(PyObject* o);

namespace detail {

template <class T>
void dealloc(PyObject* self) {
    auto* h = reinterpret_cast<Holder<T>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (h->constructed) {
        h->constructed = false;
        h->value()->~T();
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

template <class T>
PyObject* get_attribute(PyObject* self, void* closure) {
    const auto* g = static_cast<const Getter<T>*>(closure);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return with_value<T, false>(self, [&](const T& v) { return g->get(v); });
    });
}

template <class T>
PyObject* repr_call(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return with_value<T, false>(self, [&](const T& v) { return new_str(T::definition().repr(v)); });
    });
}

// Arrays handed to the host must outlive the type: kept here for good.
struct TypeStorage {
    std::deque<std::string> strings;
    std::vector<PyGetSetDef> getset;
    std::vector<PyMethodDef> methods;
    std::vector<PyType_Slot> slots;
};
TypeStorage& new_type_storage();

} // namespace detail

template <class T>
PyTypeObject* Class<T>::type(PyObject* module) {
    if (type_) return type_;
    return guarded<PyTypeObject*>(nullptr, [&]() -> PyTypeObject* {
        static_assert(alignof(T) <= alignof(std::max_align_t), "the host aligns objects to max_align_t");
        const ClassDef<T>& def = T::definition();
        detail::TypeStorage& st = detail::new_type_storage();

        for (const Getter<T>& g : def.getters)
            st.getset.push_back(PyGetSetDef{g.name, &detail::get_attribute<T>, nullptr, g.doc,
                                            const_cast<Getter<T>*>(&g)});
        st.getset.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});

        for (const MethodDef& m : def.methods)
            st.methods.push_back(PyMethodDef{m.name,
                                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.call)),
                                             METH_VARARGS | METH_KEYWORDS | m.flags, m.doc.c_str()});
        st.methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});

        // The class doc carries the constructor's signature after the bare name.
        std::string_view full(def.name);
        std::string_view bare = full.substr(full.rfind('.') + 1);
        const std::string& doc =
            def.constructor ? st.strings.emplace_back(signature_doc(std::string(bare) + def.constructor->text_signature,
                                                                    def.doc))
                            : st.strings.emplace_back(def.doc);

        st.slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
        st.slots.push_back({Py_tp_dealloc, detail::slot_ptr(&detail::dealloc<T>)});
        st.slots.push_back(
            {Py_tp_new, def.constructor ? detail::slot_ptr(def.constructor->call) : detail::slot_ptr(&no_constructor)});
        if (!def.getters.empty()) st.slots.push_back({Py_tp_getset, st.getset.data()});
        if (!def.methods.empty()) st.slots.push_back({Py_tp_methods, st.methods.data()});
        if (def.repr) st.slots.push_back({Py_tp_repr, detail::slot_ptr(&detail::repr_call<T>)});
        for (const PyType_Slot& s : def.slots) st.slots.push_back(s);
        st.slots.push_back({0, nullptr});

        PyType_Spec spec{def.name, static_cast<int>(sizeof(Holder<T>)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, st.slots.data()};
        PyObject* t = PyType_FromModuleAndSpec(module, &spec, nullptr);
        if (!t) return nullptr;
        type_ = reinterpret_cast<PyTypeObject*>(t);
        return type_;
    });
}

template <class T>
PyObject* Class<T>::create(T value) {
    PyTypeObject* t = type();
    if (!t) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
    PyObject* o = alloc(t, 0);
    if (!o) return nullptr;
    auto* h = reinterpret_cast<Holder<T>*>(o);
    h->borrow = BorrowFlag{};
    h->constructed = false;
    try {
        ::new (static_cast<void*>(h->storage)) T(std::move(value));
    } catch (...) {
        Py_DECREF(o);
        return PyErr_NoMemory();
    }
    h->constructed = true;
    return o;
}

template <class T>
Holder<T>* Class<T>::holder(PyObject* o) {
    PyTypeObject* t = type();
    if (!t) return nullptr;
    if (!PyObject_TypeCheck(o, t)) {
        std::string_view full(T::definition().name);
        std::string message = "'";
        message += type_name(o);
        message += "' object cannot be converted to '";
        message += full.substr(full.rfind('.') + 1);
        message += '\'';
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return nullptr;
    }
    auto* h = reinterpret_cast<Holder<T>*>(o);
    if (!h->constructed) {
        not_constructed(o);
        return nullptr;
    }
    return h;
}

template <class T>
bool Class<T>::add_to(PyObject* module) {
    PyTypeObject* t = type(module);
    if (!t) return false;
    std::string_view full(T::definition().name);
    const std::string bare(full.substr(full.rfind('.') + 1));
    return add_attribute(module, bare.c_str(), Py_NewRef(reinterpret_cast<PyObject*>(t)));
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

// The constructors that read a deck take it from a path or from bytes, never
// both; false with ValueError set otherwise.
inline bool one_source(const std::optional<Path>& path, const std::optional<Bytes>& data) {
    if (path.has_value() != data.has_value()) return true;
    PyErr_SetString(PyExc_ValueError, "pass either a path or data=, not both");
    return false;
}

} // namespace _vantrell::toolkit
