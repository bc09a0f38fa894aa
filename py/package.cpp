// The raw package classes.
//
// A Python `Package` keeps only the shared, immutable package core and the
// path it was opened from. Every call builds its own short-lived view over
// the core, so nothing read by one call is cached for the next, and several
// threads may use one Package at once; only the content types and the
// defect record, which the core computes once, are shared. Calls that read
// or index parts release the interpreter lock around the library work;
// `has`, `content_type`, and the reprs stay under it.
//
// The other four classes are plain copies made by Package methods. Their
// list, tuple and dict attributes are built anew on every read. A text the
// package stores once (a content type, a part name) is shared by every
// value of one call that shows it, as one str (toolkit::StrTable).
#include "py/package.h"

#include "core/package.h"

#include <map>
#include <utility>
#include <vector>

namespace _vantrell::package {

namespace tk = toolkit;
namespace core = vantrell_core::package;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A list of bound values made from `items`, which it empties.
template <class T>
PyObject* moved_list(std::vector<T>& items) {
    return tk::object_list<T>(items, [](T& item) { return std::move(item); });
}

} // namespace

// ---------------------------------------------------------------- Part

struct Part {
    std::string name;
    // Shared by the parts of its extension or override, as one str.
    vantrell_core::SharedText content_type;
    std::uint64_t size = 0;
    std::uint64_t compressed_size = 0;
    tk::CallStrs strs;

    static std::string repr(const Part& p) {
        return "Part(" + tk::repr::text(p.name) + ", " + tk::repr::number(p.size) + " bytes)";
    }

    static const tk::ClassDef<Part>& definition() {
        static const tk::ClassDef<Part> def{
            .name = "vantrell.Part",
            .doc = "One part of a package.",
            .getters = {tk::member<&Part::name>("name"),
                        tk::shared_text<&Part::strs, &Part::content_type>("content_type"),
                        tk::member<&Part::size>("size", "Decompressed size in bytes."),
                        tk::member<&Part::compressed_size>("compressed_size")},
            .repr = &repr,
        };
        return def;
    }
};

// ---------------------------------------------------------- Relationship

struct Relationship {
    std::string id;
    std::string type;
    std::string target;
    bool external = false;

    static std::string repr(const Relationship& r) {
        return "Relationship(" + r.id + " -> " + tk::repr::text(r.target) + ")";
    }

    static const tk::ClassDef<Relationship>& definition() {
        static const tk::ClassDef<Relationship> def{
            .name = "vantrell.Relationship",
            .doc = "One relationship of a part or of the package.",
            .getters = {tk::member<&Relationship::id>("id"),
                        tk::member<&Relationship::type>("type", "The relationship type URI."),
                        tk::member<&Relationship::target>(
                            "target", "The target as written; `Package.resolve` gives the part name."),
                        tk::member<&Relationship::external>("external")},
            .repr = &repr,
        };
        return def;
    }
};

// ---------------------------------------------------------- ContentTypes

struct ContentTypes {
    // Ordered by key bytes; a repeated key keeps the later element's value.
    std::map<std::string, std::string> defaults;
    std::map<std::string, std::string> overrides;

    static ContentTypes from(const vantrell_core::opc::ContentTypes& parsed) {
        ContentTypes out;
        for (const auto& [ext, type] : parsed.defaults) out.defaults.insert_or_assign(ext, type);
        for (const auto& [name, type] : parsed.overrides) out.overrides.insert_or_assign(name, type);
        return out;
    }

    static std::string repr(const ContentTypes& c) {
        return "ContentTypes(defaults=" + tk::repr::number(c.defaults.size()) +
               ", overrides=" + tk::repr::number(c.overrides.size()) + ")";
    }

