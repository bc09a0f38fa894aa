#include "core/ppt.h"

#include "core/document.h"
#include "core/encoding.h"
#include "core/markdown.h"
#include "core/text.h"
#include "core/zip.h"
#include "corpus.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace cfb = vantrell_core::cfb;
namespace model = vantrell_core::model;
namespace ppt = vantrell_core::ppt;
using Bytes = std::vector<std::uint8_t>;

namespace {

// ---------------------------------------------------------------------------
// Record streams built field by field.

void le16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void le32(Bytes& b, std::uint32_t v) {
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}
void set32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A record: header (version, instance, type, length) then body.
Bytes rec(std::uint16_t type, const Bytes& body, std::uint16_t instance = 0, std::uint16_t ver = 0) {
    Bytes out;
    le16(out, static_cast<std::uint32_t>(ver | (instance << 4)));
    le16(out, type);
    le32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes box(std::uint16_t type, std::initializer_list<Bytes> kids, std::uint16_t instance = 0) {
    return rec(type, cat(kids), instance, 0xF);
}
Bytes words32(std::initializer_list<std::uint32_t> v) {
    Bytes out;
    for (auto x : v) le32(out, x);
    return out;
}
Bytes utf16(std::u16string_view s) {
    Bytes out;
    for (char16_t c : s) le16(out, c);
    return out;
}
Bytes latin1(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes text_header(std::uint32_t type) { return rec(0x0F9F, words32({type})); }
Bytes chars(std::u16string_view s) { return rec(0x0FA0, utf16(s)); }
Bytes bytes_atom(std::string_view s) { return rec(0x0FA8, latin1(s)); }

// OfficeArtFSP: shape type in the instance, then spid and flags.
Bytes fsp(std::uint32_t spid, std::uint32_t flags, std::uint16_t shape_type = 1) {
    return rec(0xF00A, words32({spid, flags}), shape_type, 2);
}
struct Prop {
    std::uint16_t id;
    std::uint32_t value;
    Bytes complex = {};
};
Bytes fopt(const std::vector<Prop>& props, std::uint16_t type = 0xF00B) {
    Bytes entries, data;
    std::uint16_t n = 0;
    for (const auto& p : props) {
        ++n;
        if (p.complex.empty()) {
            le16(entries, p.id);
            le32(entries, p.value);
        } else {
            le16(entries, p.id | 0x8000);
            le32(entries, static_cast<std::uint32_t>(p.complex.size()));
            data.insert(data.end(), p.complex.begin(), p.complex.end());
        }
    }
    return rec(type, cat({entries, data}), n, 3);
}
Bytes wz(std::u16string_view s) { return cat({utf16(s), Bytes{0, 0}}); }
// ClientAnchor as four 16-bit values: top, left, right, bottom (master units).
Bytes client_anchor(std::int16_t top, std::int16_t left, std::int16_t right, std::int16_t bottom) {
    Bytes b;
    for (auto v : {top, left, right, bottom}) le16(b, static_cast<std::uint16_t>(v));
    return rec(0xF010, b);
}
Bytes ltrb(std::uint16_t type, std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t bottom) {
    return rec(type, words32({static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(t),
                              static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(bottom)}),
               0, type == 0xF009 ? 1 : 0);
}
Bytes placeholder(std::uint8_t placement, std::int32_t position = -1) {
    Bytes b = words32({static_cast<std::uint32_t>(position)});
    b.insert(b.end(), {placement, 0, 0, 0});
    return box(0xF011, {rec(0x0BC3, b)});
}
Bytes outline_ref(std::int32_t index) {
    return box(0xF00D, {rec(0x0F9E, words32({static_cast<std::uint32_t>(index)}))});
}
Bytes inline_text(std::u16string_view s) { return box(0xF00D, {text_header(4), chars(s)}); }
Bytes sp(std::initializer_list<Bytes> kids) { return box(0xF004, kids); }
Bytes patriarch() { return sp({ltrb(0xF009, 0, 0, 0, 0), fsp(1024, 0x005, 0)}); }
Bytes drawing(std::initializer_list<Bytes> shapes) {
    Bytes spgr = patriarch();
    for (const auto& s : shapes) spgr.insert(spgr.end(), s.begin(), s.end());
    return box(0x040C, {box(0xF002, {rec(0xF008, words32({2, 0}), 1), rec(0xF003, spgr, 0, 0xF)})});
}
// SlideAtom: layout, placeholder types, master id, notes id, flags.
Bytes slide_atom(std::uint32_t notes_id = 0) {
    Bytes b = words32({1, 0, 0, 0x80000000, notes_id});
    le32(b, 0);
    return rec(0x03EF, b, 0, 2);
}
Bytes persist_atom(std::uint32_t persist_id, std::uint32_t ident) {
    return rec(0x03F3, words32({persist_id, 0, 0, ident, 0}));
}
Bytes document_atom(std::int32_t cx, std::int32_t cy, std::int16_t first_number = 1) {
    Bytes b = words32({static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy), 4320, 5760, 1, 2, 0, 0});
    le16(b, static_cast<std::uint16_t>(first_number));
    le16(b, 0);  // on-screen size
    b.insert(b.end(), {0, 0, 0, 0});
    return rec(0x03E9, b, 0, 1);
}
Bytes fbse(std::uint8_t blip_type, std::uint32_t size, std::uint32_t offset) {
    Bytes b{blip_type, blip_type};
    b.resize(18, 0x11);  // UID
    le16(b, 0xFF);
    le32(b, size);
    le32(b, 1);  // reference count
    le32(b, offset);
    b.insert(b.end(), {0, 0, 0, 0});
    return rec(0xF007, b, blip_type, 2);
}
// A PNG blip record: one UID, the tag byte, then the file.
Bytes png_blip(const Bytes& png) {
    Bytes b(16, 0x11);
    b.push_back(0xFF);
    b.insert(b.end(), png.begin(), png.end());
    return rec(0xF01E, b, 0x6E0);
}
Bytes user_edit(std::uint32_t last_edit, std::uint32_t directory, std::uint32_t doc_ref,
                std::optional<std::uint32_t> crypt_ref = std::nullopt) {
    Bytes b = words32({0, 0x03000000 | 0x1599, last_edit, directory, doc_ref, 8});
    le16(b, 1);
    le16(b, 0);
    if (crypt_ref) le32(b, *crypt_ref);
    return rec(0x0FF5, b);
}
Bytes persist_dir(std::uint32_t first_id, std::initializer_list<std::uint32_t> offsets) {
    Bytes b = words32({first_id | (static_cast<std::uint32_t>(offsets.size()) << 20)});
    for (auto o : offsets) le32(b, o);
    return rec(0x1772, b);
}
Bytes current_user(std::uint32_t edit_offset, std::uint32_t token = 0xE391C05F) {
    Bytes b = words32({0x14, token, edit_offset});
    le16(b, 0);       // user name length
    le16(b, 0x03F4);  // file version
    b.insert(b.end(), {3, 0, 0, 0});
    le32(b, 8);
    return rec(0x0FF6, b);
}

// Bullet flags, bullet character and the mask bits naming them.
constexpr std::uint32_t PF_HAS_BULLET = 0x01, PF_BULLET_HAS_FONT = 0x02, PF_CHAR = 0x80;

// One paragraph run: character count, indent level, mask, then the fields
// the mask selects, already in stored order.
Bytes pf_run(std::uint32_t nchars, std::uint16_t level, std::uint32_t mask, const Bytes& fields = {}) {
    Bytes b = words32({nchars});
    le16(b, level);
    le32(b, mask);
    return cat({b, fields});
}
Bytes halves(std::initializer_list<std::uint16_t> v) {
    Bytes out;
    for (auto x : v) le16(out, x);
    return out;
}
// One character run over `nchars`, mask 0: what follows the paragraph runs.
Bytes cf_run(std::uint32_t nchars) { return cat({words32({nchars}), words32({0})}); }
Bytes style(const Bytes& body) { return rec(0x0FA1, body); }

Bytes cstring(std::uint16_t instance, std::u16string_view s) { return rec(0x0FBA, utf16(s), instance); }
// ExOleObjAtom: draw aspect, type, object id, sub-type, persist id, unused.
Bytes ole_atom(std::uint32_t id) { return rec(0x0FC3, words32({1, 0, id, 3, 0, 0}), 0, 1); }

const Bytes PNG = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3, 4, 5};
const Bytes PNG2 = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 9, 9, 9};

// A small deck with the layout PowerPoint writes: document container,
// slide containers, then the persist directory and the user edit. Every
// offset the tests damage is kept.
struct Deck1 {
    Bytes doc, user, pictures;
    std::uint32_t doc_at = 0, slide_at = 0, notes_at = 0, dir_at = 0, edit_at = 0;

    static Bytes slide_record(std::u16string_view group_text) {
        Bytes title = sp({fsp(2050, 0xA00), client_anchor(100, 200, 5000, 800), placeholder(0x0D, 0), outline_ref(0)});
        Bytes body = sp({fsp(2051, 0xA00), fopt({{0x0380, 0, wz(u"Body 2")}}), client_anchor(1000, 200, 5000, 4000),
                         placeholder(0x0E, 1), outline_ref(1)});
        Bytes pic = sp({fsp(2052, 0xA00, 75), fopt({{0x4104, 2}}), client_anchor(0, 0, 576, 576)});
        Bytes hidden = sp({fsp(2053, 0xA00, 202), fopt({{0x03BF, 0x00020002}}), client_anchor(0, 0, 10, 10),
                           inline_text(u"secret")});
        // A group whose child space 0..100 maps onto 576..1152 master units.
        Bytes group = box(0xF003, {sp({ltrb(0xF009, 0, 0, 100, 100), fsp(2054, 0x201), client_anchor(576, 576, 1152, 1152)}),
                                   sp({fsp(2055, 0x202, 202), ltrb(0xF00F, 50, 50, 100, 100), inline_text(group_text)})});
        return box(0x03EE, {slide_atom(7), drawing({title, body, pic, hidden, group})});
    }

    static Deck1 make() {
        Deck1 d;
        Bytes slide_list = box(0x0FF0, {persist_atom(2, 256), text_header(0), chars(u"Hello \U0001F600"),
                                        text_header(1), bytes_atom("Caf\xE9\rline\x0Bnext\r"),
                                        style(cat({pf_run(4, 0, PF_HAS_BULLET | PF_CHAR, halves({1, '-'})),
                                                   pf_run(12, 1, 0x100000, cat({halves({1}), words32({576})})),
                                                   cf_run(16)}))},
                               0);
        Bytes notes_list = box(0x0FF0, {persist_atom(3, 7)}, 2);
        Bytes bstore = box(0xF001, {fbse(6, static_cast<std::uint32_t>(PNG.size() + 25), 0),
                                    fbse(6, static_cast<std::uint32_t>(PNG2.size() + 25),
                                         static_cast<std::uint32_t>(PNG.size() + 25))},
                           2);
        Bytes objects = box(0x0409, {box(0x0FCC, {ole_atom(1), cstring(2, u"Excel.Sheet.8")})});
        Bytes doc_rec = box(0x03E8, {document_atom(5760, 4320), objects, box(0x040B, {box(0xF000, {bstore})}), slide_list,
                                     notes_list, rec(0x03EA, {})});
        d.doc_at = 0;
        d.doc = doc_rec;
        d.slide_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes s = slide_record(u"grouped");
        d.doc.insert(d.doc.end(), s.begin(), s.end());
        d.notes_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes notes = box(0x03F0, {rec(0x03F1, words32({256, 0}), 0, 1),
                                   drawing({sp({fsp(3000, 0xA00), placeholder(0x0B)}),
                                            sp({fsp(3001, 0xA00), placeholder(0x0C), inline_text(u"speak\rslowly")})})});
        d.doc.insert(d.doc.end(), notes.begin(), notes.end());
        d.dir_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes dir = persist_dir(1, {d.doc_at, d.slide_at, d.notes_at});
        d.doc.insert(d.doc.end(), dir.begin(), dir.end());
        d.edit_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes edit = user_edit(0, d.dir_at, 1);
        d.doc.insert(d.doc.end(), edit.begin(), edit.end());
        d.user = current_user(d.edit_at);
        d.pictures = cat({png_blip(PNG), png_blip(PNG2)});
        return d;
    }

    // Appends a second edit that replaces the slide with one whose group
    // text differs, as an incremental save does.
    void save_again(std::u16string_view group_text, std::uint32_t last_edit) {
        const auto new_slide = static_cast<std::uint32_t>(doc.size());
        Bytes s = slide_record(group_text);
        doc.insert(doc.end(), s.begin(), s.end());
        const auto dir = static_cast<std::uint32_t>(doc.size());
        Bytes d = persist_dir(2, {new_slide});
        doc.insert(doc.end(), d.begin(), d.end());
        edit_at = static_cast<std::uint32_t>(doc.size());
        Bytes e = user_edit(last_edit, dir, 1);
        doc.insert(doc.end(), e.begin(), e.end());
        user = current_user(edit_at);
    }

    auto open() const { return ppt::Deck::from_streams(user, doc, pictures); }
};

std::string all_text(const model::SlideContent& c) {
    std::string out;
    for (const auto& sh : c.walk()) {
        if (const auto* b = sh.text_body()) {
            b->write_text(out);
            out += '\n';
        }
        if (const auto* t = sh.table())
            for (const auto& r : t->rows)
                for (const auto& cell : r.cells) {
                    model::write_text(cell.paragraphs, out);
                    out += '\n';
                }
    }
    return out;
}

