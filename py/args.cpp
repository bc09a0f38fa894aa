// The signature parser and the argument binder.
#include "py/args.h"

#include <stdexcept>

namespace _vantrell::toolkit {

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

std::optional<std::size_t> Args::find(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < sig_->params.size(); ++i)
        if (sig_->params[i].name == name) return i;
    return std::nullopt;
}

std::size_t Args::index_of(std::string_view name) const {
    if (const std::optional<std::size_t> i = find(name)) return *i;
    throw std::logic_error("no parameter '" + std::string(name) + "' in " + sig_->name + sig_->text);
}

} // namespace _vantrell::toolkit