    static const tk::ClassDef<ContentTypes>& definition() {
        static const tk::ClassDef<ContentTypes> def{
            .name = "vantrell.ContentTypes",
            .doc = "The content types stream as two dicts.",
            .getters = {tk::member<&ContentTypes::defaults>("defaults", "Extension to media type."),
                        tk::member<&ContentTypes::overrides>("overrides", "Part name to media type.")},
            .repr = &repr,
        };
        return def;
    }
};

// -------------------------------------------------------- PackageDefects

struct PackageDefects {
    // Part names, each shared by every pair that shows it (a base name may
    // be in thousands), as one str.
    using NamePairs = std::vector<std::pair<vantrell_core::SharedText, vantrell_core::SharedText>>;

    bool content_types_missing = false;
    std::optional<std::string> content_types_case;
    std::optional<std::string> content_types_error;
    std::optional<std::string> content_types_unreadable;
    Pairs invalid_names;
    NamePairs collisions;
    NamePairs derivable;
    std::vector<std::string> directories;
    std::vector<std::string> incomplete_pieces;
    tk::CallStrs strs;

    static PackageDefects from(const core::PackageDefects& d, const std::vector<core::Part>& parts) {
        vantrell_core::SharedTexts names; // the core keeps the part names where they are
        const auto named = [&](const std::vector<std::pair<std::size_t, std::size_t>>& pairs) {
            NamePairs out;
            out.reserve(pairs.size());
            for (const auto& [a, b] : pairs) out.emplace_back(names.of(parts[a].name), names.of(parts[b].name));
            return out;
        };
        PackageDefects out;
        out.content_types_missing = d.content_types_missing;
        out.content_types_case = d.content_types_case;
        if (d.content_types_error)
            out.content_types_error =
                d.content_types_error->first + " at byte " + std::to_string(d.content_types_error->second);
        out.content_types_unreadable = d.content_types_unreadable;
        out.invalid_names.reserve(d.invalid_names.size());
        for (const auto& [name, why] : d.invalid_names) out.invalid_names.emplace_back(name, why.message());
        out.collisions = named(d.collisions);
        out.derivable = named(d.derivable);
        out.directories = d.directories;
        out.incomplete_pieces = d.incomplete_pieces;
        return out;
    }

    static PyObject* name_pairs(const PackageDefects& d, const NamePairs& pairs) {
        return tk::to_py::list(pairs, [&](const auto& pair) {
            return tk::to_py::tuple(d.strs->str(pair.first), d.strs->str(pair.second));
        });
    }
    static PyObject* get_collisions(const PackageDefects& d) { return name_pairs(d, d.collisions); }
    static PyObject* get_derivable(const PackageDefects& d) { return name_pairs(d, d.derivable); }

    static std::string repr(const PackageDefects& d) {
        return "PackageDefects(content_types_missing=" + tk::repr::flag(d.content_types_missing) +
               ", invalid_names=" + tk::repr::number(d.invalid_names.size()) +
               ", collisions=" + tk::repr::number(d.collisions.size()) + ")";
    }

    static const tk::ClassDef<PackageDefects>& definition() {
        using D = PackageDefects;
        static const tk::ClassDef<D> def{
            .name = "vantrell.PackageDefects",
            .doc = "What the package layer found wrong: missing or broken content types,\n"
                   "bad part names, name collisions, directory entries and incomplete pieces.",
            .getters = {tk::member<&D::content_types_missing>("content_types_missing"),
                        tk::member<&D::content_types_case>("content_types_case"),
                        tk::member<&D::content_types_error>("content_types_error"),
                        tk::member<&D::content_types_unreadable>("content_types_unreadable"),
                        tk::member<&D::invalid_names>("invalid_names", "`(part name, why it is invalid)` pairs."),
                        tk::getter<D>("collisions", &get_collisions,
                                      "Pairs of part names that are equivalent under OPC name comparison."),
                        tk::getter<D>("derivable", &get_derivable,
                                      "Pairs where one part name is derivable from another."),
                        tk::member<&D::directories>("directories"),
                        tk::member<&D::incomplete_pieces>("incomplete_pieces")},
            .repr = &repr,
        };
        return def;
    }
};