const model::Shape* shape_by_id(const model::SlideContent& c, std::uint32_t id) {
    for (const auto& sh : c.walk())
        if (sh.id == id) return &sh;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Compound files: every stream below 4096 bytes in the mini stream, the rest
// in regular sectors; a storage's children chained through right siblings.
struct Cfb {
    struct Node {
        std::u16string name;
        std::uint8_t type;
        std::size_t parent;
        Bytes data;
    };
    std::vector<Node> nodes{{u"Root Entry", 5, 0, {}}};

    std::size_t storage(std::u16string name, std::size_t parent = 0) {
        nodes.push_back({std::move(name), 1, parent, {}});
        return nodes.size() - 1;
    }
    void stream(std::u16string name, Bytes data, std::size_t parent = 0) {
        nodes.push_back({std::move(name), 2, parent, std::move(data)});
    }

    Bytes build() const {
        constexpr std::size_t ss = 512;
        std::vector<Bytes> sectors;
        std::vector<std::uint32_t> fat;
        auto alloc = [&](const Bytes& data) -> std::uint32_t {
            if (data.empty()) return cfb::ENDOFCHAIN;
            const auto first = static_cast<std::uint32_t>(sectors.size());
            for (std::size_t at = 0; at < data.size(); at += ss) {
                Bytes s(ss, 0);
                std::copy_n(data.begin() + static_cast<long>(at), std::min(ss, data.size() - at), s.begin());
                sectors.push_back(std::move(s));
                fat.push_back(static_cast<std::uint32_t>(sectors.size()));
            }
            fat.back() = cfb::ENDOFCHAIN;
            return first;
        };
        std::vector<std::uint32_t> start(nodes.size(), cfb::ENDOFCHAIN);
        Bytes mini, minifat;
        for (std::size_t i = 1; i < nodes.size(); ++i) {
            const Bytes& d = nodes[i].data;
            if (nodes[i].type != 2 || d.empty()) continue;
            if (d.size() >= 4096) {
                start[i] = alloc(d);
                continue;
            }
            const auto first = static_cast<std::uint32_t>(mini.size() / 64);
            mini.insert(mini.end(), d.begin(), d.end());
            mini.resize((mini.size() + 63) / 64 * 64, 0);
            const auto last = static_cast<std::uint32_t>(mini.size() / 64);
            for (std::uint32_t m = first; m < last; ++m) le32(minifat, m + 1 == last ? cfb::ENDOFCHAIN : m + 1);
            start[i] = first;
        }
        const std::uint32_t mini_start = alloc(mini);
        minifat.resize((minifat.size() + ss - 1) / ss * ss, 0xFF);
        const std::uint32_t minifat_start = alloc(minifat);

        Bytes dir((nodes.size() * 128 + ss - 1) / ss * ss, 0);
        for (std::size_t i = 0; i < dir.size() / 128; ++i)
            for (std::size_t f : {0x44, 0x48, 0x4C}) set32(dir, i * 128 + f, cfb::NOSTREAM);
        std::vector<std::uint32_t> first_child(nodes.size(), cfb::NOSTREAM), right(nodes.size(), cfb::NOSTREAM);
        for (std::size_t i = nodes.size(); i-- > 1;) {
            right[i] = first_child[nodes[i].parent];
            first_child[nodes[i].parent] = static_cast<std::uint32_t>(i);
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const std::size_t at = i * 128;
            const auto& n = nodes[i];
            for (std::size_t k = 0; k < n.name.size(); ++k) {
                dir[at + 2 * k] = static_cast<std::uint8_t>(n.name[k]);
                dir[at + 2 * k + 1] = static_cast<std::uint8_t>(n.name[k] >> 8);
            }
            dir[at + 0x40] = static_cast<std::uint8_t>((n.name.size() + 1) * 2);
            dir[at + 0x42] = n.type;
            dir[at + 0x43] = 1;
            set32(dir, at + 0x48, right[i]);
            set32(dir, at + 0x4C, n.type == 2 ? cfb::NOSTREAM : first_child[i]);
            set32(dir, at + 0x74, i == 0 ? mini_start : start[i]);
            set32(dir, at + 0x78, static_cast<std::uint32_t>(i == 0 ? mini.size() : n.data.size()));
        }
        const std::uint32_t dir_start = alloc(dir);

        std::size_t nfat = 1;
        while ((sectors.size() + nfat) > nfat * (ss / 4)) ++nfat;
        const auto fat_first = static_cast<std::uint32_t>(sectors.size());
        for (std::size_t i = 0; i < nfat; ++i) {
            fat.push_back(cfb::FATSECT);
            sectors.emplace_back(ss, 0);
        }
        fat.resize(nfat * (ss / 4), cfb::FREESECT);
        for (std::size_t i = 0; i < fat.size(); ++i) set32(sectors[fat_first + i / (ss / 4)], (i % (ss / 4)) * 4, fat[i]);

        Bytes out(ss, 0);
        const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::copy_n(sig, 8, out.begin());
        out[0x18] = 0x3E;
        out[0x1A] = 3;
        out[0x1C] = 0xFE;
        out[0x1D] = 0xFF;
        out[0x1E] = 9;
        out[0x20] = 6;
        set32(out, 0x2C, static_cast<std::uint32_t>(nfat));
        set32(out, 0x30, dir_start);
        set32(out, 0x38, 4096);
        set32(out, 0x3C, minifat_start);
        set32(out, 0x40, static_cast<std::uint32_t>(minifat.size() / ss));
        set32(out, 0x44, cfb::ENDOFCHAIN);
        for (std::size_t i = 0; i < 109; ++i)
            set32(out, 0x4C + 4 * i, i < nfat ? static_cast<std::uint32_t>(fat_first + i) : cfb::FREESECT);
        for (const auto& s : sectors) out.insert(out.end(), s.begin(), s.end());
        return out;
    }
};

vantrell_core::Result<std::shared_ptr<const ppt::Deck>> open_cfb(const Cfb& c) {
    auto file = cfb::Compound::parse(c.build());
    if (!file) return std::unexpected(file.error());
    return ppt::Deck::open(*file);
}

} // namespace

// ---------------------------------------------------------------------------

TEST(PptDeck, ReadsSlideTextShapesAndSize) {
    const Deck1 d = Deck1::make();
    auto deck = d.open();
    ASSERT_TRUE(deck) << deck.error().message();
    ASSERT_EQ((*deck)->slide_count(), 1u);
    // 5760 x 4320 master units is 10 x 7.5 inches.
    EXPECT_EQ((*deck)->slide_size().cx, 9144000);
    EXPECT_EQ((*deck)->slide_size().cy, 6858000);
    EXPECT_EQ((*deck)->slide_size_type(), "screen4x3");
    EXPECT_EQ((*deck)->slide_id(0), 256u);

    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->root, model::SlideContent::Root::slide);
    EXPECT_TRUE(s->shown);
    // Outline text referenced from the placeholders; a surrogate pair and
    // Latin-1 bytes decode to UTF-8.
    EXPECT_EQ(s->title(), "Hello \xF0\x9F\x98\x80");
    const model::Shape* body = shape_by_id(*s, 2051);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->name, "Body 2");
    ASSERT_TRUE(body->placeholder);
    EXPECT_EQ(body->placeholder->kind, model::PlaceholderKind::body);
    EXPECT_EQ(body->placeholder->idx, 1u);
    ASSERT_TRUE(body->text_body());
    const auto& paras = body->text_body()->paragraphs;
    // The final return closes "line/next" and opens nothing.
    ASSERT_EQ(paras.size(), 2u);
    EXPECT_EQ(paras[0].text(), "Caf\xC3\xA9");
    ASSERT_EQ(paras[1].runs.size(), 3u);
    EXPECT_EQ(paras[1].runs[1].kind, model::Run::Kind::line_break);
    EXPECT_EQ(paras[1].text(), "line\nnext");
    EXPECT_EQ((std::pair{paras[0].level, paras[0].bullet.text}), (std::pair{std::uint8_t{0}, std::string("-")}));
    EXPECT_EQ((std::pair{paras[1].level, paras[1].bullet.kind}), (std::pair{std::uint8_t{1}, model::Bullet::Kind::inherited}));
    // Client anchor: top, left, right, bottom in master units.
    ASSERT_TRUE(body->transform);
    EXPECT_EQ(body->transform->x, 200 * 3175 / 2);
    EXPECT_EQ(body->transform->y, 1000 * 3175 / 2);
    EXPECT_EQ(body->transform->cx, 4800 * 3175 / 2);

    const model::Shape* hidden = shape_by_id(*s, 2053);
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(hidden->hidden);
    EXPECT_TRUE(hidden->text_box);
    EXPECT_EQ(hidden->text_body()->text(), "secret");
}

TEST(PptDeck, GroupChildrenAreMappedThroughTheGroupSpace) {
    auto deck = Deck1::make().open();
    ASSERT_TRUE(deck);
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    const model::Shape* group = shape_by_id(*s, 2054);
    ASSERT_NE(group, nullptr);
    ASSERT_TRUE(group->group());
    ASSERT_EQ(group->group()->children.size(), 1u);
    const model::Shape& kid = group->group()->children[0];
    EXPECT_EQ(kid.text_body()->text(), "grouped");
    // Child space 50..100 of 0..100 is the second half of 576..1152.
    ASSERT_TRUE(kid.transform);
    EXPECT_EQ(kid.transform->x, 864 * 3175 / 2);
    EXPECT_EQ(kid.transform->cx, 288 * 3175 / 2);
}

TEST(PptDeck, ImagesListOnlyTheSlidesOwnPictures) {
    auto deck = Deck1::make().open();
    ASSERT_TRUE(deck);
    EXPECT_EQ((*deck)->picture_store().size(), 2u);
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    const auto images = (*deck)->images(*s);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].shape_id, 2052u);
    EXPECT_EQ(images[0].pib, 2u);
    EXPECT_EQ(images[0].id, "pib2");
    EXPECT_EQ(images[0].part, "/Pictures/image2.png");
    EXPECT_EQ(images[0].content_type, "image/png");
    auto bytes = (*deck)->picture_bytes(2);
    ASSERT_TRUE(bytes) << bytes.error().message();
    EXPECT_TRUE(std::ranges::equal(*bytes, PNG2));
    EXPECT_EQ((*deck)->pib_of("/Pictures/image2.png"), 2u);
    EXPECT_EQ((*deck)->pib_of("/Pictures/image2.jpeg"), std::nullopt);
    EXPECT_EQ((*deck)->pib_of("pib3"), std::nullopt);
    EXPECT_FALSE((*deck)->picture_bytes(0));
    EXPECT_FALSE((*deck)->picture_bytes(3));
}

TEST(PptDeck, NotesPageBodyText) {
    auto deck = Deck1::make().open();
    ASSERT_TRUE(deck);
    auto notes = (*deck)->notes_text(0);
    ASSERT_TRUE(notes) << notes.error().message();
    EXPECT_EQ(*notes, "speak\nslowly");
    auto page = (*deck)->notes(0);
    ASSERT_TRUE(page && *page);
    EXPECT_EQ((*page)->root, model::SlideContent::Root::notes);
    EXPECT_FALSE((*deck)->slide(1));
    EXPECT_FALSE((*deck)->notes_text(1));
}

TEST(PptDeck, HiddenSlideAndUnreferencedOutlineText) {
    Deck1 d = Deck1::make();
    // A slide with a slide-show info atom (hidden bit 2) and a drawing whose
    // shapes reference none of its outline text.
    Bytes info = words32({0, 0});
    info.insert(info.end(), {0, 0});
    le16(info, 0x0004);
    info.insert(info.end(), {0, 0, 0, 0});
    Bytes slide = box(0x03EE, {slide_atom(), rec(0x03F9, info), drawing({})});
    d.doc.resize(d.slide_at);
    const auto slide_at = static_cast<std::uint32_t>(d.doc.size());
    d.doc.insert(d.doc.end(), slide.begin(), slide.end());
    const auto dir_at = static_cast<std::uint32_t>(d.doc.size());
    Bytes dir = persist_dir(1, {0, slide_at});
    d.doc.insert(d.doc.end(), dir.begin(), dir.end());
    const auto edit_at = static_cast<std::uint32_t>(d.doc.size());
    Bytes e = user_edit(0, dir_at, 1);
    d.doc.insert(d.doc.end(), e.begin(), e.end());
    d.user = current_user(edit_at);
    auto deck = d.open();
    ASSERT_TRUE(deck) << deck.error().message();
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->shown);
    // Kept as placeholder text rather than lost.
    EXPECT_EQ(s->title(), "Hello \xF0\x9F\x98\x80");
    EXPECT_NE(all_text(*s).find("line\nnext"), std::string::npos);
    // The notes entry is gone with the old slide's atom.
    auto notes = (*deck)->notes_text(0);
    ASSERT_TRUE(notes);
    EXPECT_FALSE(*notes);
}

TEST(PptEdits, NewerEditWinsAndOlderCopiesStayDead) {
    Deck1 d = Deck1::make();
    d.save_again(u"revised", d.edit_at);
    auto deck = d.open();
    ASSERT_TRUE(deck) << deck.error().message();
    ASSERT_EQ((*deck)->slide_count(), 1u);
    EXPECT_FALSE((*deck)->recovered());
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    const std::string text = all_text(*s);
    EXPECT_NE(text.find("revised"), std::string::npos);
    EXPECT_EQ(text.find("grouped"), std::string::npos);
    // Ids only the older edit lists (the document, the notes) still resolve.
    auto notes = (*deck)->notes_text(0);
    ASSERT_TRUE(notes && *notes);
}

namespace {

// Offsets within a user edit record: the previous edit, the directory.
constexpr std::uint32_t EDIT_LAST = 8 + 0x08, EDIT_DIRECTORY = 8 + 0x0C;

// A deck of two saves, the second replacing the slide; `older` is the first
// save's edit.
struct TwoSaves {
    Deck1 d = Deck1::make();
    std::uint32_t older = d.edit_at;
    TwoSaves() { d.save_again(u"revised", older); }
    std::uint32_t newest_directory() const { return u32_at(d.doc, d.edit_at + EDIT_DIRECTORY); }
    static std::uint32_t u32_at(const Bytes& b, std::size_t at) {
        return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
    }
};

// Each slide's text, then the notes of each slide ("-" for none).
std::vector<std::string> slides_and_notes(const ppt::Deck& deck) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < deck.slide_count(); ++i) {
        auto s = deck.slide(i);
        out.push_back(s ? all_text(*s) : "error: " + s.error().message());
    }
    for (std::size_t i = 0; i < deck.slide_count(); ++i) {
        auto n = deck.notes_text(i);
        out.push_back(!n ? "error: " + n.error().message() : *n ? **n : "-");
    }
    return out;
}

} // namespace

TEST(PptRecovery, BrokenChainsLoseNoSlide) {
    const TwoSaves sound;
    auto want = sound.d.open();
    ASSERT_TRUE(want) << want.error().message();
    ASSERT_FALSE((*want)->recovered());
    const auto expected = slides_and_notes(**want);

    const struct {
        const char* what;
        void (*damage)(TwoSaves&);
    } cases[] = {
        {"link to itself", [](TwoSaves& t) { set32(t.d.doc, t.d.edit_at + EDIT_LAST, t.d.edit_at); }},
        {"link into garbage", [](TwoSaves& t) { set32(t.d.doc, t.d.edit_at + EDIT_LAST, 0xFFFFFFF0u); }},
        {"link to a record that is no edit", [](TwoSaves& t) { set32(t.d.doc, t.d.edit_at + EDIT_LAST, t.d.slide_at); }},
        {"older edit links back to the newer", [](TwoSaves& t) { set32(t.d.doc, t.older + EDIT_LAST, t.d.edit_at); }},
        {"directory past the stream", [](TwoSaves& t) { set32(t.d.doc, t.d.edit_at + EDIT_DIRECTORY, 0xFFFFFF00u); }},
        {"directory at another record", [](TwoSaves& t) { set32(t.d.doc, t.d.edit_at + EDIT_DIRECTORY, t.d.doc_at); }},
        {"directory entry claims more than it holds",
         [](TwoSaves& t) { set32(t.d.doc, t.d.dir_at + 8, 1u | (0xFFFu << 20)); }},
        {"current user names no edit", [](TwoSaves& t) { t.d.user = current_user(t.d.edit_at + 3); }},
        {"no current user", [](TwoSaves& t) { t.d.user.clear(); }},
        {"current user cut before the edit offset", [](TwoSaves& t) { t.d.user.resize(19); }},
        {"current user cut before the token", [](TwoSaves& t) { t.d.user.resize(15); }},
        // A walk over top-level records stops at the first record that
        // overruns the stream; the scan does not.
        {"no current user, first record overruns",
         [](TwoSaves& t) {
             t.d.user.clear();
             set32(t.d.doc, t.d.doc_at + 4, 0x7FFFFFF0u);
         }},
    };
    for (const auto& c : cases) {
        TwoSaves t;
        c.damage(t);
        auto deck = t.d.open();
        ASSERT_TRUE(deck) << c.what << ": " << deck.error().message();
        EXPECT_TRUE((*deck)->recovered()) << c.what;
        EXPECT_EQ(slides_and_notes(**deck), expected) << c.what;
    }
}

