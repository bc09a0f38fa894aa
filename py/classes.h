// Bound classes: a C++ value type T with a static `definition()` returning a
// `ClassDef<T>` (its Python name, doc, getters, methods, repr and optional
// constructor and extra slots). `Class<T>` turns that table into a heap type
// once and embeds a T in every instance. The T is placement-constructed only
// by the constructor trampoline or `Class<T>::create`; an instance whose T was
// never built cannot be reached from Python (tp_new refuses, and every access
// checks the constructed flag).
//
// Methods and constructors are declared by their text signature, e.g.
//   toolkit::method<"slide($self, index)", &Document::slide>("Parses one slide.")
// The signature is published in the doc (so `inspect.signature` works) and is
// also what the argument binder binds against.
//
// A method taking `T&` holds the object exclusively for the call, one taking
// `const T&` shares it; conflicts raise RuntimeError "Already borrowed" or
// "Already mutably borrowed" instead of waiting. The flags are only touched
// with the interpreter lock held, so they need no atomics.
#pragma once

#include "py/args.h"
#include "py/convert.h"
#include "py/errors.h"

#include <cstddef>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace _vantrell::toolkit {

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
        // A thread the exiting interpreter ends leaves the object alone.
        if (h_ && !lock_lost()) --h_->borrow.readers;
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
        if (h_ && !lock_lost()) h_->borrow.writer = false;
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

// A computed attribute: `get` builds its value from the held object.
template <class T>
Getter<T> getter(const char* name, PyObject* (*get)(const T&), const char* doc = nullptr) {
    return Getter<T>{name, doc, get};
}

namespace detail {
template <class M>
struct member_class;
template <class C, class V>
struct member_class<V C::*> {
    using type = C;
};

// `o.*M`, or `(o.*M)()` for a member function, which must end a path.
template <auto M, class O>
decltype(auto) step(const O& o) {
    if constexpr (std::is_member_function_pointer_v<decltype(M)>) return (o.*M)();
    else return (o.*M);
}
template <auto M, auto... Ms, class O>
decltype(auto) follow(const O& o) {
    if constexpr (sizeof...(Ms) == 0) {
        return step<M>(o);
    } else {
        static_assert(!std::is_member_function_pointer_v<decltype(M)>, "a member function ends a path");
        return follow<Ms...>(step<M>(o));
    }
}

template <class T, auto... Path>
PyObject* get_member(const T& o) {
    return to_py::value(follow<Path...>(o));
}
} // namespace detail

// An attribute that is a member of the held object, or a member of one of its
// members (`member<&Image::v, &ImageRef::part>`), as `to_py::value` converts it.
template <auto First, auto... Rest>
auto member(const char* name, const char* doc = nullptr) {
    using T = typename detail::member_class<decltype(First)>::type;
    return Getter<T>{name, doc, &detail::get_member<T, First, Rest...>};
}

namespace detail {
template <class T, auto Table, auto... Path>
PyObject* get_shared_text(const T& o) {
    const CallStrs& table = o.*Table;
    const vantrell_core::SharedText& text = follow<Path...>(o);
    return table ? table->str(text) : to_py::value(text);
}
} // namespace detail

// An attribute that shows a shared text, reached as in `member`, as the one
// str the object's call made of it: `Table` is the object's `CallStrs`.
template <auto Table, auto First, auto... Rest>
auto shared_text(const char* name, const char* doc = nullptr) {
    using T = typename detail::member_class<decltype(Table)>::type;
    return Getter<T>{name, doc, &detail::get_shared_text<T, Table, First, Rest...>};
}

// A new list with one bound object per item, made by `make(item)`.
template <class T, class Items, class Make>
PyObject* object_list(Items&& items, Make&& make) {
    return to_py::list(items, [&](auto& item) { return Class<T>::create(make(item)); });
}
// The same with each object made as `T{item}`.
template <class T, class Items>
PyObject* object_list(Items&& items) {
    return object_list<T>(items, [](const auto& item) { return T{item}; });
}

namespace detail {
template <class T, class Item, auto... Path>
PyObject* get_objects(const T& o) {
    return object_list<Item>(follow<Path...>(o));
}
} // namespace detail

// An attribute that is a list of bound `Item` objects, one `Item{x}` for each
// x of a vector member reached as in `member`.
template <class Item, auto First, auto... Rest>
auto objects(const char* name, const char* doc = nullptr) {
    using T = typename detail::member_class<decltype(First)>::type;
    return Getter<T>{name, doc, &detail::get_objects<T, Item, First, Rest...>};
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
