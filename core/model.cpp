#include "core/model.h"

#include <array>
#include <string_view>

#include "core/encoding.h"

namespace vantrell_core::model {

namespace {

constexpr std::array<const char*, 17> PLACEHOLDER_NAMES{
    "title", "body", "ctrTitle", "subTitle", "dt",   "sldNum", "ftr", "hdr",   "obj",
    "chart", "tbl",  "clipArt",  "dgm",      "media", "pic",   "sldImg", "other",
};

constexpr std::array<const char*, std::variant_size_v<Content>> KIND_NAMES{
    "text", "picture", "group", "table", "chart", "diagram", "ole", "connector", "content_part", "unknown",
};

} // namespace

const Bullet NO_BULLET{Bullet::Kind::none, {}, 1};
const Bullet CHARACTER_BULLET{Bullet::Kind::character, "\u2022", 1};

const Bullet& legacy_bullet(const Paragraph& paragraph, const ListStyle* inherited, bool body_or_content) noexcept {
    if (paragraph.bullet.kind != Bullet::Kind::inherited) return paragraph.bullet;
    if (inherited)
        if (const Bullet* b = inherited->at(paragraph.level)) return *b;
    return body_or_content ? CHARACTER_BULLET : NO_BULLET;
}

PlaceholderKind PlaceholderKind::parse(std::string_view text) noexcept {
    for (std::size_t i = 0; i + 1 < PLACEHOLDER_NAMES.size(); ++i) {
        if (text == PLACEHOLDER_NAMES[i]) return static_cast<Value>(i);
    }
    return other;
}

const char* PlaceholderKind::name() const noexcept {
    return value_ < PLACEHOLDER_NAMES.size() ? PLACEHOLDER_NAMES[value_] : "other";
}

const char* kind_name(const Content& content) noexcept { return KIND_NAMES[content.index()]; }

void Paragraph::append_text(std::string& out) const {
    for (const Run& r : runs) {
        if (r.kind == Run::Kind::line_break) out += '\n';
        else out += r.text;
    }
}

std::string Paragraph::text() const {
    std::string out;
    append_text(out);
    return out;
}

void write_text(const std::vector<Paragraph>& paragraphs, std::string& out) {
    bool first = true;
    for (const Paragraph& p : paragraphs) {
        if (!first) out += '\n';
        first = false;
        p.append_text(out);
    }
}

std::string TextBody::text() const {
    std::string out;
    write_text(out);
    return out;
}

std::uint64_t held_nbytes(const Shape& shape) noexcept {
    std::uint64_t nbytes = 0;
    if (const TextBody* body = shape.text_body())
        for (const Paragraph& p : body->paragraphs)
            for (const Run& r : p.runs) nbytes += r.text.size() + 1;
    return nbytes;
}

Walk::Walk(const std::vector<Shape>& shapes) {
    stack_.reserve(shapes.size());
    for (auto it = shapes.rbegin(); it != shapes.rend(); ++it) stack_.push_back(&*it);
}

const Shape* Walk::next() {
    if (stack_.empty()) return nullptr;
    const Shape* s = stack_.back();
    stack_.pop_back();
    if (const Group* g = s->group()) {
        for (auto it = g->children.rbegin(); it != g->children.rend(); ++it) stack_.push_back(&*it);
    }
    return s;
}

std::optional<std::string> SlideContent::title() const {
    for (Walk w(shapes); const Shape* s = w.next();) {
        if (!s->placeholder) continue;
        const PlaceholderKind k = s->placeholder->kind;
        if (k != PlaceholderKind::title && k != PlaceholderKind::ctrTitle) continue;
        const TextBody* body = s->text_body();
        if (!body) return std::nullopt;
        std::string text = body->text();
        if (encoding::is_blank(text)) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

namespace {

// A page number: slide-number fields with nothing but white space and line
// breaks around them. Notes pages put one in a text box as often as in a
// slide-number placeholder.
bool is_page_number(const TextBody& body) noexcept {
    bool field = false;
    for (const Paragraph& p : body.paragraphs)
        for (const Run& r : p.runs) {
            switch (r.kind) {
            case Run::Kind::line_break:
                break;
            case Run::Kind::field:
                if (r.field_type != "slidenum") return false;
                field = true;
                break;
            case Run::Kind::text:
                if (!encoding::is_blank(r.text)) return false;
                break;
            }
        }
    return field;
}

} // namespace

std::vector<const TextBody*> SlideContent::notes_bodies() const {
    std::vector<const TextBody*> out;
    std::string text;
    for (Walk w(shapes); const Shape* s = w.next();) {
        const TextBody* body = s->text_body();
        if (!body) continue;
        if (s->placeholder) {
            switch (s->placeholder->kind.value()) {
            case PlaceholderKind::sldImg:
            case PlaceholderKind::sldNum:
            case PlaceholderKind::dt:
            case PlaceholderKind::ftr:
            case PlaceholderKind::hdr:
                continue;
            default:
                break;
            }
        }
        text.clear();
        body->write_text(text);
        if (encoding::is_blank(text, encoding::Space::xml) || is_page_number(*body)) continue;
        out.push_back(body);
    }
    return out;
}

std::string SlideContent::notes_text() const {
    std::string out;
    for (const TextBody* body : notes_bodies()) {
        if (!out.empty()) out += '\n';
        body->write_text(out);
    }
    return out;
}

} // namespace vantrell_core::model