TEST(PptRecovery, LostRecordsAreFoundByScanning) {
    const std::string title = "Hello \xF0\x9F\x98\x80\n";
    const struct {
        const char* what;
        void (*damage)(Deck1&);
        // A piece of each slide's text, in order, and whether slide 1 has notes.
        std::vector<std::string> slides;
        bool notes;
    } cases[] = {
        // The older entries of an id stand in when the newest lead nowhere;
        // the newer copy no directory lists is kept after them.
        {"newest directory destroyed",
         [](Deck1& d) {
             TwoSaves t;
             d = t.d;
             set32(d.doc, t.newest_directory(), 0xFFFFFFFFu);
         },
         {"grouped", "revised"}, true},
        {"newest directory's slide entry damaged",
         [](Deck1& d) {
             TwoSaves t;
             d = t.d;
             set32(d.doc, t.newest_directory() + 12, 0x7FFFFFF0u);
         },
         {"grouped", "revised"}, true},
        // A slide entry the map cannot follow takes the unlisted slide
        // container, and with it its outline text.
        {"slide entry past the stream", [](Deck1& d) { set32(d.doc, d.dir_at + 8 + 8, 0x7FFFFFF0u); },
         {title}, true},
        {"document entry at the slide", [](Deck1& d) { set32(d.doc, d.dir_at + 8 + 4, d.slide_at); },
         {title}, true},
        // Nothing but the containers: the notes cannot be linked any more.
        {"only directory destroyed", [](Deck1& d) { set32(d.doc, d.dir_at, 0xFFFFFFFFu); },
         {title}, false},
        {"no directory, no edit, no current user",
         [](Deck1& d) {
             d.user.clear();
             d.doc.resize(d.dir_at);
         },
         {title}, false},
        // A title master is a slide container too, but no slide.
        {"title master beside the lost slide",
         [](Deck1& d) {
             d.user.clear();
             d.doc.resize(d.dir_at);
             Bytes atom = words32({2, 0, 0, 0x80000000, 0});
             le32(atom, 0);
             const Bytes master = box(0x03EE, {rec(0x03EF, atom, 0, 2), drawing({sp({fsp(9, 0xA00, 202), inline_text(u"master")})})});
             d.doc.insert(d.doc.begin() + d.slide_at, master.begin(), master.end());
         },
         {title}, false},
    };
    for (const auto& c : cases) {
        Deck1 d = Deck1::make();
        c.damage(d);
        auto deck = d.open();
        ASSERT_TRUE(deck) << c.what << ": " << deck.error().message();
        EXPECT_TRUE((*deck)->recovered()) << c.what;
        ASSERT_EQ((*deck)->slide_count(), c.slides.size()) << c.what;
        for (std::size_t i = 0; i < c.slides.size(); ++i) {
            auto s = (*deck)->slide(i);
            ASSERT_TRUE(s) << c.what;
            EXPECT_NE(all_text(*s).find(c.slides[i]), std::string::npos) << c.what << ": slide " << i << "\n" << all_text(*s);
            EXPECT_EQ(all_text(*s).find("master"), std::string::npos) << c.what;
        }
        auto notes = (*deck)->notes_text(0);
        ASSERT_TRUE(notes) << c.what;
        EXPECT_EQ(notes->has_value(), c.notes) << c.what;
    }
}

TEST(PptRecovery, WhatCannotBeFoundFailsAsBefore) {
    const struct {
        const char* what;
        void (*damage)(Deck1&);
        const char* message;
    } cases[] = {
        {"no records at all", [](Deck1& d) { d.doc.assign(100, 0); }, "ppt: no user edit record in the document stream"},
        {"document container destroyed, edits intact", [](Deck1& d) { set32(d.doc, d.doc_at, 0xFFFFFFFFu); },
         "ppt: the document record is missing or damaged"},
        {"only slides left", [](Deck1& d) {
             d.doc.erase(d.doc.begin(), d.doc.begin() + d.slide_at);
             d.doc.resize(d.notes_at - d.slide_at);
             d.user.clear();
         }, "ppt: no user edit record in the document stream"},
    };
    for (const auto& c : cases) {
        Deck1 d = Deck1::make();
        c.damage(d);
        auto deck = d.open();
        ASSERT_FALSE(deck) << c.what;
        EXPECT_EQ(deck.error().message(), c.message) << c.what;
    }
}

TEST(PptRecovery, HostileStreamsCostBoundedWork) {
    // A chain of user edits, each after a directory header that claims the
    // rest of the stream: every directory overlaps every later one, and a
    // walk or scan that read each in full would be quadratic.
    Bytes doc;
    const std::size_t n = std::size_t{1} << 20;
    std::uint32_t last = 0;
    while (doc.size() + 8 + 8 + 0x1C <= n) {
        const auto dir = static_cast<std::uint32_t>(doc.size());
        le16(doc, 0);
        le16(doc, 0x1772);
        le32(doc, static_cast<std::uint32_t>(n - dir - 8));
        const Bytes edit = user_edit(last, dir, 1);
        last = static_cast<std::uint32_t>(doc.size());
        doc.insert(doc.end(), edit.begin(), edit.end());
    }
    doc.resize(n, 0);
    for (const Bytes& user : {Bytes{}, current_user(last)}) {
        auto deck = ppt::Deck::from_streams(user, doc, {});
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().message(), "ppt: the document record is missing or damaged");
    }
    {
        // A slide list naming one id many times, and many directories each
        // listing that id at a record that is no slide.
        Bytes list;
        for (int i = 0; i < 20000; ++i) {
            const Bytes atom = persist_atom(5, 256);
            list.insert(list.end(), atom.begin(), atom.end());
        }
        Bytes doc2 = box(0x03E8, {document_atom(5760, 4320), rec(0x0FF0, list, 0, 0xF)});
        for (int i = 0; i < 20000; ++i) {
            const Bytes dir = persist_dir(5, {0});
            doc2.insert(doc2.end(), dir.begin(), dir.end());
        }
        const auto dir = static_cast<std::uint32_t>(doc2.size());
        doc2 = cat({doc2, persist_dir(1, {0})});
        doc2 = cat({doc2, user_edit(0, dir, 1)});
        auto deck = ppt::Deck::from_streams({}, doc2, {});
        ASSERT_TRUE(deck) << deck.error().message();
        EXPECT_EQ((*deck)->slide_count(), 0u);
    }
    // A stream of nothing but slide containers: each is kept once.
    Bytes slides;
    const Bytes one = box(0x03EE, {slide_atom(), drawing({})});
    while (slides.size() < (std::size_t{1} << 18)) slides.insert(slides.end(), one.begin(), one.end());
    const Bytes docs = cat({box(0x03E8, {document_atom(5760, 4320)}), slides});
    auto deck = ppt::Deck::from_streams({}, docs, {});
    ASSERT_TRUE(deck) << deck.error().message();
    EXPECT_EQ((*deck)->slide_count(), slides.size() / one.size());
}

TEST(PptEncryption, RefusedWithoutParsingTheDocument) {
    {
        Deck1 d = Deck1::make();
        d.user = current_user(d.edit_at, 0xF3D1C4DF);
        auto deck = d.open();
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().kind(), vantrell_core::error::Kind::Encrypted);
    }
    {
        // The newest edit names a crypt session container through persist id 4.
        Deck1 d = Deck1::make();
        const auto crypt_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes crypt = box(0x2F14, {rec(0x0001, words32({1, 2, 3}))});
        d.doc.insert(d.doc.end(), crypt.begin(), crypt.end());
        const auto dir_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes dir = persist_dir(1, {d.doc_at, d.slide_at, d.notes_at, crypt_at});
        d.doc.insert(d.doc.end(), dir.begin(), dir.end());
        const auto edit_at = static_cast<std::uint32_t>(d.doc.size());
        Bytes e = user_edit(0, dir_at, 1, 4);
        d.doc.insert(d.doc.end(), e.begin(), e.end());
        d.user = current_user(edit_at);
        auto deck = d.open();
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().message(), "encrypted: the legacy presentation is password-protected");
    }
    for (const char16_t* name : {u"EncryptedSummary", u"EncryptedPackage", u"EncryptionInfo"}) {
        const Deck1 d = Deck1::make();
        Cfb c;
        c.stream(u"PowerPoint Document", d.doc);
        c.stream(u"Current User", d.user);
        c.stream(name, Bytes(64, 1));
        auto deck = open_cfb(c);
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().kind(), vantrell_core::error::Kind::Encrypted);
    }
}

TEST(PptCompound, StreamsDualStorageAndRefusals) {
    const Deck1 d = Deck1::make();
    {
        Cfb c;
        c.stream(u"Current User", d.user);
        c.stream(u"PowerPoint Document", d.doc);
        c.stream(u"Pictures", d.pictures);
        auto deck = open_cfb(c);
        ASSERT_TRUE(deck) << deck.error().message();
        auto bytes = (*deck)->picture_bytes(1);
        ASSERT_TRUE(bytes);
        EXPECT_TRUE(std::ranges::equal(*bytes, PNG));
    }
    {
        // The PowerPoint 95 rendition at the root is not read; the 97 storage is.
        Cfb c;
        c.stream(u"PowerPoint Document", Bytes(5000, 0xAB));
        c.stream(u"PP40", Bytes(10, 0));
        const auto dual = c.storage(u"PP97_DUALSTORAGE");
        c.stream(u"PowerPoint Document", d.doc, dual);
        c.stream(u"Current User", d.user, dual);
        auto deck = open_cfb(c);
        ASSERT_TRUE(deck) << deck.error().message();
        EXPECT_EQ((*deck)->slide_count(), 1u);
        // Pictures fall back to the root when the storage lacks them.
        c.stream(u"Pictures", d.pictures);
        deck = open_cfb(c);
        ASSERT_TRUE(deck);
        EXPECT_TRUE((*deck)->picture_bytes(2));
    }
    {
        Cfb c;
        c.stream(u"Workbook", Bytes(100, 0));
        auto deck = open_cfb(c);
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().message(), "compound file holds no PowerPoint Document stream");
        // PowerPoint 4 kept the whole deck in one stream.
        c.stream(u"PP40", Bytes(100, 0));
        deck = open_cfb(c);
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().message(), "unsupported: presentations older than PowerPoint 97");
    }
    {
        // A PowerPoint 95 file: its main stream holds no 97 records.
        Cfb c;
        c.stream(u"PowerPoint Document", Bytes(300, 0x07));
        c.stream(u"Current User", Bytes(15, 0));
        c.stream(u"Header", Bytes(57, 0));
        auto deck = open_cfb(c);
        ASSERT_FALSE(deck);
        EXPECT_EQ(deck.error().message(), "unsupported: presentations older than PowerPoint 97");
    }
}

namespace {

Bytes zlib_compress(const Bytes& in) {
    uLongf n = compressBound(static_cast<uLong>(in.size()));
    Bytes out(n);
    EXPECT_EQ(compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
    out.resize(n);
    return out;
}

// A metafile blip: one UID, the 34-byte metafile header, the data.
Bytes metafile_blip(std::uint16_t type, std::uint16_t instance, const Bytes& raw, bool compress) {
    const Bytes data = compress ? zlib_compress(raw) : raw;
    Bytes b(16, 0x22);
    le32(b, static_cast<std::uint32_t>(raw.size()));
    for (std::uint32_t v : {0u, 0u, 100u, 50u}) le32(b, v);  // bounds
    le32(b, 0);
    le32(b, 0);
    le32(b, static_cast<std::uint32_t>(data.size()));
    b.push_back(compress ? 0x00 : 0xFE);
    b.push_back(0xFE);
    b.insert(b.end(), data.begin(), data.end());
    return rec(type, b, instance);
}

// One picture-store entry over `blip`, in a deck of no slides.
vantrell_core::Result<vantrell_core::bytes::Buffer> picture_of(std::uint8_t blip_type, const Bytes& blip) {
    Bytes bstore = box(0xF001, {fbse(blip_type, static_cast<std::uint32_t>(blip.size()), 0)}, 1);
    Bytes doc = box(0x03E8, {document_atom(5760, 4320), box(0x040B, {box(0xF000, {bstore})})});
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {0})});
    const auto edit_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, user_edit(0, dir_at, 1)});
    auto deck = ppt::Deck::from_streams(current_user(edit_at), doc, blip);
    if (!deck) return std::unexpected(deck.error());
    return (*deck)->picture_bytes(1);
}

} // namespace

TEST(PptPictures, MetafilesDibsAndDamage) {
    Bytes emf(3000);
    for (std::size_t i = 0; i < emf.size(); ++i) emf[i] = static_cast<std::uint8_t>(i * 13);
    for (bool compress : {true, false}) {
        auto out = picture_of(2, metafile_blip(0xF01A, 0x3D4, emf, compress));
        ASSERT_TRUE(out) << out.error().message();
        EXPECT_TRUE(std::ranges::equal(*out, emf));
    }
    // WMF: a placeable header (key D7 CD C6 9A, bounds, checksum) before the data.
    auto wmf = picture_of(3, metafile_blip(0xF01B, 0x216, emf, true));
    ASSERT_TRUE(wmf);
    ASSERT_EQ(wmf->size(), emf.size() + 22);
    EXPECT_EQ((Bytes(wmf->begin(), wmf->begin() + 4)), (Bytes{0xD7, 0xCD, 0xC6, 0x9A}));
    EXPECT_EQ((*wmf)[10], 100);  // right
    std::uint16_t x = 0;
    for (int i = 0; i < 10; ++i) x ^= static_cast<std::uint16_t>((*wmf)[2 * i] | ((*wmf)[2 * i + 1] << 8));
    EXPECT_EQ(x, (*wmf)[20] | ((*wmf)[21] << 8));
    EXPECT_TRUE(std::equal(emf.begin(), emf.end(), wmf->begin() + 22));

    // A two-UID blip (odd instance) and a corrupt zlib stream.
    Bytes two = metafile_blip(0xF01A, 0x3D5, emf, false);
    two.insert(two.begin() + 8, 16, 0x33);
    set32(two, 4, static_cast<std::uint32_t>(two.size() - 8));
    auto out = picture_of(2, two);
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_TRUE(std::ranges::equal(*out, emf));
    Bytes bad = metafile_blip(0xF01A, 0x3D4, emf, true);
    bad[8 + 16 + 34] = 0;  // not a deflate zlib header
    EXPECT_FALSE(picture_of(2, bad));

    // DIB: 40-byte header, 8 bits, 2 palette entries used, 4 pixel bytes.
    Bytes dib;
    le32(dib, 40);
    le32(dib, 2);
    le32(dib, 2);
    le16(dib, 1);
    le16(dib, 8);
    le32(dib, 0);   // BI_RGB
    le32(dib, 0);   // image size 0: legal for BI_RGB
    le32(dib, 0);
    le32(dib, 0);
    le32(dib, 2);   // colours used
    le32(dib, 0);
    dib.resize(dib.size() + 8 + 8, 0x5A);
    Bytes blip(16, 0x44);
    blip.push_back(0xFF);
    blip.insert(blip.end(), dib.begin(), dib.end());
    auto bmp = picture_of(7, rec(0xF01F, blip, 0x7A8));
    ASSERT_TRUE(bmp) << bmp.error().message();
    ASSERT_EQ(bmp->size(), dib.size() + 14);
    EXPECT_EQ((*bmp)[0], 'B');
    EXPECT_EQ((*bmp)[1], 'M');
    EXPECT_EQ((*bmp)[2], dib.size() + 14);
    EXPECT_EQ((*bmp)[10], 14 + 40 + 8);  // pixels after header and palette

    // A store entry whose offset leaves the Pictures stream, and a record
    // too short for its prefix.
    EXPECT_FALSE(picture_of(6, Bytes{1, 2, 3}));
    EXPECT_FALSE(picture_of(6, rec(0xF01E, Bytes(10, 0), 0x6E0)));
}