// --------------------------------------------------------------- Package

struct Package {
    std::optional<std::string> path; // display text
    std::shared_ptr<const core::Core> core;

    core::Package view() const { return core::Package(core); }

    // `fn(view)` on a fresh view with the lock released; what the view reads
    // for parsing is charged to the process budget as one step.
    template <class Fn>
    auto released_charged(Fn&& fn) const {
        return tk::released_stopping([&](vantrell_core::budget::Stop* stop) {
            core::Package v = view();
            const core::Charging charging(v, stop);
            return fn(v);
        });
    }

    static std::optional<Package> make(const tk::Args& a) {
        std::optional<tk::Path> path;
        std::optional<tk::Bytes> data;
        if (!a.get("path", path) || !a.get("data", data)) return std::nullopt;
        if (!tk::one_source(path, data)) return std::nullopt;
        auto opened = tk::released([&]() -> vantrell_core::Result<core::Package> {
            if (data) return core::Package::from_bytes(std::move(*data));
            return core::Package::open_path(path->native);
        });
        if (!tk::succeeded(opened)) return std::nullopt;
        Package p;
        if (path) p.path = std::move(path->text);
        p.core = (*opened)->core();
        return p;
    }

    static PyObject* parts(const Package& self, const tk::Args&) {
        auto r = self.released_charged([](const core::Package& v) {
            const vantrell_core::opc::ContentTypes& types = v.parsed_content_types().types;
            vantrell_core::SharedTexts shared; // the core keeps the content types where they are
            std::vector<Part> out;
            out.reserve(v.parts().size());
            for (const core::Part& p : v.parts()) {
                vantrell_core::SharedText type;
                if (auto t = types.content_type_of(p.name)) type = shared.of(*t);
                // An interleaved part reports the sums over its pieces, so the
                // size is the whole part's, as `read` returns it.
                out.push_back(Part{std::string(p.name), std::move(type), p.size, p.compressed_size, nullptr});
            }
            return out;
        });
        if (!r) return r.error().raise();
        const tk::CallStrs strs = tk::new_call_strs();
        for (Part& p : *r) p.strs = strs;
        return moved_list(*r);
    }

    static PyObject* has(const Package& self, const tk::Args& a) {
        std::string name;
        if (!a.get("name", name)) return nullptr;
        return tk::to_py::flag(self.core->part_index(name).has_value());
    }

    static PyObject* content_type(const Package& self, const tk::Args& a) {
        std::string name;
        if (!a.get("name", name)) return nullptr;
        const auto type = self.core->parsed_content_types().types.content_type_of(name);
        return type ? tk::to_py::str(*type) : tk::to_py::none();
    }

    // Not charged to the process budget, unlike the calls that parse: the
    // bytes go to the caller, who holds them for as long as it likes, so no
    // step of the library's could ever settle them.
    static PyObject* read(const Package& self, const tk::Args& a) {
        std::string name;
        bool raw = false;
        if (!a.get("name", name) || !a.get("raw", raw)) return nullptr;
        auto r = tk::released([&]() -> vantrell_core::Result<core::Bytes> {
            core::Package v = self.view();
            if (!raw) return v.read_part(name, core::NO_SIZE_LIMIT);
            vantrell_core::bytes::Buffer out;
            if (auto ok = v.read_part_bytes(name, out); !ok) return vantrell_core::fail(std::move(ok.error()));
            return std::make_shared<const vantrell_core::bytes::Buffer>(std::move(out));
        });
        if (!tk::succeeded(r)) return nullptr;
        return tk::to_py::bytes(core::as_text(***r));
    }

