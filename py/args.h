// Argument binding: a text signature such as "slide($self, index)" is
// parsed once per method and binds the positional and keyword arguments of
// every call, with the interpreter's own TypeError messages. Method bodies
// then convert each argument by name with `Args::get`.
#pragma once

#include "py/convert.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace _vantrell::toolkit {

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

    // Converts the argument when it was passed; leaves `out` (the default) as
    // it is otherwise. False with an exception set.
    template <class V>
    bool get(std::string_view name, V& out) const {
        return convert(index_of(name), out);
    }

    // The same for a parameter the signature may not have; `out` stays as it
    // is then too.
    template <class V>
    bool get_if_declared(std::string_view name, V& out) const {
        const std::optional<std::size_t> i = find(name);
        return !i || convert(*i, out);
    }

private:
    std::optional<std::size_t> find(std::string_view name) const noexcept;
    // As `find`, for a parameter the signature must have (a logic_error otherwise).
    std::size_t index_of(std::string_view name) const;

    template <class V>
    bool convert(std::size_t i, V& out) const {
        PyObject* o = values_[i];
        return !o || convert_arg(sig_->params[i].name.c_str(), o, out);
    }

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

// The Literal of the string `Make()` builds at compile time: a signature
// assembled from a table rather than typed out.
template <auto Make>
consteval auto literal() {
    constexpr std::size_t n = Make().size();
    char chars[n + 1] = {};
    const std::string text = Make();
    std::copy(text.begin(), text.end(), chars);
    return Literal<n + 1>(chars);
}

template <Literal Sig>
const Signature& signature_of() {
    static const Signature sig = Signature::parse(Sig.view());
    return sig;
}

// "sig\n--\n\ndoc", the form from which the host derives __text_signature__.
std::string signature_doc(std::string_view sig, std::string_view doc);

} // namespace _vantrell::toolkit