TEST(PptTables, GroupWithTableFlagBecomesAGrid) {
    // Three cells: a top row spanning two columns, then two cells below,
    // plus a border line that is not a cell.
    auto cell = [](std::uint32_t id, std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b,
                   std::u16string_view text) {
        return sp({fsp(id, 0xA02, 1), ltrb(0xF00F, l, t, r, b), inline_text(text)});
    };
    Bytes table = box(0xF003, {sp({ltrb(0xF009, 0, 0, 200, 100), fsp(10, 0x201),
                                   fopt({{0x039F, 1}}, 0xF122), client_anchor(0, 0, 200, 100)}),
                               cell(11, 0, 0, 200, 50, u"head"), cell(12, 0, 50, 80, 100, u"a"),
                               cell(13, 80, 50, 200, 100, u"b"),
                               sp({fsp(14, 0xB02, 20), ltrb(0xF00F, 0, 50, 200, 50)})});
    Bytes slide = box(0x03EE, {slide_atom(), drawing({table})});
    Bytes doc = box(0x03E8, {document_atom(5760, 4320), box(0x0FF0, {persist_atom(2, 256)}, 0)});
    const auto slide_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, slide});
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {0, slide_at})});
    const auto edit_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, user_edit(0, dir_at, 1)});
    auto deck = ppt::Deck::from_streams(current_user(edit_at), doc, {});
    ASSERT_TRUE(deck) << deck.error().message();
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->shapes.size(), 1u);
    const model::Table* t = s->shapes[0].table();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->rows.size(), 2u);
    ASSERT_EQ(t->column_widths.size(), 2u);
    EXPECT_EQ(t->column_widths[0], 80 * 3175 / 2);
    EXPECT_EQ(t->rows[0].cells[0].grid_span, 2u);
    EXPECT_EQ(model::TextBody{t->rows[0].cells[0].paragraphs}.text(), "head");
    EXPECT_TRUE(t->rows[0].cells[1].h_merge);
    EXPECT_EQ(model::TextBody{t->rows[1].cells[1].paragraphs}.text(), "b");
    EXPECT_TRUE(t->rows[1].cells[1].is_origin());
}

TEST(PptHostile, DeepNestingIsBounded) {
    Bytes inner = sp({fsp(99, 0xA02, 202), inline_text(u"deep")});
    for (int i = 0; i < 200; ++i) inner = box(0xF003, {sp({fsp(static_cast<std::uint32_t>(100 + i), 0x203)}), inner});
    Bytes slide = box(0x03EE, {slide_atom(), drawing({inner})});
    Bytes doc = box(0x03E8, {document_atom(5760, 4320), box(0x0FF0, {persist_atom(2, 256)}, 0)});
    const auto slide_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, slide});
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {0, slide_at})});
    const auto edit_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, user_edit(0, dir_at, 1)});
    auto deck = ppt::Deck::from_streams(current_user(edit_at), doc, {});
    ASSERT_TRUE(deck);
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    std::size_t depth = 0;
    for (const model::Shape* g = &s->shapes[0]; g->group() && !g->group()->children.empty();
         g = &g->group()->children[0])
        ++depth;
    EXPECT_LE(depth, static_cast<std::size_t>(ppt::MAX_DEPTH));
}

TEST(PptHostile, EveryTruncationAndByteFlipFailsCleanly) {
    const Deck1 d = Deck1::make();
    auto exercise = [](const Bytes& user, const Bytes& doc, const Bytes& pics) {
        auto deck = ppt::Deck::from_streams(user, doc, pics);
        if (!deck) return;
        for (std::size_t i = 0; i < (*deck)->slide_count(); ++i) {
            if (auto s = (*deck)->slide(i)) (void)(*deck)->images(*s);
            (void)(*deck)->notes_text(i);
        }
        for (std::uint32_t p = 1; p <= (*deck)->picture_store().size(); ++p) (void)(*deck)->picture_bytes(p);
    };
    for (std::size_t n = 0; n < d.doc.size(); ++n) {
        // Copied to its own allocation so that a read past the end is caught.
        const Bytes prefix(d.doc.begin(), d.doc.begin() + static_cast<long>(n));
        exercise(d.user, prefix, d.pictures);
    }
    for (std::size_t n = 0; n < d.user.size(); ++n)
        exercise(Bytes(d.user.begin(), d.user.begin() + static_cast<long>(n)), d.doc, d.pictures);
    for (std::size_t n = 0; n < d.pictures.size(); ++n)
        exercise(d.user, d.doc, Bytes(d.pictures.begin(), d.pictures.begin() + static_cast<long>(n)));
    for (std::size_t i = 0; i < d.doc.size(); ++i)
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = d.doc;
            bad[i] ^= flip;
            exercise(d.user, bad, d.pictures);
        }
}

TEST(PptDocument, LegacyDeckThroughTheDocumentFacade) {
    const Deck1 d = Deck1::make();
    Cfb c;
    c.stream(u"Current User", d.user);
    c.stream(u"PowerPoint Document", d.doc);
    c.stream(u"Pictures", d.pictures);
    namespace document = vantrell_core::document;
    auto doc = document::Document::from_source(std::make_shared<vantrell_core::zip::MemorySource>(c.build()));
    ASSERT_TRUE(doc) << doc.error().message();
    const auto& shared = *doc->shared();
    EXPECT_TRUE(shared.is_legacy());
    EXPECT_EQ(shared.presentation_part, "PowerPoint Document");
    EXPECT_EQ(shared.defects.located, document::Located::legacy_stream);
    ASSERT_TRUE(shared.presentation.slide_size);
    EXPECT_EQ(shared.presentation.slide_size->cx, 9144000);
    EXPECT_EQ(doc->package(), nullptr);
    // Automatic threading runs a legacy deck in the calling thread.
    EXPECT_EQ(document::worker_count(10, 0, true), 1u);

    ASSERT_EQ(doc->slide_count(), 1u);
    auto slide = doc->slide(0);
    ASSERT_TRUE(slide) << slide.error().message();
    EXPECT_EQ(slide->content.title(), "Hello \xF0\x9F\x98\x80");
    auto notes = slide->notes_text();
    ASSERT_TRUE(notes && *notes);
    EXPECT_EQ(**notes, "speak\nslowly");
    auto rel = slide->related_part(vantrell_core::pml::RelKind::slideLayout);
    ASSERT_TRUE(rel);
    EXPECT_FALSE(*rel);
    auto images = slide->images();
    ASSERT_TRUE(images);
    ASSERT_EQ(images->size(), 1u);
    EXPECT_EQ((*images)[0].part, "/Pictures/image2.png");
    auto bytes = slide->image_bytes((*images)[0]);
    ASSERT_TRUE(bytes) << bytes.error().message();
    EXPECT_TRUE(std::ranges::equal(*bytes, PNG2));
    document::ImageRef forged = (*images)[0];
    forged.part = "/Pictures/image9.png";
    EXPECT_FALSE(slide->image_bytes(forged));
    auto object = slide->object_bytes(document::ObjectRef{0, {}, {}, std::string("/x"), {}, {}});
    ASSERT_FALSE(object);
    EXPECT_EQ(object.error().message(), "unsupported: a legacy binary presentation has no package parts");
    // An object of the deck's own names no part: what is refused, and why.
    object = slide->object_bytes(document::ObjectRef{5, std::string("Excel.Sheet.8"), {}, {}, {}, {}});
    ASSERT_FALSE(object);
    EXPECT_EQ(object.error().message(), "unsupported: the bytes of the object of shape 5 (Excel.Sheet.8): a legacy "
                                        "binary presentation keeps its objects inside its document stream, not as "
                                        "package parts");
    EXPECT_FALSE(doc->slide(1));

    // What a read parses is charged to the view's ledger first: the slide's
    // record and its outline text (two bytes a unit), the notes page's record.
    vantrell_core::budget::Budget budget(1 << 20);
    vantrell_core::budget::Ledger ledger(budget);
    const document::Document::ChargingTo charging(*doc, ledger);
    const std::pair<std::function<bool()>, std::uint64_t> reads[] = {
        {[&] { return doc->slide(0).has_value(); }, d.notes_at - d.slide_at + 2 * (8 + 15)},
        {[&] { return slide->notes_content().has_value(); }, d.dir_at - d.notes_at},
    };
    for (const auto& [read, charged] : reads) {
        const std::uint64_t before = ledger.held();
        EXPECT_TRUE(read());
        EXPECT_EQ(ledger.held() - before, charged);
    }
}

// ---------------------------------------------------------------------------
// Paragraph levels and bullets from style records; OLE program ids.

namespace {

// A deck of one slide: `list_items` follow the slide's persist atom in the
// slide list, `shapes` make its drawing, `extra` are further children of
// the document container.
vantrell_core::Result<std::shared_ptr<const ppt::Deck>> deck_of(const Bytes& list_items, std::initializer_list<Bytes> shapes,
                                                              const Bytes& extra = {}) {
    Bytes slide = box(0x03EE, {slide_atom(), drawing(shapes)});
    Bytes doc = box(0x03E8, {document_atom(5760, 4320), extra, box(0x0FF0, {persist_atom(2, 256), list_items}, 0)});
    const auto slide_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, slide});
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {0, slide_at})});
    const auto edit_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, user_edit(0, dir_at, 1)});
    return ppt::Deck::from_streams(current_user(edit_at), doc, {});
}

struct ParaView {
    std::string text;
    int level;
    model::Bullet::Kind kind;
    std::string bullet;
    bool operator==(const ParaView&) const = default;
};
std::ostream& operator<<(std::ostream& os, const ParaView& p) {
    return os << "{" << p.text << ", " << p.level << ", " << static_cast<int>(p.kind) << ", " << p.bullet << "}";
}
std::vector<ParaView> paras(const model::Shape& sh) {
    std::vector<ParaView> out;
    if (const auto* b = sh.text_body())
        for (const auto& p : b->paragraphs) out.push_back({p.text(), p.level, p.bullet.kind, p.bullet.text});
    return out;
}
// The paragraphs of the slide's only text box, holding `text` and `style_body`.
std::vector<ParaView> text_box_paras(std::u16string_view text, const Bytes& style_body) {
    auto deck = deck_of({}, {sp({fsp(10, 0xA00, 202), box(0xF00D, {text_header(4), chars(text), style(style_body)})})});
    if (!deck) return {};
    auto s = (*deck)->slide(0);
    if (!s || s->shapes.size() != 1) return {};
    return paras(s->shapes[0]);
}

using BK = model::Bullet::Kind;
const std::u16string FIVE = u"Top\rOne\rTwo\rThree\rFour";  // 22 units, 23 with the implicit end

} // namespace

TEST(PptParagraphs, LevelsAndBulletsFromTheStyleRecord) {
    const Bytes body = cat({
        pf_run(4, 0, 0),                                                 // "Top\r": all inherited
        pf_run(4, 1, PF_HAS_BULLET | PF_CHAR, halves({1, '-'})),          // bullet on, '-'
        pf_run(4, 2, PF_HAS_BULLET, halves({0})),                         // bullet off
        // Every field but the bullet ones after the flags and character,
        // tab stops included: a wrong size would misalign the last run.
        pf_run(6, 3, 0x3FFDFF,
               cat({halves({1, '*', 7, 80}), words32({0xFE000000}), halves({1, 100, 0, 0, 10, 20, 576, 2}),
                    words32({100, 200}), halves({0, 0, 0})})),
        pf_run(5, 4, PF_HAS_BULLET | PF_BULLET_HAS_FONT, halves({3})),    // bullet on, no character
        cf_run(23),
    });
    const std::vector<ParaView> want = {{"Top", 0, BK::inherited, ""},
                                        {"One", 1, BK::character, "-"},
                                        {"Two", 2, BK::none, ""},
                                        {"Three", 3, BK::character, "*"},
                                        {"Four", 4, BK::character, "\xE2\x80\xA2"}};
    EXPECT_EQ(text_box_paras(FIVE, body), want);

    // Outline text takes the style record that follows it in the slide
    // list, whether a placeholder refers to it or nobody does; one run may
    // cover several paragraphs, and only the first character of a
    // paragraph decides.
    const Bytes list = cat({text_header(1), chars(u"a\rb\rc"),
                            style(cat({pf_run(2, 0, 0), pf_run(4, 2, PF_HAS_BULLET | PF_CHAR, halves({1, 0x2013}))})),
                            text_header(1), bytes_atom("x\ry"), style(cat({pf_run(2, 1, 0), pf_run(2, 3, 0)}))});
    auto deck = deck_of(list, {sp({fsp(2051, 0xA00), placeholder(0x0E, 1), outline_ref(0)})});
    ASSERT_TRUE(deck) << deck.error().message();
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->shapes.size(), 2u);
    EXPECT_EQ(paras(s->shapes[0]), (std::vector<ParaView>{{"a", 0, BK::inherited, ""},
                                                          {"b", 2, BK::character, "\xE2\x80\x93"},
                                                          {"c", 2, BK::character, "\xE2\x80\x93"}}));
    EXPECT_EQ(paras(s->shapes[1]), (std::vector<ParaView>{{"x", 1, BK::inherited, ""}, {"y", 3, BK::inherited, ""}}));

    // A trailing return closes the last paragraph; its implicit end is the
    // extra character.
    EXPECT_EQ(text_box_paras(u"p\rq\r", cat({pf_run(2, 1, 0), pf_run(3, 2, 0)})),
              (std::vector<ParaView>{{"p", 1, BK::inherited, ""}, {"q", 2, BK::inherited, ""}}));
    // The has-bullet flag counts only when its own mask bit is set; a
    // control or lone surrogate character is no bullet character.
    EXPECT_EQ(text_box_paras(u"k\rl\rm", cat({pf_run(2, 0, PF_BULLET_HAS_FONT | PF_CHAR, halves({1, '+'})),
                                             pf_run(2, 0, PF_HAS_BULLET | PF_CHAR, halves({1, 0x09})),
                                             pf_run(2, 0, PF_HAS_BULLET | PF_CHAR, halves({1, 0xD800}))})),
              (std::vector<ParaView>{{"k", 0, BK::inherited, ""},
                                     {"l", 0, BK::character, "\xE2\x80\xA2"},
                                     {"m", 0, BK::character, "\xE2\x80\xA2"}}));
}