    static PyObject* rels(const Package& self, const tk::Args& a) {
        std::string source = "/";
        if (!a.get("source", source)) return nullptr;
        auto r = self.released_charged([&](core::Package& v) -> vantrell_core::Result<std::vector<Relationship>> {
            auto parsed = v.rels(source);
            if (!parsed) return vantrell_core::fail(std::move(parsed.error()));
            std::vector<Relationship> out;
            out.reserve((*parsed)->relationships.size());
            for (const auto& rel : (*parsed)->relationships)
                out.push_back(
                    Relationship{std::string(rel.id), std::string(rel.type), std::string(rel.target), rel.external});
            return out;
        });
        if (!tk::succeeded(r)) return nullptr;
        return moved_list(**r);
    }

    static PyObject* resolve(const Package& self, const tk::Args& a) {
        std::string source, rel_id;
        if (!a.get("source", source) || !a.get("rel_id", rel_id)) return nullptr;
        auto r = self.released_charged([&](core::Package& v) { return v.resolve(source, rel_id); });
        if (!tk::succeeded(r)) return nullptr;
        return tk::to_py::value(**r);
    }

    static PyObject* content_types(const Package& self, const tk::Args&) {
        auto r = self.released_charged([](const core::Package& v) {
            return ContentTypes::from(v.parsed_content_types().types);
        });
        if (!r) return r.error().raise();
        return tk::Class<ContentTypes>::create(std::move(*r));
    }

    static PyObject* get_defects(const Package& self) {
        auto r = self.released_charged(
            [](const core::Package& v) { return PackageDefects::from(v.defects(), v.parts()); });
        if (!r) return r.error().raise();
        r->strs = tk::new_call_strs();
        return tk::Class<PackageDefects>::create(std::move(*r));
    }

    static std::string repr(const Package& self) {
        const std::string parts = tk::repr::number(self.core->parts().size());
        if (self.path) return "Package(path=" + tk::repr::text(*self.path) + ", parts=" + parts + ")";
        return "Package(parts=" + parts + ")";
    }

    static const tk::ClassDef<Package>& definition() {
        static const tk::ClassDef<Package> def{
            .name = "vantrell.Package",
            .doc = "The raw Open Packaging Conventions view of a deck: every part, content\n"
                   "type and relationship as written, defects included.",
            .getters = {tk::getter<Package>("defects", &get_defects,
                                            "What the package layer found wrong while indexing.")},
            .methods =
                {
                    tk::method<"parts($self)", &parts>("Every part in archive order."),
                    tk::method<"has($self, name)", &has>(
                        "True when a part of that name exists, compared case-insensitively."),
                    tk::method<"content_type($self, name)", &content_type>(
                        "The declared content type of a part, or None."),
                    tk::method<"read($self, name, *, raw=False)", &read>(
                        "The decompressed bytes of a part. A UTF-16 XML part comes back as\n"
                        "UTF-8 unless `raw=True`, which returns the bytes exactly as stored."),
                    tk::method<"rels($self, source=\"/\")", &rels>(
                        "The relationships of a part, or of the package itself for `/`."),
                    tk::method<"resolve($self, source, rel_id)", &resolve>(
                        "The part name relationship `rel_id` of `source` points at, when internal."),
                    tk::method<"content_types($self)", &content_types>(
                        "The `[Content_Types].xml` stream: defaults by extension, overrides by part name."),
                },
            .repr = &repr,
            .constructor = tk::constructor<Package, "(path=None, *, data=None)", &make>(),
        };
        return def;
    }
};

bool register_(PyObject* module) {
    return tk::Class<Package>::add_to(module) && tk::Class<Part>::add_to(module) &&
           tk::Class<Relationship>::add_to(module) && tk::Class<ContentTypes>::add_to(module) &&
           tk::Class<PackageDefects>::add_to(module);
}

PyObject* new_package(std::shared_ptr<const core::Core> core, std::optional<std::string> path) {
    return tk::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return tk::Class<Package>::create(Package{std::move(path), std::move(core)});
    });
}

} // namespace _vantrell::package
