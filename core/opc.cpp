// Relationships, content types and part names.
#include "core/opc.h"

#include <array>
#include <functional>

#include "core/encoding.h"
#include "core/mce.h"

namespace vantrell_core::opc {

namespace {

// Relationships parts mostly hold a handful: room for that many is taken at
// once, and up to that many are looked up without a hash index.
constexpr std::size_t SMALL_RELS = 8;
constexpr std::string_view REL_WITHOUT_FIELDS = "Relationship without Id, Type or Target";
constexpr std::string_view BAD_TARGET_MODE = "TargetMode is neither Internal nor External";
constexpr std::string_view REL_UNEXPECTED = "unexpected element in a Relationships part";
constexpr std::string_view DEFAULT_WITHOUT_FIELDS = "Default element without Extension or ContentType";
constexpr std::string_view OVERRIDE_WITHOUT_FIELDS = "Override element without PartName or ContentType";
constexpr std::string_view CT_UNEXPECTED = "unexpected element in the content types stream";

// Reads up to the root element's start tag, then hands each child of the root
// to `child`, then reads to the end so that trailing damage still fails.
// With `forms` set, also tells the reader's Strict and Transitional flags as
// they stand at the root's start tag.
template <class Fn>
xml::Status walk_root(xml::Reader& reader, bool& wrong_root, std::uint16_t ns_id, std::string_view local,
                      Fn&& child, std::pair<bool, bool>* forms = nullptr) {
    for (;;) {
        xml::Event ev = reader.next();
        if (ev.kind == xml::EventKind::error) return std::unexpected(ev.error);
        if (ev.kind == xml::EventKind::eof) return std::unexpected(xml::XmlError{"no root element", ev.offset});
        if (ev.kind != xml::EventKind::start) continue;
        wrong_root = !ev.start.is(ns_id, local);
        if (forms) *forms = {reader.strict_seen(), reader.transitional_seen()};
        if (auto st = mce::children_inner(reader, child, false); !st) return st;
        break;
    }
    for (;;) {
        xml::Event ev = reader.next();
        if (ev.kind == xml::EventKind::error) return std::unexpected(ev.error);
        if (ev.kind == xml::EventKind::eof) return {};
    }
}

bool is_hex(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hex_value(char c) noexcept {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}
constexpr bool is_unreserved(char32_t c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}
constexpr bool is_sub_delim_or_extra(char32_t c) noexcept {
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
    case ';': case '=': case ':': case '@':
        return true;
    default:
        return false;
    }
}
// ASCII characters a part name may carry unencoded; most names are ASCII.
constexpr std::array<bool, 128> ASCII_ALLOWED = [] {
    std::array<bool, 128> t{};
    for (char32_t c = 0; c < 128; ++c) t[c] = is_unreserved(c) || is_sub_delim_or_extra(c);
    return t;
}();

// Characters an IRI may carry unencoded beyond ASCII (RFC 3987 ucschar).
bool is_ucschar(char32_t c) noexcept {
    if ((c >= 0xA0 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFEF))
        return true;
    return c >= 0x10000 && c <= 0xEFFFD && (c & 0xFFFF) <= 0xFFFD;
}

} // namespace

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

// ---- relationships ----

const Relationship* Relationships::get(std::string_view id) const {
    const auto id_of = [this](std::size_t i) -> std::string_view {
        return i < relationships.size() ? std::string_view(relationships[i].id) : std::string_view();
    };
    if (auto i = by_id_.find(id, id_of); i && *i < relationships.size()) return &relationships[*i];
    // A value built by hand (not parsed) has no index.
    if (by_id_.empty())
        for (const auto& r : relationships)
            if (r.id == id) return &r;
    return nullptr;
}

Relationships::Relationships(const Relationships& other)
    : source(other.source), relationships(other.relationships), duplicate_ids(other.duplicate_ids),
      defects(other.defects), wrong_root(other.wrong_root), strict_root(other.strict_root),
      transitional_root(other.transitional_root), by_id_(other.by_id_), texts_(other.texts_) {
    // Views of `other`'s texts are moved to the copy's; views elsewhere (of
    // a relationship built by hand) stay.
    const char* const from = other.texts_.data();
    const auto here = [&](std::string_view there) {
        const std::less_equal<const char*> le;
        const bool inside = there.data() != nullptr && le(from, there.data()) &&
                            le(there.data() + there.size(), from + other.texts_.size());
        if (!inside) return there;
        return std::string_view(texts_.data() + (there.data() - from), there.size());
    };
    for (Relationship& r : relationships) {
        r.id = here(r.id);
        r.type = here(r.type);
        r.target = here(r.target);
    }
}

Relationships& Relationships::operator=(const Relationships& other) {
    if (this != &other) *this = Relationships(other);
    return *this;
}

std::expected<Relationships, xml::XmlError> Relationships::parse(std::string source, std::string_view text) {
    Relationships out;
    out.source = std::move(source);
    out.relationships.reserve(SMALL_RELS);
    // The texts are gathered end to end, which moves them as the buffer
    // grows: each relationship's are kept as offsets until the end.
    struct Texts {
        std::size_t at[3], n[3];
    };
    std::vector<Texts> texts;
    texts.reserve(SMALL_RELS);
    // The values take most of a part's text: room for all of it at once.
    out.texts_.reserve(text.size());
    xml::Reader reader(text);
    std::string scratch;
    auto child = [&](xml::Reader& r, const xml::Start& s) -> xml::Status {
        if (s.name.local != "Relationship") {
            out.defects.push_back({REL_UNEXPECTED, s.offset});
            return {};
        }
        // One pass over the attributes instead of a search per name; the
        // first of a name counts, as a search would find it.
        std::optional<std::string_view> id, type, target, mode, other;
        for (xml::Attrs it(r, s); auto a = it.next();) {
            if (a->ns != xml::ns::NONE) continue;
            const std::string_view local = a->name.local;
            auto& slot = local == "Id" ? id : local == "Type" ? type : local == "Target" ? target
                       : local == "TargetMode" ? mode : other;
            if (!slot) slot = a->value;
        }
        if (!id || !type || !target) {
            out.defects.push_back({REL_WITHOUT_FIELDS, s.offset});
            return {};
        }
        bool external = false;
        if (mode) {
            const std::string_view m = xml::attr_value(*mode, scratch);
            if (m == "External") external = true;
            else if (m != "Internal") out.defects.push_back({BAD_TARGET_MODE, s.offset});
        }
        Texts& t = texts.emplace_back();
        const std::string_view* raw[3] = {&*id, &*type, &*target};
        for (int k = 0; k < 3; ++k) {
            const std::string_view v = xml::attr_value(*raw[k], scratch);
            t.at[k] = out.texts_.size();
            t.n[k] = v.size();
            out.texts_.insert(out.texts_.end(), v.begin(), v.end());
        }
        out.relationships.push_back(Relationship{{}, {}, {}, s.offset, external});
        return {};
    };
    std::pair<bool, bool> forms;
    if (auto st = walk_root(reader, out.wrong_root, xml::ns::PKG_REL, "Relationships", child, &forms); !st)
        return std::unexpected(st.error());
    out.strict_root = forms.first;
    out.transitional_root = forms.second;
    for (std::size_t i = 0; i < out.relationships.size(); ++i) {
        const Texts& t = texts[i];
        Relationship& r = out.relationships[i];
        r.id = std::string_view(out.texts_.data() + t.at[0], t.n[0]);
        r.type = std::string_view(out.texts_.data() + t.at[1], t.n[1]);
        r.target = std::string_view(out.texts_.data() + t.at[2], t.n[2]);
    }
    const auto& rels = out.relationships;
    if (rels.size() > SMALL_RELS) {
        out.by_id_.build(
            rels.size(), [&](std::size_t i) -> std::string_view { return rels[i].id; },
            [&](std::size_t i) { out.duplicate_ids.push_back(i); });
    } else {
        // A few relationships (most parts have) are searched in order by
        // `get`, as cheaply as hashing them.
        for (std::size_t i = 1; i < rels.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (rels[j].id == rels[i].id) {
                    out.duplicate_ids.push_back(i);
                    break;
                }
    }
    return out;
}

// ---- content types ----

std::optional<std::string_view> ContentTypes::content_type_of(std::string_view part_name) const {
    const auto override_key = [this](std::size_t i) -> std::string_view { return overrides[i].first; };
    if (auto i = override_by_name_.find(part_name, override_key)) return overrides[*i].second;
    const std::size_t slash = part_name.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? part_name : part_name.substr(slash + 1);
    const std::size_t dot = last.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const auto default_key = [this](std::size_t i) -> std::string_view { return defaults[i].first; };
    if (auto i = default_by_ext_.find(last.substr(dot + 1), default_key)) return defaults[*i].second;
    return std::nullopt;
}

std::expected<ContentTypes, xml::XmlError> ContentTypes::parse(std::string_view text) {
    ContentTypes out;
    xml::Reader reader(text);
    auto child = [&](xml::Reader& r, const xml::Start& s) -> xml::Status {
        const bool is_default = s.name.local == "Default";
        if (!is_default && s.name.local != "Override") {
            out.defects.push_back({CT_UNEXPECTED, s.offset});
            return {};
        }
        auto key = r.attr(s, xml::ns::NONE, is_default ? "Extension" : "PartName");
        auto type = r.attr(s, xml::ns::NONE, "ContentType");
        if (!key || !type) {
            out.defects.push_back({is_default ? DEFAULT_WITHOUT_FIELDS : OVERRIDE_WITHOUT_FIELDS, s.offset});
            return {};
        }
        auto& list = is_default ? out.defaults : out.overrides;
        list.emplace_back(std::move(*key), std::move(*type));
        return {};
    };
    if (auto st = walk_root(reader, out.wrong_root, xml::ns::CONTENT_TYPES, "Types", child); !st)
        return std::unexpected(st.error());
    // The first of equal keys counts; later ones are recorded in order.
    const auto& defaults = out.defaults;
    const auto& overrides = out.overrides;
    out.default_by_ext_.build(
        defaults.size(), [&](std::size_t i) -> std::string_view { return defaults[i].first; },
        [&](std::size_t i) { out.duplicate_defaults.push_back(i); });
    out.override_by_name_.build(
        overrides.size(), [&](std::size_t i) -> std::string_view { return overrides[i].first; },
        [&](std::size_t i) { out.duplicate_overrides.push_back(i); });
    return out;
}

// ---- part names ----

std::string PartNameError::message() const {
    switch (kind_) {
    case Kind::empty: return "empty part name";
    case Kind::no_leading_slash: return "part name does not start with '/'";
    case Kind::empty_segment: return "empty segment";
    case Kind::trailing_slash: return "trailing '/'";
    case Kind::segment_ends_with_dot: return "segment ends with '.'";
    case Kind::must_percent_encode:
        return "character " + encoding::quoted_char(char_) + " must be percent-encoded";
    case Kind::bad_percent: return "'%' not followed by two hex digits";
    case Kind::percent_encoded_slash: return "percent-encoded slash";
    case Kind::percent_encoded_unreserved: return "percent-encoded unreserved character";
    }
    return {};
}

std::optional<PartNameError> check_part_name(std::string_view name) {
    using K = PartNameError::Kind;
    if (name.empty()) return PartNameError(K::empty);
    if (name[0] != '/') return PartNameError(K::no_leading_slash);
    std::size_t pos = 1;
    for (;;) {
        const std::size_t slash = name.find('/', pos);
        const std::size_t end = slash == std::string_view::npos ? name.size() : slash;
        if (end == pos) return PartNameError(end == name.size() ? K::trailing_slash : K::empty_segment);
        std::size_t i = pos;
        while (i < end) {
            const char b = name[i];
            if (b == '%') {
                if (end - i < 3 || !is_hex(name[i + 1]) || !is_hex(name[i + 2]))
                    return PartNameError(K::bad_percent);
                const auto v = static_cast<char32_t>(hex_value(name[i + 1]) * 16 + hex_value(name[i + 2]));
                if (v == '/' || v == '\\') return PartNameError(K::percent_encoded_slash);
                if (is_unreserved(v)) return PartNameError(K::percent_encoded_unreserved);
                i += 3;
                continue;
            }
            if (static_cast<unsigned char>(b) < 0x80) {
                if (!ASCII_ALLOWED[static_cast<unsigned char>(b)])
                    return PartNameError(K::must_percent_encode, static_cast<char32_t>(b));
                ++i;
                continue;
            }
            const std::string_view segment = name.substr(0, end);
            const char32_t c = encoding::next_utf8(segment, i);
            if (!is_unreserved(c) && !is_sub_delim_or_extra(c) && !is_ucschar(c))
                return PartNameError(K::must_percent_encode, c);
        }
        if (name[end - 1] == '.') return PartNameError(K::segment_ends_with_dot);
        if (slash == std::string_view::npos) return std::nullopt;
        pos = slash + 1;
    }
}

void rels_part_name_into(std::string_view source, std::string& out) {
    if (source.empty() || source == "/") {
        out = "/_rels/.rels";
        return;
    }
    const std::size_t slash = source.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? std::string_view{} : source.substr(0, slash);
    const std::string_view file = slash == std::string_view::npos ? source : source.substr(slash + 1);
    out.clear();
    out.reserve(source.size() + 12);
    out.append(folder).append("/_rels/").append(file).append(".rels");
}

std::string rels_part_name(std::string_view source) {
    std::string out;
    rels_part_name_into(source, out);
    return out;
}

bool is_rels_part_name(std::string_view name) noexcept {
    if (name == "/_rels/.rels") return true;
    constexpr std::string_view EXT = ".rels";
    constexpr std::string_view DIR = "/_rels";
    const std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view file = name.substr(slash + 1);
    return file.size() > EXT.size() && file.ends_with(EXT) && name.substr(0, slash).ends_with(DIR);
}

std::optional<std::string> source_of_rels(std::string_view name) {
    if (name == "/_rels/.rels") return std::string("/");
    if (!is_rels_part_name(name)) return std::nullopt;
    constexpr std::string_view EXT = ".rels";
    constexpr std::string_view DIR = "/_rels";
    const std::size_t slash = name.rfind('/');
    const std::string_view file = name.substr(slash + 1);
    const std::string_view folder_rels = name.substr(0, slash);
    std::string out(folder_rels.substr(0, folder_rels.size() - DIR.size()));
    out += '/';
    out.append(file.substr(0, file.size() - EXT.size()));
    return out;
}

namespace {

// Appends the segments of `path` to `out`, each as "/segment", dropping
// empty and "." segments and letting ".." remove the last one kept.
void push_segments(std::string& out, std::string_view path, bool backslash_separates) {
    // Backslashes are rare: without one, segments end at the next "/" alone.
    const bool backslashes = backslash_separates && path.find('\\') != std::string_view::npos;
    for (std::size_t pos = 0; pos <= path.size();) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        if (backslashes) end = std::min(end, std::min(path.find('\\', pos), path.size()));
        const std::string_view seg = path.substr(pos, end - pos);
        if (seg == "..") {
            const std::size_t cut = out.rfind('/');
            out.resize(cut == std::string::npos ? 0 : cut);
        } else if (!seg.empty() && seg != ".") {
            out += '/';
            out += seg;
        }
        pos = end + 1;
    }
}

} // namespace

void resolve_target_into(std::string_view source, std::string_view target, std::string& out) {
    // A backslash in the target separates segments as "/" does.
    std::size_t cut = 0;
    while (cut < target.size() && target[cut] != '?' && target[cut] != '#') ++cut;
    const std::string_view t = target.substr(0, cut);
    const bool absolute = !t.empty() && (t[0] == '/' || t[0] == '\\');
    out.clear();
    out.reserve(source.size() + t.size() + 1);
    std::string_view base; // what the target's path is joined to
    if (t.empty() && cut < target.size()) {
        // Only a query or a fragment ("#_ftn1", a jump within the part):
        // a reference with an empty path is its base, the source itself.
        base = source;
    } else if (!absolute) {
        const std::size_t slash = source.rfind('/');
        if (slash != std::string_view::npos) base = source.substr(0, slash + 1);
    }
    if (!base.empty()) push_segments(out, base, false);
    push_segments(out, t, true);
    if (out.empty()) out = "/";
}

std::string resolve_target(std::string_view source, std::string_view target) {
    std::string out;
    resolve_target_into(source, target, out);
    return out;
}

} // namespace vantrell_core::opc