TEST(PptParagraphs, DamagedOrUnknownStyleRecordsLeaveTheDefaults) {
    const std::vector<ParaView> plain = {{"Top", 0, BK::inherited, ""}, {"One", 0, BK::inherited, ""},
                                         {"Two", 0, BK::inherited, ""}, {"Three", 0, BK::inherited, ""},
                                         {"Four", 0, BK::inherited, ""}};
    const Bytes r0 = pf_run(4, 1, 0), r1 = pf_run(4, 2, PF_HAS_BULLET, halves({1}));
    struct Case {
        const char* what;
        Bytes body;
    };
    const Case damaged[] = {
        {"counts cover the text without its end", cat({r0, r1, pf_run(14, 3, 0)})},
        {"counts overrun the text", cat({r0, r1, pf_run(16, 3, 0)})},
        {"a count near the 32-bit limit", cat({r0, pf_run(0xFFFFFFFF, 1, 0)})},
        {"a level the format does not have", cat({r0, pf_run(19, 5, 0)})},
        {"a tab-stop count past the end", cat({r0, pf_run(19, 1, 0x100000, halves({0x7FFF, 1, 2}))})},
        {"no runs", {}},
    };
    for (const auto& c : damaged) EXPECT_EQ(text_box_paras(FIVE, c.body), plain) << c.what;

    // Every cut inside the paragraph runs drops the whole record; a cut in
    // the character runs after them does not matter.
    const Bytes pf = cat({r0, r1, pf_run(15, 3, PF_HAS_BULLET | PF_CHAR | 0x100000, cat({halves({1, 'o', 1}), words32({9})}))});
    const Bytes full = cat({pf, cf_run(23)});
    const std::vector<ParaView> styled = {{"Top", 1, BK::inherited, ""}, {"One", 2, BK::character, "\xE2\x80\xA2"},
                                          {"Two", 3, BK::character, "o"}, {"Three", 3, BK::character, "o"},
                                          {"Four", 3, BK::character, "o"}};
    for (std::size_t n = 0; n <= full.size(); ++n)
        EXPECT_EQ(text_box_paras(FIVE, Bytes(full.begin(), full.begin() + static_cast<long>(n))), n < pf.size() ? plain : styled)
            << "cut at " << n;

    // A mask bit naming a field of unknown size stops the reading there:
    // the runs before it stand, that run and the rest keep the defaults.
    for (const std::uint32_t bit : {0x200u, 0x400000u, 0x1000000u, 0x80000000u}) {
        const auto got = text_box_paras(FIVE, cat({r0, pf_run(19, 3, bit | PF_HAS_BULLET, halves({1})), pf_run(0, 2, 0)}));
        EXPECT_EQ(got, (std::vector<ParaView>{{"Top", 1, BK::inherited, ""}, {"One", 0, BK::inherited, ""},
                                              {"Two", 0, BK::inherited, ""}, {"Three", 0, BK::inherited, ""},
                                              {"Four", 0, BK::inherited, ""}}))
            << std::hex << bit;
    }
}

TEST(PptParagraphs, MarkdownNestsTheOutline) {
    const Bytes list = cat({text_header(0), chars(u"Plan"), text_header(1), chars(u"Goals\rFast\rSafe\rLater"),
                            style(cat({pf_run(6, 0, 0), pf_run(10, 1, 0), pf_run(6, 0, 0)}))});
    Bytes slide = box(0x03EE, {slide_atom(), drawing({sp({fsp(2050, 0xA00), placeholder(0x0D, 0), outline_ref(0)}),
                                                      sp({fsp(2051, 0xA00), placeholder(0x0E, 1), outline_ref(1)})})});
    Bytes doc = box(0x03E8, {document_atom(5760, 4320), box(0x0FF0, {persist_atom(2, 256), list}, 0)});
    const auto slide_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, slide});
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {0, slide_at})});
    const auto edit_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, user_edit(0, dir_at, 1)});
    Cfb c;
    c.stream(u"Current User", current_user(edit_at));
    c.stream(u"PowerPoint Document", doc);
    namespace document = vantrell_core::document;
    auto opened = document::Document::from_source(std::make_shared<vantrell_core::zip::MemorySource>(c.build()));
    ASSERT_TRUE(opened) << opened.error().message();
    auto s = opened->slide(0);
    ASSERT_TRUE(s) << s.error().message();
    vantrell_core::text::ExtractReport report;
    EXPECT_EQ(s->markdown(vantrell_core::markdown::MarkdownOptions{}, report),
              "# Plan\n\n- Goals\n  - Fast\n  - Safe\n- Later");
}

// Property tables that list many ids, some again: the first listing of an
// id wins, however many came before it.
TEST(PptShapes, FirstListingOfAPropertyWins) {
    const auto filler = [](std::uint16_t from, std::size_t n) {
        std::vector<Prop> out;
        for (std::size_t i = 0; i < n; ++i) out.push_back({static_cast<std::uint16_t>(from + i), 7});
        return out;
    };
    const auto name = [](std::u16string_view s) { return Prop{0x0380, 0, wz(s)}; };
    const auto with = [](std::vector<Prop> v, std::initializer_list<Prop> more) {
        v.insert(v.end(), more.begin(), more.end());
        return v;
    };
    struct Row {
        const char* what;
        std::vector<std::vector<Prop>> tables;
        std::string name;
    };
    const std::vector<Row> rows = {
        {"in a long first table, again in a second", {with(filler(0x100, 100), {name(u"First")}), {name(u"Second")}},
         "First"},
        {"only after many others", {filler(0x100, 70), with(filler(0x100, 70), {name(u"Late")})}, "Late"},
        {"twice in one long table", {with(filler(0x100, 70), {name(u"A"), name(u"B")})}, "A"},
        {"in a short table", {{name(u"Short")}, {name(u"Other")}}, "Short"},
    };
    for (const Row& r : rows) {
        Bytes tables;
        for (const auto& t : r.tables) tables = cat({tables, fopt(t)});
        auto deck = deck_of({}, {sp({fsp(10, 0xA00, 1), tables, client_anchor(0, 0, 10, 10)})});
        ASSERT_TRUE(deck) << deck.error().message();
        auto s = (*deck)->slide(0);
        ASSERT_TRUE(s);
        ASSERT_EQ(s->shapes.size(), 1u) << r.what;
        EXPECT_EQ(s->shapes[0].name, r.name) << r.what;
    }
}

TEST(PptObjects, ProgramIdsFromTheObjectList) {
    const Bytes list = box(0x0409, {
        rec(0x040A, words32({9})),
        box(0x0FCC, {rec(0x0FCD, words32({0, 0, 0})), ole_atom(5), cstring(1, u"Worksheet"), cstring(2, u"Excel.Sheet.8"),
                     cstring(3, u"Microsoft Excel Worksheet")}),
        box(0x0FCC, {ole_atom(6), cstring(1, u"Photo")}),                         // no program id
        box(0x0FCE, {ole_atom(7), cstring(2, std::u16string_view(u"Word.Document.8\0junk", 20))}),         // linked; NUL ends it
        box(0x0FEE, {ole_atom(8), cstring(2, u"Forms.CommandButton.1")}),         // a control
        box(0x0FCC, {ole_atom(5), cstring(2, u"Later.Duplicate")}),               // the first id wins
        box(0x0FCC, {rec(0x0FC3, words32({1, 0})), cstring(2, u"Short.Atom")}),   // atom too short for an id
        box(0x0FCC, {ole_atom(9), cstring(2, u"")}),                              // empty
    });
    auto ole = [](std::uint32_t spid, std::optional<std::uint32_t> ref) {
        Bytes data = ref ? box(0xF011, {rec(0x0BC1, words32({*ref}))}) : Bytes{};
        return sp({fsp(spid, 0xA10, 75), fopt({{0x4104, 1}}), data});
    };
    auto deck = deck_of({}, {ole(1, 5), ole(2, 6), ole(3, 7), ole(4, 8), ole(5, 99), ole(6, std::nullopt), ole(7, 9),
                             // Not an OLE frame: a reference alone makes no object.
                             sp({fsp(8, 0xA00, 202), box(0xF011, {rec(0x0BC1, words32({5}))}), inline_text(u"t")})},
                         list);
    ASSERT_TRUE(deck) << deck.error().message();
    auto s = (*deck)->slide(0);
    ASSERT_TRUE(s);
    std::vector<std::optional<std::string>> got;
    for (const auto& sh : s->shapes)
        if (const auto* o = std::get_if<model::Ole>(&sh.content)) got.push_back(o->prog_id ? std::optional(*o->prog_id) : std::nullopt);
    const std::vector<std::optional<std::string>> want = {"Excel.Sheet.8", std::nullopt, "Word.Document.8",
                                                          "Forms.CommandButton.1", std::nullopt, std::nullopt,
                                                          std::nullopt};
    EXPECT_EQ(got, want);
    EXPECT_FALSE(std::holds_alternative<model::Ole>(s->shapes.back().content));

    // A damaged object list costs the ids, not the deck.
    Bytes cut = list;
    set32(cut, 24, 0x7FFFFFFF);  // the first object's container length
    auto damaged = deck_of({}, {ole(1, 5)}, cut);
    ASSERT_TRUE(damaged) << damaged.error().message();
    auto s2 = (*damaged)->slide(0);
    ASSERT_TRUE(s2);
    ASSERT_EQ(s2->shapes.size(), 1u);
    EXPECT_FALSE(std::get<model::Ole>(s2->shapes[0].content).prog_id);
}

// ---------------------------------------------------------------------------
// Fields, header and footer placeholders, autonumbering.

namespace {

Bytes field(std::uint16_t type, std::int32_t at) { return rec(type, words32({static_cast<std::uint32_t>(at), 0})); }
constexpr std::uint16_t SLIDE_NUMBER = 0x0FD8, DATE_TIME = 0x0FF7, FOOTER = 0x0FFA;
Bytes client_data(std::initializer_list<Bytes> kids) { return box(0xF011, kids); }
Bytes round_trip_hf(std::uint8_t placement) { return rec(0x0420, Bytes{placement}); }

// `count` slides numbered from `first`, each showing `shapes` and a notes
// page showing `notes`; `list_items` follow each slide's persist atom.
vantrell_core::Result<std::shared_ptr<const ppt::Deck>> fields_deck(std::int16_t first, std::uint32_t count, const Bytes& shapes,
                                                                  const Bytes& notes, const Bytes& list_items) {
    Bytes slides, notes_list, dir = words32({1u | ((1 + 2 * count) << 20), 0});
    for (std::uint32_t i = 0; i < count; ++i) {
        slides = cat({slides, persist_atom(2 + 2 * i, 256 + i), list_items});
        notes_list = cat({notes_list, persist_atom(3 + 2 * i, 7 + i)});
    }
    Bytes doc = box(0x03E8, {document_atom(5760, 4320, first), rec(0x0FF0, slides, 0, 0xF), rec(0x0FF0, notes_list, 2, 0xF)});
    for (std::uint32_t i = 0; i < count; ++i) {
        le32(dir, static_cast<std::uint32_t>(doc.size()));
        doc = cat({doc, box(0x03EE, {slide_atom(7 + i), drawing({shapes})})});
        le32(dir, static_cast<std::uint32_t>(doc.size()));
        doc = cat({doc, box(0x03F0, {rec(0x03F1, words32({256 + i, 0}), 0, 1), drawing({notes})})});
    }
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, rec(0x1772, dir)});
    const auto edit_at = static_cast<std::uint32_t>(doc.size());
    return ppt::Deck::from_streams(current_user(edit_at), cat({doc, user_edit(0, dir_at, 1)}), {});
}

// A body's runs: text, "[type:text]" for a field, "|" for a break; "/"
// between paragraphs.
std::string runs_of(const model::Shape& sh) {
    std::string out;
    for (const auto& p : sh.text_body()->paragraphs) {
        if (!out.empty()) out += "/";
        for (const auto& r : p.runs)
            out += r.kind == model::Run::Kind::field ? "[" + r.field_type + ":" + r.text + "]"
                   : r.kind == model::Run::Kind::line_break ? "|" : r.text;
    }
    return out;
}

} // namespace

TEST(PptFields, FieldsReplaceTheirStandInCharacters) {
    const Bytes kinds = box(0xF00D, {text_header(4), chars(u"No *\r* / *\r*\x0B*x*"), field(SLIDE_NUMBER, 3),
                                     field(DATE_TIME, 5), field(0x0FF8, 9), field(0x0FF9, 11), field(FOOTER, 13),
                                     field(0x1015, 15)});
    // Past the text, negative, on a break, on an ordinary character, a second
    // record for a position (the first wins), too short: no field.
    const Bytes odd = box(0xF00D, {text_header(4), chars(u"a*\rb*"), field(SLIDE_NUMBER, 5), field(SLIDE_NUMBER, -1),
                                   field(FOOTER, 0), field(SLIDE_NUMBER, 3),
                                   field(DATE_TIME, 2), field(SLIDE_NUMBER, 1), field(FOOTER, 1), rec(0x0FD8, Bytes{4, 0}),
                                   field(SLIDE_NUMBER, 4)});
    const Bytes shapes = cat({sp({fsp(10, 0xA00, 202), kinds}), sp({fsp(11, 0xA00, 202), odd}),
                              sp({fsp(12, 0xA00), placeholder(0x0E, 1), outline_ref(0)})});
    const Bytes notes = sp({fsp(20, 0xA00), placeholder(0x0C),
                            box(0xF00D, {text_header(2), chars(u"Slide *\r*"), field(SLIDE_NUMBER, 6), field(DATE_TIME, 8)})});
    auto deck = fields_deck(-1, 3, shapes, notes, cat({text_header(1), chars(u"Page *"), field(SLIDE_NUMBER, 5)}));
    ASSERT_TRUE(deck) << deck.error().message();
    for (std::size_t i = 0; i < 3; ++i) {
        auto s = (*deck)->slide(i);
        auto page = (*deck)->notes(i);
        ASSERT_TRUE(s && page && *page && s->shapes.size() == 3);
        // Slide i shows the first number plus i, and so does its notes page.
        const std::string n = "[slidenum:" + std::to_string(static_cast<int>(i) - 1) + "]";
        EXPECT_EQ(runs_of(s->shapes[0]), "No " + n + "/[datetime:] / [datetime:]/[header:]|[footer:]x[datetime:]");
        EXPECT_EQ(runs_of(s->shapes[1]), "a" + n + "/b" + n);
        EXPECT_EQ(runs_of(s->shapes[2]), "Page " + n);
        EXPECT_EQ(runs_of((*page)->shapes[0]), "Slide " + n + "/[datetime:]");
    }
}

TEST(PptFurniture, RoundTripMarksMakeHeaderAndFooterPlaceholders) {
    using PK = model::PlaceholderKind;
    // The four header/footer placements count, others do not; a placeholder
    // record naming a kind wins.
    const std::pair<Bytes, std::optional<PK>> cases[] = {
        {round_trip_hf(0x07), PK::dt},  {round_trip_hf(0x08), PK::sldNum}, {round_trip_hf(0x09), PK::ftr},
        {round_trip_hf(0x0A), PK::hdr}, {round_trip_hf(0x0D), {}},         {rec(0x0420, {}), {}},
        {cat({rec(0x0BC3, words32({2, 0x0E})), round_trip_hf(0x09)}), PK::body},
        {cat({rec(0x0BC3, words32({~0u, 0})), round_trip_hf(0x08)}), PK::sldNum},
    };
    for (const auto& [data, want] : cases) {
        auto deck = deck_of({}, {sp({fsp(10, 0xA00, 202), client_data({data}), inline_text(u"x")})});
        ASSERT_TRUE(deck);
        auto s = (*deck)->slide(0);
        ASSERT_TRUE(s && s->shapes.size() == 1);
        const auto& ph = s->shapes[0].placeholder;
        EXPECT_EQ(ph ? std::optional<PK>(ph->kind) : std::nullopt, want);
    }
}

namespace {

// An autonumbering entry: numbered flag, scheme and start, as given.
using Scheme = std::pair<std::uint16_t, std::int16_t>;
Bytes entry9(std::optional<std::uint16_t> numbered, std::optional<Scheme> scheme = {}, bool picture = false) {
    Bytes b = words32({(picture ? 0x00800000u : 0) | (numbered ? 0x02000000u : 0) | (scheme ? 0x01000000u : 0)});
    if (picture) le16(b, 7);
    if (numbered) le16(b, *numbered);
    if (scheme) b = cat({b, halves({scheme->first, static_cast<std::uint16_t>(scheme->second)})});
    return cat({b, words32({0, 0})});
}
Bytes numbering_tags(const Bytes& atom, std::u16string_view name = u"___PPT9") {
    return client_data({box(0x1388, {box(0x138A, {cstring(0, name), rec(0x138B, rec(0x0FAC, atom))})})});
}
// A character run naming `entry`, a size field after the style word.
Bytes cf_entry(std::uint32_t nchars, std::uint16_t entry) {
    return cat({words32({nchars, 0x3C00u | 0x20000u}), halves({static_cast<std::uint16_t>(entry << 10), 2400})});
}
Bytes abcd(const Bytes& style_body) { return box(0xF00D, {text_header(4), chars(u"a\rb\rc\rd"), style(style_body)}); }

// The paragraphs of the slide's only shape, a body placeholder unless said
// otherwise, as "text:kind[:scheme@start]".
std::vector<std::string> numbering_of(const Bytes& shape_kids, const Bytes& list = {}, bool body = true,
                                      const Bytes& extra = {}) {
    const Bytes ph = body ? placeholder(0x0E, 1) : Bytes{};
    auto deck = deck_of(list, {rec(0xF004, cat({fsp(10, 0xA00, 202), ph, shape_kids}), 0, 0xF)}, extra);
    std::vector<std::string> out;
    if (!deck) return out;
    auto s = (*deck)->slide(0);
    if (!s || s->shapes.empty()) return out;
    for (const auto& p : s->shapes[0].text_body()->paragraphs)
        out.push_back(p.text() + ":" + std::to_string(static_cast<int>(p.bullet.kind)) +
                      (p.bullet.kind == BK::auto_number ? ":" + p.bullet.text + "@" + std::to_string(p.bullet.start) : ""));
    return out;
}

} // namespace

TEST(PptNumbering, ParagraphsTakeTheEntryTheirFirstRunNames) {
    // "a" takes entry 0 (no style word), "b" entry 1 with its bullet off, "c"
    // entry 2 from a run starting before it, "d" entry 9, which is missing.
    const Bytes style_body = cat({pf_run(2, 0, PF_HAS_BULLET, halves({1})), pf_run(2, 0, PF_HAS_BULLET, halves({0})),
                                  pf_run(4, 1, 0), cf_run(2), cf_entry(1, 1), cf_entry(2, 2), cf_entry(1, 2), cf_entry(2, 9)});
    const Bytes tags = numbering_tags(cat({entry9(1, Scheme{3, 6}), entry9(1), entry9(1, Scheme{9, 1}, true)}));
    const std::vector<std::string> want = {"a:3:arabicPeriod@6", "b:1", "c:3:alphaLcParenR@1", "d:0"};
    EXPECT_EQ(numbering_of(cat({tags, abcd(style_body)})), want);
    // Outline text: the shape's extension, the slide list's style record.
    EXPECT_EQ(numbering_of(cat({tags, outline_ref(0)}), cat({text_header(1), chars(u"a\rb\rc\rd"), style(style_body)})), want);
    // A start below 1 is 1; a flag of 0, or a scheme alone, numbers nothing.
    const Bytes one_run = cat({pf_run(8, 0, 0), cf_run(8)});
    EXPECT_EQ(numbering_of(cat({numbering_tags(entry9(1, Scheme{7, -4})), abcd(one_run)})).at(3), "d:3:romanUcPeriod@1");
    EXPECT_EQ(numbering_of(cat({numbering_tags(entry9(0, Scheme{3, 2})), abcd(one_run)})).at(3), "d:0");
    EXPECT_EQ(numbering_of(cat({numbering_tags(entry9(std::nullopt, Scheme{3, 2})), abcd(one_run)})).at(3), "d:0");
}

TEST(PptNumbering, MissingOrDamagedExtensionsLeaveTheBullets) {
    const Bytes pf = cat({pf_run(2, 0, PF_HAS_BULLET | PF_CHAR, halves({1, '-'})), pf_run(6, 0, 0)});
    const Bytes cf = cat({cf_entry(2, 0), cf_entry(2, 1), cf_entry(4, 2)});
    const Bytes entries = cat({entry9(1), entry9(1), entry9(1)});
    const std::vector<std::string> plain = {"a:2", "b:0", "c:0", "d:0"};
    ASSERT_EQ(numbering_of(cat({numbering_tags(entries), abcd(cat({pf, cf}))})).at(3), "d:3:arabicPeriod@1");
    const std::pair<const char*, Bytes> cases[] = {
        {"no extension", abcd(cat({pf, cf}))},
        {"another tag", cat({numbering_tags(entries, u"___PPT10"), abcd(cat({pf, cf}))})},
        {"character runs overrun", cat({numbering_tags(entries), abcd(cat({pf, cf_entry(4, 0), cf_entry(5, 2)}))})},
        {"character runs fall short", cat({numbering_tags(entries), abcd(cat({pf, cf_entry(2, 0)}))})},
        {"unknown character mask bit", cat({numbering_tags(entries), abcd(cat({pf, words32({8, 0x08000000})}))})},
        {"unknown entry mask bit", cat({numbering_tags(cat({words32({0x10}), entries})), abcd(cat({pf, cf}))})},
        {"unknown character part bit", cat({numbering_tags(words32({0x02000000, 1, 1, 0})), abcd(cat({pf, cf}))})},
        {"entries cut", cat({numbering_tags(Bytes(entries.begin(), entries.begin() + 13)), abcd(cat({pf, cf}))})},
    };
    for (const auto& [what, kids] : cases) EXPECT_EQ(numbering_of(kids), plain) << what;
    // Every byte of such a shape flipped: no crash, no paragraph invented.
    const Bytes shape = cat({client_data({round_trip_hf(0x08)}), numbering_tags(entries),
                             box(0xF00D, {text_header(4), chars(u"a\rb\rc\rd"), style(cat({pf, cf})), field(SLIDE_NUMBER, 2)})});
    for (std::size_t i = 0; i < shape.size(); ++i)
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = shape;
            bad[i] ^= flip;
            EXPECT_LE(numbering_of(bad).size(), 4u) << i;
        }
}

namespace {

// An entry numbered with `scheme` from 1 whose character and spelling parts
// are given whole (masks and fields).
Bytes entry9_parts(std::uint16_t scheme, const Bytes& cf, const Bytes& si) {
    return cat({words32({0x03000000}), halves({1, scheme, 1}), cf, si});
}
const Bytes NO_PARTS = words32({0, 0});
// Paragraphs a-d with inherited bullets, taking entries 0-3 in turn.
const Bytes EACH_ITS_ENTRY = cat({pf_run(8, 0, 0), cf_entry(2, 0), cf_entry(2, 1), cf_entry(2, 2), cf_entry(2, 3)});

// The document's numbering for placeholder text: `pairs` of header and atom.
Bytes document_numbering(const Bytes& pairs, std::u16string_view name = u"___PPT9") {
    return box(0x07D0, {box(0x1388, {box(0x138A, {cstring(0, name), rec(0x138B, rec(0x0FAE, pairs, 0, 0xF))})})});
}
Bytes numbering_pair(std::uint32_t slide_id, std::uint32_t text_type, const Bytes& atom) {
    return cat({rec(0x0FAF, words32({slide_id, text_type})), rec(0x0FAC, atom)});
}

} // namespace

TEST(PptNumbering, EntriesAreSizedFromTheirMasks) {
    const Bytes si_all = cat({words32({0x267}), halves({0, 0x409, 0x409, 0}), words32({7, 2, 11, 12})});
    struct Case {
        const char* what;
        Bytes atom;
        std::vector<std::string> want;
    };
    const Case table[] = {
        {"run id in the character part",
         cat({entry9_parts(3, words32({0x00100000, 5}), words32({0})), entry9_parts(5, NO_PARTS, {}), entry9(1)}),
         {"a:3:arabicPeriod@1", "b:3:romanLcParenR@1", "c:3:arabicPeriod@1", "d:0"}},
        {"every spelling field, two smart tags",
         cat({entry9_parts(0, words32({0}), si_all), entry9_parts(7, NO_PARTS, {}), entry9(0), entry9(1, Scheme{2, 4})}),
         {"a:3:alphaLcPeriod@1", "b:3:romanUcPeriod@1", "c:0", "d:3:arabicParenR@4"}},
        {"smart tags past the atom",
         cat({entry9(1), entry9_parts(0, words32({0}), words32({0x200, 3, 1}))}),
         {"a:3:arabicPeriod@1", "b:0", "c:0", "d:0"}},
        {"spelling bit of unknown size", cat({entry9(1), entry9_parts(0, words32({0}), words32({0x400})), entry9(1)}),
         {"a:3:arabicPeriod@1", "b:0", "c:0", "d:0"}},
        {"run id cut", cat({entry9(1), entry9_parts(0, words32({0x00100000}), {})}),
         {"a:3:arabicPeriod@1", "b:0", "c:0", "d:0"}},
        {"East Asian, Thai and Hindi schemes",
         cat({entry9(1, Scheme{0x10, 1}), entry9(1, Scheme{0x13, 2}), entry9(1, Scheme{0x1E, 1}), entry9(1, Scheme{0x28, 1})}),
         {"a:3:ea1ChsPlain@1", "b:3:circleNumWdWhitePlain@2", "c:3:thaiAlphaPeriod@1", "d:3:hindiAlpha1Period@1"}},
        {"a scheme the format does not define",
         cat({entry9(1, Scheme{0x29, 2}), entry9(1, Scheme{0xFFFF, 1})}),
         {"a:3:arabicPeriod@2", "b:3:arabicPeriod@1", "c:0", "d:0"}},
    };
    for (const auto& c : table) EXPECT_EQ(numbering_of(cat({numbering_tags(c.atom), abcd(EACH_ITS_ENTRY)})), c.want) << c.what;
}

TEST(PptNumbering, OnlyParagraphsWhoseBulletIsOnAreNumbered) {
    const Bytes tags = numbering_tags(cat({entry9(1), entry9(1), entry9(1), entry9(1)}));
    const Bytes on = halves({1}), off = halves({0});
    // a and b inherit, c sets its bullet on, d off.
    const Bytes mixed = cat({pf_run(4, 0, 0), pf_run(2, 0, PF_HAS_BULLET, on), pf_run(2, 0, PF_HAS_BULLET, off),
                             cf_entry(2, 0), cf_entry(2, 1), cf_entry(2, 2), cf_entry(2, 3)});
    const struct {
        const char* what;
        bool body;
        std::vector<std::string> want;
    } table[] = {
        {"text box: inherited bullets are off", false, {"a:0", "b:0", "c:3:arabicPeriod@1", "d:1"}},
        {"body placeholder: inherited bullets are on", true,
         {"a:3:arabicPeriod@1", "b:3:arabicPeriod@1", "c:3:arabicPeriod@1", "d:1"}},
    };
    for (const auto& c : table) EXPECT_EQ(numbering_of(cat({tags, abcd(mixed)}), {}, c.body), c.want) << c.what;
}

TEST(PptNumbering, PlaceholderTextTakesTheDocumentsNumbering) {
    const Bytes numbered = cat({entry9(1, Scheme{7, 2}), entry9(1), entry9(1), entry9(1)});
    const Bytes outline = cat({text_header(1), chars(u"a\rb\rc\rd"), style(EACH_ITS_ENTRY)});
    const Bytes inline_body = box(0xF00D, {text_header(1), chars(u"a\rb\rc\rd"), style(EACH_ITS_ENTRY)});
    const std::vector<std::string> yes = {"a:3:romanUcPeriod@2", "b:3:arabicPeriod@1", "c:3:arabicPeriod@1",
                                          "d:3:arabicPeriod@1"};
    const std::vector<std::string> no = {"a:0", "b:0", "c:0", "d:0"};
    const std::vector<std::string> own = {"a:3:alphaUcParenR@1", "b:0", "c:0", "d:0"};
    const struct {
        const char* what;
        Bytes doc_extra, kids, list;
        bool body;
        std::vector<std::string> want;
    } table[] = {
        {"outline text of its slide and type", document_numbering(numbering_pair(256, 1, numbered)), outline_ref(0), outline,
         true, yes},
        {"the first pair of a key wins",
         document_numbering(cat({numbering_pair(256, 1, numbered), numbering_pair(256, 1, entry9(0))})), outline_ref(0),
         outline, true, yes},
        {"another slide", document_numbering(numbering_pair(257, 1, numbered)), outline_ref(0), outline, true, no},
        {"another text type", document_numbering(numbering_pair(256, 0, numbered)), outline_ref(0), outline, true, no},
        {"an atom without header", document_numbering(rec(0x0FAC, numbered)), outline_ref(0), outline, true, no},
        {"another tag", document_numbering(numbering_pair(256, 1, numbered), u"___PPT10"), outline_ref(0), outline, true, no},
        {"the shape's own extension wins", document_numbering(numbering_pair(256, 1, numbered)),
         cat({numbering_tags(entry9(1, Scheme{0x0B, 1})), outline_ref(0)}), outline, true, own},
        {"inline placeholder text", document_numbering(numbering_pair(256, 1, numbered)), inline_body, {}, true, yes},
        {"inline text of a text box", document_numbering(numbering_pair(256, 1, numbered)), inline_body, {}, false, no},
    };
    for (const auto& c : table) EXPECT_EQ(numbering_of(c.kids, c.list, c.body, c.doc_extra), c.want) << c.what;
}

namespace {

// A master's text style of `type` whose levels each set the bullet on or
// off, or (none) say nothing of it.
Bytes master_style(std::uint16_t type, std::initializer_list<std::optional<bool>> levels) {
    Bytes b = halves({static_cast<std::uint16_t>(levels.size())});
    std::uint16_t n = 0;
    for (const auto on : levels) {
        if (type >= 5) b = cat({b, halves({n})});
        b = cat({b, on ? cat({words32({PF_HAS_BULLET}), halves({*on})}) : words32({0}), words32({0x20000}), halves({2400})});
        ++n;
    }
    return rec(0x0FA3, b, type);
}

// The Markdown of a slide following `master_id` that shows "a" (level 0) and
// "b" (level 1) of `text_type`, in a text box unless `data` says otherwise;
// styles of master 0x80000000, of title master 0x80000001 and the document's.
std::string styled_markdown(const Bytes& styles, const Bytes& title_styles, const Bytes& box_style,
                            std::uint32_t master_id, std::uint32_t text_type, const Bytes& data) {
    const Bytes text = box(0xF00D, {text_header(text_type), chars(u"a\rb"), style(cat({pf_run(2, 0, 0), pf_run(2, 1, 0), cf_run(4)}))});
    const Bytes slide = box(0x03EE, {rec(0x03EF, words32({1, 0, 0, master_id, 0, 0}), 0, 2),
                                     drawing({sp({fsp(10, 0xA00, 202), data, text})})});
    const Bytes title_master = box(0x03EE, {rec(0x03EF, words32({2, 0, 0, 0x80000000, 0, 0}), 0, 2), title_styles});
    Bytes doc = box(0x03E8, {document_atom(5760, 4320), box(0x03F2, {box_style}),
                             box(0x0FF0, {persist_atom(3, 0x80000000), persist_atom(4, 0x80000001)}, 1),
                             box(0x0FF0, {persist_atom(2, 256)}, 0)});
    std::vector<std::uint32_t> at = {0};
    for (const Bytes& r : {slide, box(0x03F8, {styles}), title_master}) {
        at.push_back(static_cast<std::uint32_t>(doc.size()));
        doc = cat({doc, r});
    }
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {at[0], at[1], at[2], at[3]})});
    Cfb c;
    c.stream(u"Current User", current_user(static_cast<std::uint32_t>(doc.size())));
    c.stream(u"PowerPoint Document", cat({doc, user_edit(0, dir_at, 1)}));
    auto opened = vantrell_core::document::Document::from_source(std::make_shared<vantrell_core::zip::MemorySource>(c.build()));
    auto s = opened ? opened->slide(0) : std::unexpected(opened.error());
    vantrell_core::text::ExtractReport report;
    return s ? s->markdown({}, report) : s.error().message();
}

} // namespace

TEST(PptMasterStyles, InheritedBulletsFollowTheTextTypesStyle) {
    const std::optional<bool> on = true, off = false;
    const Bytes body_on = master_style(1, {on, {}}), body_off = master_style(1, {off}), ph = placeholder(0x0E, 1);
    const std::string bullets = "- a\n  - b", plain = "a\n\nb";
    const struct {
        const char* what;
        Bytes styles, title_styles, box_style;
        std::uint32_t master_id, text_type;
        Bytes data;
        std::string want;
    } table[] = {
        {"a body text box, level 1 taking level 0's", body_on, {}, {}, 0x80000000, 1, {}, bullets},
        {"a level of its own", master_style(1, {on, off}), {}, {}, 0x80000000, 1, {}, "- a\n\nb"},
        {"a body placeholder the master turns off", body_off, {}, {}, 0x80000000, 1, ph, plain},
        {"numbering on a body text box", body_on, {}, {}, 0x80000000, 1, numbering_tags(entry9(1)), "1. a\n   1. b"},
        {"title text takes the title's", cat({body_on, master_style(0, {off})}), {}, {}, 0x80000000, 0, {}, plain},
        {"other text the document's", body_on, {}, master_style(4, {off}), 0x80000000, 4, {}, plain},
        {"half body falls back on body", body_on, {}, {}, 0x80000000, 7, {}, bullets},
        {"centred body's own first", cat({body_on, master_style(5, {off})}), {}, {}, 0x80000000, 5, {}, plain},
        {"a title master's own", body_on, body_off, {}, 0x80000001, 1, {}, plain},
        {"a title master without, its master's", body_on, {}, {}, 0x80000001, 1, {}, bullets},
        {"a master the deck does not list", body_off, {}, master_style(4, {on}), 0x80000009, 1, {}, bullets},
        {"more levels than the format has", master_style(1, {on, on, on, on, on, on}), {}, {}, 0x80000000, 1, {}, plain},
        {"a level number past the last", rec(0x0FA3, cat({halves({1, 9}), words32({1}), halves({1}), words32({0})}), 7), {},
         {}, 0x80000000, 7, {}, plain},
        {"a mask bit of unknown size", rec(0x0FA3, cat({halves({1}), words32({0x400001}), halves({1, 1})}), 1), {}, {},
         0x80000000, 1, {}, plain},
        {"a cut atom", rec(0x0FA3, Bytes(body_on.begin() + 8, body_on.end() - 1), 1), {}, {}, 0x80000000, 1, {}, plain},
    };
    for (const auto& c : table)
        EXPECT_EQ(styled_markdown(c.styles, c.title_styles, c.box_style, c.master_id, c.text_type, c.data),
                  "# Slide 1\n\n" + c.want)
            << c.what;
}

namespace {

// Header/footer settings: the atom (date format, flags), then the user
// date and footer texts when given.
Bytes headers_footers(std::uint16_t instance, std::uint16_t flags, std::u16string_view date = {},
                      std::u16string_view footer = {}) {
    Bytes kids = rec(0x0FDA, halves({0, flags}));
    if (!date.empty()) kids = cat({kids, cstring(0, date)});
    if (!footer.empty()) kids = cat({kids, cstring(2, footer)});
    return rec(0x0FD9, kids, instance, 0xF);
}
constexpr std::uint16_t HF_DATE = 0x01, HF_TODAY = 0x02, HF_USER_DATE = 0x04, HF_NUMBER = 0x08, HF_FOOTER = 0x20;

// A master (id 0x80000000) and a title master (0x80000001), each holding
// date, footer and slide-number placeholders, and a slide that follows
// `master_id`; the document's children `doc_extra`, the slide's
// `slide_extra` and `shapes`. The master's slide number has no text of its
// own and a second footer follows the first.
Bytes furniture_stream(const Bytes& doc_extra, const Bytes& slide_extra, const Bytes& shapes, std::uint32_t master_id,
                       Bytes& user) {
    const Bytes placeholders = drawing({
        sp({fsp(3, 0xA00, 202), placeholder(0x07), box(0xF00D, {text_header(4), chars(u"*"), field(0x0FF8, 0)})}),
        sp({fsp(4, 0xA00, 202), placeholder(0x09), box(0xF00D, {text_header(4), chars(u"*"), field(FOOTER, 0)})}),
        sp({fsp(5, 0xA00, 202), placeholder(0x08)}),
        sp({fsp(6, 0xA00, 202), placeholder(0x09), inline_text(u"second footer")}),
    });
    const Bytes master = box(0x03F8, {placeholders});
    const Bytes title_master = box(0x03EE, {slide_atom(), placeholders});
    Bytes atom = words32({1, 0, 0, master_id, 0});
    le32(atom, 0);
    const Bytes slide = box(0x03EE, {rec(0x03EF, atom, 0, 2), slide_extra, drawing({shapes})});
    Bytes doc = box(0x03E8, {document_atom(5760, 4320, 4), doc_extra,
                             box(0x0FF0, {persist_atom(3, 0x80000000), persist_atom(4, 0x80000001)}, 1),
                             box(0x0FF0, {persist_atom(2, 256)}, 0)});
    const auto slide_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, slide});
    const auto master_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, master});
    const auto title_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, title_master});
    const auto dir_at = static_cast<std::uint32_t>(doc.size());
    doc = cat({doc, persist_dir(1, {0, slide_at, master_at, title_at})});
    user = current_user(static_cast<std::uint32_t>(doc.size()));
    return cat({doc, user_edit(0, dir_at, 1)});
}

} // namespace

TEST(PptFurniture, TheMasterDrawsWhatTheSettingsShow) {
    const Bytes own_footer = sp({fsp(10, 0xA00, 202), client_data({round_trip_hf(0x09)}), inline_text(u"mine")});
    const struct {
        const char* what;
        Bytes doc_extra, slide_extra, shapes;
        std::uint32_t master_id;
        std::vector<std::string> want;  // placeholder kind and runs of each shape
    } table[] = {
        {"no settings", {}, {}, {}, 0x80000000, {}},
        {"footer and number for the deck", headers_footers(3, HF_FOOTER | HF_NUMBER, u"", u"Deck footer"), {}, {},
         0x80000000, {"6:Deck footer", "5:[slidenum:4]"}},
        {"an automatic date shows nothing", headers_footers(3, HF_DATE | HF_TODAY, u"1 May"), {}, {}, 0x80000000,
         {"4:[datetime:]"}},
        {"a date stored as text", headers_footers(3, HF_DATE | HF_USER_DATE, u"1 May"), {}, {}, 0x80000000,
         {"4:1 May"}},
        {"date text without the date on", headers_footers(3, HF_USER_DATE, u"1 May"), {}, {}, 0x80000000, {}},
        {"the slide's own settings replace the deck's", headers_footers(3, HF_FOOTER | HF_NUMBER, u"", u"Deck"),
         headers_footers(0, HF_FOOTER, u"", u"Slide"), {}, 0x80000000, {"6:Slide"}},
        {"a slide that shows nothing", headers_footers(3, HF_FOOTER, u"", u"Deck"), headers_footers(0, 0), {},
         0x80000000, {}},
        {"notes settings are not the slides'", headers_footers(4, HF_FOOTER | HF_NUMBER, u"", u"Notes"), {}, {},
         0x80000000, {}},
        {"a footer of the slide's own stays alone", headers_footers(3, HF_FOOTER | HF_NUMBER, u"", u"Deck"), {},
         own_footer, 0x80000000, {"6:mine", "5:[slidenum:4]"}},
        {"settings atom cut", rec(0x0FD9, rec(0x0FDA, halves({0})), 3, 0xF), {}, {}, 0x80000000, {}},
        {"a master the deck does not list", headers_footers(3, HF_FOOTER, u"", u"Deck"), {}, {}, 0x80000002, {}},
        {"a title slide shows no deck settings", headers_footers(3, HF_FOOTER | HF_NUMBER, u"", u"Deck"), {}, {},
         0x80000001, {}},
        {"a title slide's own settings", headers_footers(3, HF_FOOTER, u"", u"Deck"), headers_footers(0, HF_NUMBER), {},
         0x80000001, {"5:[slidenum:4]"}},
        {"footer and date on with nothing stored", headers_footers(3, HF_FOOTER | HF_DATE | HF_USER_DATE), {}, {},
         0x80000000, {}},
        {"a footer longer than any line is no setting, as every slide would repeat it",
         headers_footers(3, HF_FOOTER | HF_NUMBER, u"", std::u16string(1025, u'x')), {}, {}, 0x80000000,
         {"5:[slidenum:4]"}},
    };
    for (const auto& c : table) {
        Bytes user;
        const Bytes doc = furniture_stream(c.doc_extra, c.slide_extra, c.shapes, c.master_id, user);
        auto deck = ppt::Deck::from_streams(user, doc, {});
        ASSERT_TRUE(deck) << c.what;
        auto s = (*deck)->slide(0);
        ASSERT_TRUE(s) << c.what;
        std::vector<std::string> got;
        for (const auto& sh : s->shapes)
            if (sh.placeholder) got.push_back(std::to_string(sh.placeholder->kind.value()) + ":" + runs_of(sh));
        EXPECT_EQ(got, c.want) << c.what;
    }
    // Every byte of such a deck flipped: no crash.
    Bytes user;
    const Bytes doc = furniture_stream(headers_footers(3, HF_DATE | HF_USER_DATE | HF_FOOTER | HF_NUMBER, u"d", u"f"),
                                       headers_footers(0, HF_FOOTER, u"", u"s"), own_footer, 0x80000000, user);
    for (std::size_t i = 0; i < doc.size(); ++i) {
        Bytes bad = doc;
        bad[i] ^= 0xFF;
        if (auto deck = ppt::Deck::from_streams(user, bad, {})) {
            auto s = (*deck)->slide(0);
            EXPECT_TRUE(!s || s->shapes.size() <= 4u) << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Real decks.

namespace {

std::vector<std::filesystem::path> corpus_decks() {
    std::vector<std::filesystem::path> out;
    const auto dir = testkit::corpus_dir();
    if (!dir) return out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(*dir, ec)) {
        std::string ext = e.path().extension().string();
        std::ranges::transform(ext, ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (ext == ".ppt") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

Bytes read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), {});
}

// A deck's own chain of saves, read apart from the reader from the format
// alone: the persist map it builds (newer edits win) and whether it holds
// (the current user names an edit, every directory is one its entries fill,
// each older edit lies before the newer, and the map reaches the document
// and every slide of its slide list). A recovery is judged by this.
class OwnChain {
public:
    OwnChain(const Bytes& user, const Bytes& doc) : doc_(doc) {
        holds_ = walk(user) && document() && std::ranges::all_of(list(0), [&](std::uint32_t id) {
            return object(id, 0x03EE).has_value();
        });
    }
    bool holds() const { return holds_; }

    // The text the live slide list, slides and notes store, an atom a line;
    // empty when the chain does not hold.
    std::string live_text() const {
        std::string out;
        if (!holds_) return out;
        for (const auto& r : kids(*document()))
            if (r.type == 0x0FF0 && r.instance == 0) {
                texts(r, out, 0);
                break;
            }
        for (const auto& [instance, type] : {std::pair{0, 0x03EE}, {2, 0x03F0}})
            for (const std::uint32_t id : list(static_cast<std::uint16_t>(instance)))
                if (auto r = object(id, static_cast<std::uint16_t>(type))) texts(*r, out, 0);
        return out;
    }

private:
    struct Head {
        std::uint16_t type = 0, instance = 0;
        bool container = false;
        std::size_t body = 0, len = 0;  // the body as far as the bounds allow
        bool whole = false;             // the body lies wholly inside them
    };

    std::uint32_t u32(std::size_t at) const { return TwoSaves::u32_at(doc_, at); }
    std::optional<Head> head(std::size_t at, std::size_t end) const {
        if (at > end || end - at < 8) return std::nullopt;
        const std::uint32_t len = u32(at + 4);
        const std::uint16_t vi = static_cast<std::uint16_t>(doc_[at] | doc_[at + 1] << 8);
        return Head{static_cast<std::uint16_t>(doc_[at + 2] | doc_[at + 3] << 8), static_cast<std::uint16_t>(vi >> 4),
                    (vi & 0xF) == 0xF, at + 8, std::min<std::size_t>(len, end - at - 8), len <= end - at - 8};
    }
    std::vector<Head> kids(const Head& h) const {
        std::vector<Head> out;
        for (auto r = head(h.body, h.body + h.len); r && r->whole; r = head(r->body + r->len, h.body + h.len))
            out.push_back(*r);
        return out;
    }
    std::optional<Head> object(std::uint32_t id, std::uint16_t type) const {
        const auto it = persist_.find(id);
        auto r = it == persist_.end() ? std::nullopt : head(it->second, doc_.size());
        return r && r->type == type ? r : std::nullopt;
    }
    std::optional<Head> document() const { return object(doc_ref_, 0x03E8); }
    // The persist ids a list of the document names (0 slides, 2 notes).
    std::vector<std::uint32_t> list(std::uint16_t instance) const {
        std::vector<std::uint32_t> ids;
        for (const auto& r : kids(*document())) {
            if (r.type != 0x0FF0 || r.instance != instance) continue;
            for (const auto& k : kids(r))
                if (k.type == 0x03F3 && k.len >= 16) ids.push_back(u32(k.body));
            break;
        }
        return ids;
    }
    bool walk(const Bytes& user) {
        if (user.size() < 20 || (user[2] | user[3] << 8) != 0x0FF6) return false;
        bool newest = true;
        for (std::uint32_t at = TwoSaves::u32_at(user, 16);;) {
            const auto edit = head(at, doc_.size());
            if (!edit || edit->type != 0x0FF5 || !edit->whole || edit->len < 0x1C) return false;
            const std::uint32_t last = u32(edit->body + 8), directory = u32(edit->body + 12);
            if (newest) doc_ref_ = u32(edit->body + 16);
            newest = false;
            const auto dir = head(directory, doc_.size());
            if (!dir || (dir->type != 0x1771 && dir->type != 0x1772) || !dir->whole) return false;
            for (std::size_t pos = dir->body, end = dir->body + dir->len; pos < end;) {
                if (end - pos < 4) return false;
                const std::uint32_t first = u32(pos) & 0xFFFFF;
                const std::size_t n = u32(pos) >> 20;
                if (n > (end - pos - 4) / 4) return false;
                for (std::size_t k = 0; k < n; ++k)
                    persist_.try_emplace(first + static_cast<std::uint32_t>(k), u32(pos + 4 + 4 * k));
                pos += 4 + 4 * n;
            }
            if (last == 0) return true;
            if (last >= at) return false;
            at = last;
        }
    }
    void texts(const Head& h, std::string& out, int depth) const {
        for (const auto& r : kids(h)) {
            if (r.type == 0x0FA0 || r.type == 0x0FA8) {
                std::u16string units;
                for (std::size_t i = 0; r.type == 0x0FA8 ? i < r.len : i + 1 < r.len; i += r.type == 0x0FA8 ? 1 : 2)
                    units += r.type == 0x0FA8 ? char16_t{doc_[r.body + i]}
                                              : static_cast<char16_t>(doc_[r.body + i] | doc_[r.body + i + 1] << 8);
                for (char16_t& c : units)
                    if (c == u'\r' || c == u'\v') c = u'\n';
                out += vantrell_core::encoding::utf8_of_utf16(units) + '\n';
            } else if (r.container && depth < 32) {
                texts(r, out, depth + 1);
            }
        }
    }

    const Bytes& doc_;
    std::map<std::uint32_t, std::uint32_t> persist_;
    std::uint32_t doc_ref_ = 0;
    bool holds_ = false;
};

std::string deck_text(const ppt::Deck& deck) {
    std::string out;
    for (std::size_t i = 0; i < deck.slide_count(); ++i) {
        if (auto s = deck.slide(i)) out += all_text(*s);
        if (auto n = deck.notes(i); n && *n) out += all_text(**n);
    }
    return out;
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// What catppt prints for the deck: its text records in stream order.
std::string catppt_text(const std::filesystem::path& p) {
    const std::string cmd = "catppt -d utf-8 '" + p.string() + "' 2>/dev/null";
    std::string out;
    if (FILE* f = popen(cmd.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        pclose(f);
    }
    return out;
}

// Adds to `total` the words of `theirs` that the deck's live slides and
// notes store (catppt also prints masters, document strings and text left
// over from older saves) and to `found` those `ours` holds; gives those it
// lacks. A field's stand-in character is no word.
std::vector<std::string> count_words(const std::string& ours, const std::string& theirs, const std::string& live,
                                     std::size_t& total, std::size_t& found) {
    const auto mine = words_of(ours), stored = words_of(live);
    const std::set<std::string> have(mine.begin(), mine.end()), wanted(stored.begin(), stored.end());
    std::vector<std::string> lost;
    for (const auto& w : words_of(theirs)) {
        if (!wanted.count(w) || w.find_first_not_of('*') == std::string::npos) continue;
        ++total;
        found += have.count(w);
        if (!have.count(w)) lost.push_back(w);
    }
    return lost;
}

struct Streams {
    Bytes user, doc, pictures;
};

// The three streams of a deck in `storage`; none without a document stream.
std::optional<Streams> streams_in(const cfb::Compound& file, std::uint32_t storage) {
    Streams s;
    for (auto [name, out] : {std::pair{"Current User", &s.user}, {"PowerPoint Document", &s.doc}, {"Pictures", &s.pictures}}) {
        const auto id = file.child(storage, name);
        if (!id) continue;
        auto bytes = file.read_stream(*id);
        if (bytes) out->assign(bytes->begin(), bytes->end());
    }
    if (s.doc.empty()) return std::nullopt;
    return s;
}

// The streams a reader of the 97 format takes: the dual storage's when there
// is one.
std::optional<Streams> deck_streams(const cfb::Compound& file) {
    const auto dual = file.child(0, "PP97_DUALSTORAGE");
    return streams_in(file, dual && file.entries()[*dual].is_storage() ? *dual : 0);
}

} // namespace

TEST(PptCorpus, EveryDeckOpensOrFailsCleanly) {
    const auto decks = corpus_decks();
    if (decks.empty()) GTEST_SKIP() << "no corpus";
    std::size_t opened = 0;
    for (const auto& p : decks) {
        auto file = cfb::Compound::parse(read_file(p));
        if (!file) continue;
        auto deck = ppt::Deck::open(*file);
        if (!deck) {
            EXPECT_FALSE(deck.error().message().empty()) << p;
            continue;
        }
        ++opened;
        for (std::size_t i = 0; i < (*deck)->slide_count(); ++i) {
            auto s = (*deck)->slide(i);
            if (!s) continue;
            for (const auto& img : (*deck)->images(*s)) {
                auto bytes = (*deck)->picture_bytes(img.pib);
                if (bytes && img.content_type == "image/png") {
                    ASSERT_GE(bytes->size(), 8u) << p;
                    EXPECT_EQ((*bytes)[1], 'P') << p << " " << img.part;
                }
            }
        }
    }
    EXPECT_GT(opened, decks.size() / 2);
}

TEST(PptCorpus, TextHoldsTheWordsCatpptPrints) {
    const auto decks = corpus_decks();
    if (decks.empty()) GTEST_SKIP() << "no corpus";
    if (std::system("command -v catppt >/dev/null 2>&1") != 0) GTEST_SKIP() << "catppt not installed";
    std::size_t total = 0, found = 0;
    for (const auto& p : decks) {
        auto file = cfb::Compound::parse(read_file(p));
        if (!file) continue;
        auto deck = ppt::Deck::open(*file);
        const auto streams = deck_streams(*file);
        if (!deck || !streams) continue;
        const auto lost =
            count_words(deck_text(**deck), catppt_text(p), OwnChain(streams->user, streams->doc).live_text(), total, found);
        EXPECT_EQ(lost, std::vector<std::string>{}) << p;
    }
    if (total == 0) GTEST_SKIP() << "no legacy deck with slide text";
    const double share = static_cast<double>(found) / static_cast<double>(total);
    std::printf("share of catppt's words found: %.4f of %zu\n", share, total);
}

TEST(PptCorpus, OutlinesKeepTheirLevelsAndBullets) {
    struct Expect {
        const char* deck;
        std::size_t slide;
        const char* text;
        int level;
        BK kind;
        const char* bullet;
    };
    const Expect cases[] = {
        {"poi--slideshow_41246-1.ppt", 6, "Statistical profilers", 0, BK::inherited, ""},
        {"poi--slideshow_41246-1.ppt", 6, "Sampling", 1, BK::inherited, ""},
        {"poi--slideshow_41246-1.ppt", 6, "looks up the call stack of each thread", 2, BK::inherited, ""},
        {"poi--slideshow_41246-1.ppt", 6, "can cause bugs", 3, BK::inherited, ""},
        {"poi--slideshow_bug58516.ppt", 3, "Thermalization", 0, BK::inherited, ""},
        {"poi--slideshow_bug58516.ppt", 3, "Hydrodynamics", 1, BK::inherited, ""},
        {"poi--slideshow_bullets.ppt", 1, "With bullets", 0, BK::character, "\xE2\x80\xA2"},
        {"poi--slideshow_bullets.ppt", 1, "bullet character", 0, BK::character, "\xE2\x98\xBA"},
    };
    const auto dir = testkit::corpus_dir();
    if (!dir) GTEST_SKIP() << "no corpus";
    std::size_t checked = 0;
    for (const auto& c : cases) {
        const auto path = *dir / c.deck;
        if (!std::filesystem::exists(path)) continue;
        auto file = cfb::Compound::parse(read_file(path));
        ASSERT_TRUE(file) << c.deck;
        auto deck = ppt::Deck::open(*file);
        ASSERT_TRUE(deck) << c.deck;
        auto s = (*deck)->slide(c.slide);
        ASSERT_TRUE(s) << c.deck;
        std::vector<ParaView> found;
        for (const auto& sh : s->walk())
            for (const auto& p : paras(sh))
                if (p.text == c.text) found.push_back(p);
        EXPECT_EQ(found, (std::vector<ParaView>{{c.text, c.level, c.kind, c.bullet}})) << c.deck;
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no corpus";
}

TEST(PptCorpus, OleFramesNameTheirPrograms) {
    const auto dir = testkit::corpus_dir();
    if (!dir || !std::filesystem::exists(*dir / "poi--slideshow_ole2-embedding-2003.ppt")) GTEST_SKIP() << "no corpus";
    const auto path = *dir / "poi--slideshow_ole2-embedding-2003.ppt";
    auto file = cfb::Compound::parse(read_file(path));
    ASSERT_TRUE(file);
    auto deck = ppt::Deck::open(*file);
    ASSERT_TRUE(deck);
    std::vector<std::optional<std::string>> ids;
    for (std::size_t i = 0; i < (*deck)->slide_count(); ++i)
        if (auto s = (*deck)->slide(i))
            for (const auto& sh : s->walk())
                if (const auto* o = std::get_if<model::Ole>(&sh.content)) ids.push_back(o->prog_id ? std::optional(*o->prog_id) : std::nullopt);
    EXPECT_EQ(ids, (std::vector<std::optional<std::string>>{"Word.Document.8", "Excel.Sheet.8"}));
}

namespace {

// The three streams of a corpus deck kept at the root; none for others.
std::optional<Streams> root_streams(const std::filesystem::path& p) {
    auto file = cfb::Compound::parse(read_file(p));
    if (!file) return std::nullopt;
    auto s = streams_in(*file, 0);
    if (!s || s->user.size() < 20) return std::nullopt;
    return s;
}

} // namespace

TEST(PptCorpus, BrokenChainsLoseNoSlide) {
    const auto decks = corpus_decks();
    if (decks.empty()) GTEST_SKIP() << "no corpus";
    const bool have_catppt = std::system("command -v catppt >/dev/null 2>&1") == 0;
    std::size_t damaged = 0, total = 0, found = 0;
    for (const auto& p : decks) {
        const auto s = root_streams(p);
        if (!s) continue;
        auto sound = ppt::Deck::from_streams(s->user, s->doc, s->pictures);
        if (!sound) continue;
        // A deck that comes damaged needs recovery; no other does.
        const OwnChain own(s->user, s->doc);
        EXPECT_EQ((*sound)->recovered(), !own.holds()) << p;
        if (!own.holds()) continue;
        const auto expected = slides_and_notes(**sound);
        const std::uint32_t newest = TwoSaves::u32_at(s->user, 16);
        const struct {
            const char* what;
            std::size_t at;
            std::uint32_t value;
        } links[] = {
            {"newest edit links to itself", newest + EDIT_LAST, newest},
            {"newest directory past the stream", newest + EDIT_DIRECTORY, 0xFFFFFF00u},
        };
        for (const auto& c : links) {
            Bytes doc = s->doc;
            set32(doc, c.at, c.value);
            auto deck = ppt::Deck::from_streams(s->user, doc, s->pictures);
            ASSERT_TRUE(deck) << p << ": " << c.what;
            EXPECT_TRUE((*deck)->recovered());
            EXPECT_EQ(slides_and_notes(**deck), expected) << p << ": " << c.what;
        }
        auto deck = ppt::Deck::from_streams(current_user(7), s->doc, s->pictures);
        ASSERT_TRUE(deck) << p;
        EXPECT_EQ(slides_and_notes(**deck), expected) << p << ": current user names no edit";

        // Every edit and directory destroyed: what is left comes from the
        // containers themselves.
        Bytes doc = s->doc;
        for (std::uint32_t at = newest, steps = 0; at != 0 && at + 36 <= doc.size() && steps < 1000; ++steps) {
            const std::uint32_t last = TwoSaves::u32_at(doc, at + EDIT_LAST);
            const std::uint32_t dir = TwoSaves::u32_at(doc, at + EDIT_DIRECTORY);
            set32(doc, at, 0xFFFFFFFFu);
            if (dir + 8 <= doc.size()) set32(doc, dir, 0xFFFFFFFFu);
            at = last < at ? last : 0;
        }
        deck = ppt::Deck::from_streams(s->user, doc, s->pictures);
        ASSERT_TRUE(deck) << p << ": " << deck.error().message();
        EXPECT_GE((*deck)->slide_count(), (*sound)->slide_count()) << p;
        ++damaged;
        if (!have_catppt) continue;
        // catppt follows no chain: its text of the sound deck stands.
        (void)count_words(deck_text(**deck), catppt_text(p), own.live_text(), total, found);
    }
    if (damaged == 0) GTEST_SKIP() << "no sound legacy deck";
    if (!have_catppt || total == 0) return;
    const double share = static_cast<double>(found) / static_cast<double>(total);
    std::printf("%zu decks with damaged chains: share of catppt's words found: %.4f of %zu\n", damaged, share, total);
    EXPECT_GE(share, 0.98);
}
