#include "core/ppt.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/bytes.h"
#include "core/encoding.h"
#include "core/hash.h"
#include "core/inflate.h"

namespace vantrell_core::ppt {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Record types.
enum : std::uint16_t {
    rt_document = 0x03E8,
    rt_document_atom = 0x03E9,
    rt_slide = 0x03EE,
    rt_slide_atom = 0x03EF,
    rt_notes = 0x03F0,
    rt_main_master = 0x03F8,
    rt_environment = 0x03F2,
    rt_persist_atom = 0x03F3,
    rt_slide_show_info = 0x03F9,
    rt_ex_obj_list = 0x0409,
    rt_drawing_group = 0x040B,
    rt_drawing = 0x040C,
    rt_doc_info_list = 0x07D0,
    rt_round_trip_hf = 0x0420,
    rt_ex_obj_ref = 0x0BC1,
    rt_placeholder = 0x0BC3,
    rt_outline_text_ref = 0x0F9E,
    rt_text_header = 0x0F9F,
    rt_text_chars = 0x0FA0,
    rt_style_text_prop = 0x0FA1,
    rt_text_master_style = 0x0FA3,
    rt_text_bytes = 0x0FA8,
    rt_style_text_prop9 = 0x0FAC,
    rt_outline_text_props9 = 0x0FAE,
    rt_outline_text_props_header = 0x0FAF,
    rt_cstring = 0x0FBA,
    rt_ex_ole_obj = 0x0FC3,
    rt_ex_embed = 0x0FCC,
    rt_ex_ole_link = 0x0FCE,
    rt_slide_number_field = 0x0FD8,
    rt_headers_footers = 0x0FD9,
    rt_headers_footers_atom = 0x0FDA,
    rt_ex_control = 0x0FEE,
    rt_list_with_text = 0x0FF0,
    rt_user_edit = 0x0FF5,
    rt_current_user = 0x0FF6,
    rt_date_time_field = 0x0FF7,
    rt_generic_date_field = 0x0FF8,
    rt_header_field = 0x0FF9,
    rt_footer_field = 0x0FFA,
    rt_rtf_date_time_field = 0x1015,
    rt_prog_tags = 0x1388,
    rt_prog_binary_tag = 0x138A,
    rt_binary_tag_data = 0x138B,
    rt_persist_full = 0x1771,
    rt_persist_directory = 0x1772,
    rt_crypt_session = 0x2F14,
    // Drawing records.
    rt_dgg = 0xF000,
    rt_bstore = 0xF001,
    rt_dg = 0xF002,
    rt_spgr = 0xF003,
    rt_sp = 0xF004,
    rt_fbse = 0xF007,
    rt_fspgr = 0xF009,
    rt_fsp = 0xF00A,
    rt_fopt = 0xF00B,
    rt_client_textbox = 0xF00D,
    rt_child_anchor = 0xF00F,
    rt_client_anchor = 0xF010,
    rt_client_data = 0xF011,
    rt_blip_emf = 0xF01A,
    rt_blip_wmf = 0xF01B,
    rt_blip_pict = 0xF01C,
    rt_blip_jpeg = 0xF01D,
    rt_blip_png = 0xF01E,
    rt_blip_dib = 0xF01F,
    rt_blip_tiff = 0xF029,
    rt_blip_jpeg2 = 0xF02A,
    rt_blip_first = 0xF018,
    rt_blip_last = 0xF117,
    rt_fopt2 = 0xF121,
    rt_fopt3 = 0xF122,
};

// OfficeArtFSP flags.
enum : std::uint32_t {
    sp_group = 0x001,
    sp_patriarch = 0x004,
    sp_deleted = 0x008,
    sp_ole = 0x010,
    sp_flip_h = 0x040,
    sp_flip_v = 0x080,
    sp_connector = 0x100,
    sp_background = 0x400,
};

// Property ids (OfficeArtFOPTE opid, bits 0-13).
enum : std::uint16_t {
    op_rotation = 0x0004,
    op_pib = 0x0104,
    op_name = 0x0380,
    op_description = 0x0381,
    op_gtext_unicode = 0x00C0,
    op_table = 0x039F,
    op_group_bools = 0x03BF,
};

constexpr std::uint32_t TOKEN_ENCRYPTED = 0xF3D1C4DF;
constexpr const char* OLDER_THAN_97 = "presentations older than PowerPoint 97";
constexpr std::uint16_t SHAPE_TEXT_BOX = 202;
constexpr std::uint16_t SHAPE_PICTURE_FRAME = 75;
// Persist directory entries read over the whole edit chain, at most: a
// hostile chain re-listing one directory many times costs bounded work.
constexpr std::size_t MAX_PERSIST_ENTRIES = std::size_t{1} << 22;
// Inflated metafile pictures larger than this are refused.
constexpr std::size_t MAX_METAFILE_NBYTES = std::size_t{256} << 20;
// A table grid larger than this stays a plain group.
constexpr std::size_t MAX_TABLE_CELLS = std::size_t{1} << 16;

using bytes::load_le16;
using bytes::load_le32;

std::int32_t s32(Bytes b, std::size_t at) { return static_cast<std::int32_t>(load_le32(b, at)); }
std::int16_t s16(Bytes b, std::size_t at) { return static_cast<std::int16_t>(load_le16(b, at)); }

struct Rec {
    std::uint16_t ver = 0;
    std::uint16_t instance = 0;
    std::uint16_t type = 0;
    std::size_t at = 0;  // of the header, within the span it was read from
    Bytes body;
};

// The record whose header starts at `at`; none unless header and body lie
// wholly inside `s`.
std::optional<Rec> rec_at(Bytes s, std::size_t at) {
    if (at > s.size() || s.size() - at < 8) return std::nullopt;
    const std::uint16_t vi = load_le16(s, at);
    const std::uint32_t len = load_le32(s, at + 4);
    if (len > s.size() - at - 8) return std::nullopt;
    return Rec{static_cast<std::uint16_t>(vi & 0xF), static_cast<std::uint16_t>(vi >> 4), load_le16(s, at + 2), at,
               s.subspan(at + 8, len)};
}

// The same, but a body running past the end of `s` is cut at the end: a
// truncated stream keeps what it still holds of a top-level container.
std::optional<Rec> rec_at_clamped(Bytes s, std::size_t at) {
    if (at > s.size() || s.size() - at < 8) return std::nullopt;
    const std::uint16_t vi = load_le16(s, at);
    const std::size_t len = std::min<std::size_t>(load_le32(s, at + 4), s.size() - at - 8);
    return Rec{static_cast<std::uint16_t>(vi & 0xF), static_cast<std::uint16_t>(vi >> 4), load_le16(s, at + 2), at,
               s.subspan(at + 8, len)};
}

// The child records of a container body, in order, up to the first that
// does not fit.
class Kids {
public:
    explicit Kids(Bytes body) : s_(body) {}
    std::optional<Rec> next() {
        auto r = rec_at(s_, pos_);
        if (!r) {
            pos_ = s_.size();
            return std::nullopt;
        }
        pos_ = r->at + 8 + r->body.size();
        return r;
    }

private:
    Bytes s_;
    std::size_t pos_ = 0;
};

std::optional<Rec> child(Bytes body, std::uint16_t type, int instance = -1) {
    Kids k(body);
    while (auto r = k.next())
        if (r->type == type && (instance < 0 || r->instance == instance)) return r;
    return std::nullopt;
}

void append_units(std::u16string& out, Bytes body, bool bytes) {
    // Room for the whole atom at once (reserve still grows a string by
    // doubling when asked for a little more): grown a unit at a time, a huge
    // text leaves freed blocks in the calling thread's heap, which each of
    // many threads reading such a deck then keeps.
    out.reserve(out.size() + (bytes ? body.size() : body.size() / 2));
    if (bytes) {
        for (const std::uint8_t c : body) out.push_back(static_cast<char16_t>(c));
    } else {
        for (std::size_t i = 0; i + 1 < body.size(); i += 2) out.push_back(static_cast<char16_t>(load_le16(body, i)));
    }
}

// A NUL-terminated UTF-16LE property string.
std::string wide_string(Bytes data) {
    std::u16string s;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(load_le16(data, i));
        if (c == 0) break;
        s.push_back(c);
    }
    return encoding::utf8_of_utf16(s);
}

// One paragraph run of a StyleTextPropAtom: the paragraphs whose first
// character it covers take its level and bullet.
struct ParaStyle {
    std::size_t nchars = 0;
    std::uint8_t level = 0;
    model::Bullet bullet;
};

// Paragraph-formatting mask bits (PFMasks).
enum : std::uint32_t {
    pf_has_bullet = 0x000001,
    pf_bullet_flags = 0x00000F,  // any of these brings the bullet flags
    pf_bullet_char = 0x000080,
    pf_tab_stops = 0x100000,
    // Bits that select a field of a paragraph exception; any other bit
    // stands for a field of unknown size.
    pf_known = 0x3FFDFF,
};

// The fields a mask selects, in stored order, with their sizes in bytes;
// the tab stops (size 0 here) are a count and four bytes per stop.
struct PfField {
    std::uint32_t mask;
    std::uint8_t nbytes;
};
constexpr PfField PF_FIELDS[] = {
    {pf_bullet_flags, 2},
    {pf_bullet_char, 2},
    {0x000010, 2},     // bullet font
    {0x000040, 2},     // bullet size
    {0x000020, 4},     // bullet colour
    {0x000800, 2},     // alignment
    {0x001000, 2},     // line spacing
    {0x002000, 2},     // space before
    {0x004000, 2},     // space after
    {0x000100, 2},     // left margin
    {0x000400, 2},     // indent
    {0x008000, 2},     // default tab
    {pf_tab_stops, 0},
    {0x010000, 2},     // font align
    {0x0E0000, 2},     // wrap flags
    {0x200000, 2},     // text direction
};

// Levels above this do not exist in the format; a record holding one is
// damaged.
constexpr std::uint16_t MAX_PARA_LEVEL = 4;

// The bullet a paragraph exception sets, read from its fields at `pos`
// (just after its mask), which it moves past them; inherited when the
// exception says nothing of the bullet, none when the fields run past `b`.
// The caller has checked the mask for bits of unknown size.
std::optional<model::Bullet> paragraph_exception(Bytes b, std::size_t& pos, std::uint32_t mask) {
    std::optional<std::uint16_t> flags, bullet_char;
    for (const PfField& f : PF_FIELDS) {
        if (!(mask & f.mask)) continue;
        std::size_t n = f.nbytes;
        if (f.mask == pf_tab_stops) {
            if (b.size() - pos < 2) return std::nullopt;
            n = 2 + std::size_t{4} * load_le16(b, pos);
        }
        if (b.size() - pos < n) return std::nullopt;
        if (f.mask == pf_bullet_flags) flags = load_le16(b, pos);
        if (f.mask == pf_bullet_char) bullet_char = load_le16(b, pos);
        pos += n;
    }
    model::Bullet bullet;
    // Only the has-bullet mask bit says the flag itself is set here; the
    // other bullet bits bring the flags word for their own flags.
    if ((mask & pf_has_bullet) && flags) {
        if (*flags & 1) {
            bullet.kind = model::Bullet::Kind::character;
            const char16_t c = bullet_char.value_or(0);
            // Without a usable character of its own the paragraph still
            // shows a bullet: the common one stands in.
            const bool usable = c >= 0x20 && (c < 0xD800 || c > 0xDFFF);
            bullet.text = encoding::utf8_of_utf16(std::u16string(1, usable ? c : u'\u2022'));
        } else {
            bullet.kind = model::Bullet::Kind::none;
        }
    }
    return bullet;
}

// The paragraph runs of a StyleTextPropAtom body over a text of
// `text_nchars` UTF-16 units. The runs cover the text plus one implicit
// final character; a record whose counts overrun that, or that ends before
// covering it, is damage and gives no runs at all, so that a misaligned
// record never turns into levels. A run whose mask selects a field of
// unknown size ends the reading: the runs before it are sound, the rest of
// the text keeps the defaults. When every run was read, `end` receives
// where the character runs begin.
std::vector<ParaStyle> paragraph_styles(Bytes b, std::size_t text_nchars, std::optional<std::size_t>* end = nullptr) {
    std::vector<ParaStyle> runs;
    const std::size_t want = text_nchars + 1;
    std::size_t covered = 0, pos = 0;
    while (covered < want) {
        if (b.size() - pos < 10) return {};
        const std::uint32_t nchars = load_le32(b, pos);
        const std::uint16_t level = load_le16(b, pos + 4);
        const std::uint32_t mask = load_le32(b, pos + 6);
        pos += 10;
        if (nchars > want - covered || level > MAX_PARA_LEVEL) return {};
        if (mask & ~pf_known) return runs;
        auto bullet = paragraph_exception(b, pos, mask);
        if (!bullet) return {};
        covered += nchars;
        runs.push_back({nchars, static_cast<std::uint8_t>(level), std::move(*bullet)});
    }
    if (end) *end = pos;
    return runs;
}

// One character run of a StyleTextPropAtom: the entry of the autonumbering
// extension that the paragraphs starting in it take.
struct CharStyle {
    std::size_t nchars = 0;
    std::uint8_t entry = 0;
};

// Character-formatting mask bits (CFMasks): the low sixteen bring the style
// word, whose bits 10-13 index the autonumbering entries; the others bring
// one field each.
enum : std::uint32_t {
    cf_style = 0x0000FFFF,
    cf_style_entry = 0x3C00,
    cf_known = 0x07FFFFFF,
};
constexpr PfField CF_FIELDS[] = {
    {cf_style, 2},
    {0x00010000, 2},   // font
    {0x00200000, 2},   // old East Asian font
    {0x00400000, 2},   // ANSI font
    {0x00800000, 2},   // symbol font
    {0x00020000, 2},   // size
    {0x00040000, 4},   // colour
    {0x00080000, 2},   // position
    {0x00100000, 4},   // PowerPoint 2002 run id
    {0x01000000, 2},   // new East Asian font
    {0x02000000, 2},   // complex-script font
    {0x04000000, 4},   // PowerPoint 2003 extension
};

// The autonumbering entry a character exception names, read from its
// fields at `pos` (just after its mask), which it moves past them; none
// when the fields run past `b`. The caller has checked the mask for bits of
// unknown size.
std::optional<std::uint8_t> character_exception(Bytes b, std::size_t& pos, std::uint32_t mask) {
    std::uint8_t entry = 0;
    for (const PfField& f : CF_FIELDS) {
        if (!(mask & f.mask)) continue;
        if (b.size() - pos < f.nbytes) return std::nullopt;
        if (f.mask == cf_style && (mask & cf_style_entry))
            entry = static_cast<std::uint8_t>((load_le16(b, pos) & cf_style_entry) >> 10);
        pos += f.nbytes;
    }
    return entry;
}

// The character runs that begin at `at` of a StyleTextPropAtom body, over
// the same text plus its implicit end. Anything short of an exact cover (a
// count overrunning it, a field of unknown size, a cut) gives no runs: a
// misread run would number the wrong paragraphs.
std::vector<CharStyle> character_styles(Bytes b, std::size_t at, std::size_t text_nchars) {
    std::vector<CharStyle> runs;
    const std::size_t want = text_nchars + 1;
    std::size_t covered = 0, pos = at;
    while (covered < want) {
        if (pos > b.size() || b.size() - pos < 8) return {};
        const std::uint32_t nchars = load_le32(b, pos);
        const std::uint32_t mask = load_le32(b, pos + 4);
        pos += 8;
        if (nchars > want - covered || (mask & ~cf_known)) return {};
        const auto entry = character_exception(b, pos, mask);
        if (!entry) return {};
        covered += nchars;
        runs.push_back({nchars, *entry});
    }
    return runs;
}

// The bullets a master's text style (a TextMasterStyleAtom) sets, by
// indent level; a level that says nothing of the bullet, or that the atom
// lacks, is unset. An atom that cannot be read whole (more levels than the
// format has, a level number past them, a mask bit of unknown size, a cut)
// sets nothing: a misread level would turn bullets on or off at random.
using StyleBullets = std::array<std::optional<model::Bullet>, MAX_PARA_LEVEL + 1>;

StyleBullets style_bullets(const Rec& atom) {
    const Bytes b = atom.body;
    StyleBullets out;
    if (b.size() < 2 || load_le16(b, 0) > MAX_PARA_LEVEL + 1) return {};
    const std::size_t levels = load_le16(b, 0);
    std::size_t pos = 2;
    for (std::size_t i = 0; i < levels; ++i) {
        // Styles of the later text types number their levels.
        std::size_t level = i;
        if (atom.instance >= 5) {
            if (b.size() - pos < 2) return {};
            level = load_le16(b, pos);
            pos += 2;
        }
        if (level > MAX_PARA_LEVEL || b.size() - pos < 4) return {};
        const std::uint32_t pf = load_le32(b, pos);
        pos += 4;
        if (pf & ~pf_known) return {};
        auto bullet = paragraph_exception(b, pos, pf);
        if (!bullet || b.size() - pos < 4) return {};
        const std::uint32_t cf = load_le32(b, pos);
        pos += 4;
        if ((cf & ~cf_known) || !character_exception(b, pos, cf)) return {};
        if (bullet->kind != model::Bullet::Kind::inherited && !out[level]) out[level] = std::move(*bullet);
    }
    return out;
}

// Mask bits of an autonumbering entry's paragraph part, in stored order of
// their fields: picture bullet, numbered flag, scheme with start.
enum : std::uint32_t {
    pf9_bullet_picture = 0x00800000,
    pf9_numbered = 0x02000000,
    pf9_scheme = 0x01000000,
};
// Its character part has one field, its spelling part several; a bit not
// listed here has no known size.
constexpr std::uint32_t CF9_RUN_ID = 0x00100000;
constexpr PfField SI9_FIELDS[] = {
    {0x001, 2},  // spelling
    {0x002, 2},  // language
    {0x004, 2},  // alternative language
    {0x040, 2},  // bidirectional
    {0x020, 4},  // PowerPoint 2002 run id
    {0x200, 0},  // smart tags: a count, then four bytes each
};
constexpr std::uint32_t SI9_KNOWN = 0x267;

// The DrawingML name of an autonumbering scheme, or none for a value the
// format does not define.
std::string_view scheme_name(std::uint16_t scheme) {
    static constexpr std::string_view NAMES[] = {
        "alphaLcPeriod",     "alphaUcPeriod",         "arabicParenR",          "arabicPeriod",
        "romanLcParenBoth",  "romanLcParenR",         "romanLcPeriod",         "romanUcPeriod",
        "alphaLcParenBoth",  "alphaLcParenR",         "alphaUcParenBoth",      "alphaUcParenR",
        "arabicParenBoth",   "arabicPlain",           "romanUcParenBoth",      "romanUcParenR",
        "ea1ChsPlain",       "ea1ChsPeriod",          "circleNumDbPlain",      "circleNumWdWhitePlain",
        "circleNumWdBlackPlain", "ea1ChtPlain",       "ea1ChtPeriod",          "arabic1Minus",
        "arabic2Minus",      "hebrew2Minus",          "ea1JpnKorPlain",        "ea1JpnKorPeriod",
        "arabicDbPlain",     "arabicDbPeriod",        "thaiAlphaPeriod",       "thaiAlphaParenR",
        "thaiAlphaParenBoth", "thaiNumPeriod",        "thaiNumParenR",         "thaiNumParenBoth",
        "hindiAlphaPeriod",  "hindiNumPeriod",        "ea1JpnChsDbPeriod",     "hindiNumParenR",
        "hindiAlpha1Period",
    };
    return scheme < std::size(NAMES) ? NAMES[scheme] : std::string_view{};
}

// The entries of a StyleTextProp9Atom body: for each, the numbering it
// gives a paragraph, or none when it numbers nothing. Every field is sized
// from its mask; a mask bit of unknown size or a field running past the
// body ends the array there (the entries before it stand).
std::vector<std::optional<model::Bullet>> numbering_entries(Bytes b) {
    std::vector<std::optional<model::Bullet>> out;
    std::size_t pos = 0;
    auto take = [&](std::size_t n) {
        if (b.size() - pos < n) return false;
        pos += n;
        return true;
    };
    while (b.size() - pos >= 4) {
        const std::uint32_t pf = load_le32(b, pos);
        pos += 4;
        if (pf & ~(pf9_bullet_picture | pf9_numbered | pf9_scheme)) break;
        const std::size_t need = ((pf & pf9_bullet_picture) ? 2 : 0) + ((pf & pf9_numbered) ? 2 : 0) +
                                 ((pf & pf9_scheme) ? 4 : 0);
        if (b.size() - pos < need) break;
        if (pf & pf9_bullet_picture) pos += 2;
        bool numbered = false;
        if (pf & pf9_numbered) {
            numbered = load_le16(b, pos) != 0;
            pos += 2;
        }
        std::uint16_t scheme = 3;  // arabicPeriod
        std::int16_t start = 1;
        if (pf & pf9_scheme) {
            scheme = load_le16(b, pos);
            start = s16(b, pos + 2);
            pos += 4;
        }
        if (b.size() - pos < 4) break;
        const std::uint32_t cf = load_le32(b, pos);
        pos += 4;
        if ((cf & ~CF9_RUN_ID) || ((cf & CF9_RUN_ID) && !take(4))) break;
        if (b.size() - pos < 4) break;
        const std::uint32_t si = load_le32(b, pos);
        pos += 4;
        if (si & ~SI9_KNOWN) break;
        bool whole = true;
        for (const PfField& f : SI9_FIELDS) {
            if (!(si & f.mask)) continue;
            std::size_t n = f.nbytes;
            if (n == 0) n = b.size() - pos >= 4 ? 4 + std::size_t{4} * load_le32(b, pos) : SIZE_MAX;
            if (!(whole = take(n))) break;
        }
        if (!whole) break;
        if (!numbered) {
            out.emplace_back();
            continue;
        }
        const std::string_view name = scheme_name(scheme);
        out.emplace_back(model::Bullet{model::Bullet::Kind::auto_number,
                                       std::string(name.empty() ? scheme_name(3) : name),
                                       static_cast<std::uint32_t>(std::max<std::int16_t>(start, 1))});
    }
    return out;
}

// The field a metacharacter record marks; none for any other record.
std::optional<TextField> field_mark(const Rec& r) {
    TextField::Kind kind;
    switch (r.type) {
    case rt_slide_number_field: kind = TextField::Kind::slide_number; break;
    case rt_date_time_field:
    case rt_generic_date_field:
    case rt_rtf_date_time_field: kind = TextField::Kind::date; break;
    case rt_header_field: kind = TextField::Kind::header; break;
    case rt_footer_field: kind = TextField::Kind::footer; break;
    default: return std::nullopt;
    }
    if (r.body.size() < 4 || s32(r.body, 0) < 0) return std::nullopt;
    return TextField{load_le32(r.body, 0), kind};
}

// What a text's paragraphs take besides its characters and paragraph runs.
struct TextExtras {
    std::span<const TextField> fields;  // any order
    std::string_view slide_number;      // what a slide-number field shows
    std::span<const CharStyle> chars;   // covering the text, or none
    std::span<const std::optional<model::Bullet>> numbering;
    // Paragraphs that inherit their bullet, and whose level no master style
    // sets it for, show one (body placeholders).
    bool bullets_by_default = false;
    // The bullets the text inherits by level, from its masters' styles; the
    // body keeps them as its own list style.
    const model::ListStyle* inherited = nullptr;
};

// What a field shows: a slide number its number; a date, header or footer
// nothing here (a master's furniture drawn for a slide takes its deck's
// settings afterwards: `setting_fields`).
model::Run field_run(TextField::Kind kind, std::string_view slide_number) {
    model::Run r;
    r.kind = model::Run::Kind::field;
    switch (kind) {
    case TextField::Kind::slide_number:
        r.field_type = "slidenum";
        r.text = slide_number;
        break;
    case TextField::Kind::date: r.field_type = "datetime"; break;
    case TextField::Kind::header: r.field_type = "header"; break;
    case TextField::Kind::footer: r.field_type = "footer"; break;
    }
    return r;
}

// The setting text a footer or date field of copied furniture shows; empty
// for any other run.
std::string_view setting_of(const model::Run& r, std::string_view footer, std::string_view date) noexcept {
    if (r.kind != model::Run::Kind::field) return {};
    if (r.field_type == "footer") return footer;
    if (r.field_type == "datetime") return date;
    return {};
}

// The footer and date fields of a text that show a setting text. With
// `fill`, each becomes that text, as PPTX keeps it; a field whose setting
// stores nothing stays a field.
struct SettingFields {
    std::uint64_t footers = 0, dates = 0;
};
SettingFields setting_fields(model::TextBody& body, std::string_view footer, std::string_view date, bool fill) {
    SettingFields n;
    for (model::Paragraph& p : body.paragraphs)
        for (model::Run& r : p.runs) {
            const std::string_view value = setting_of(r, footer, date);
            if (value.empty()) continue;
            ++(r.field_type == "footer" ? n.footers : n.dates);
            if (!fill) continue;
            r.kind = model::Run::Kind::text;
            r.field_type.clear();
            r.text = value;
        }
    return n;
}

// Shape text: U+000D ends a paragraph, U+000B breaks a line; other control
// characters but the tab carry no text. Each paragraph takes the level and
// bullet of the style run holding its first character, and the numbering
// of the entry its first character's run names when its bullet, resolved,
// is on. A field replaces the stand-in character at its position and shows
// what `field_run` gives; one that points anywhere but at a stand-in is no
// field of this text.
model::TextBody text_body(std::u16string_view text, const std::vector<ParaStyle>& styles = {},
                          const TextExtras& extras = {}) {
    std::vector<TextField> fields(extras.fields.begin(), extras.fields.end());
    std::stable_sort(fields.begin(), fields.end(), [](const TextField& x, const TextField& y) { return x.at < y.at; });
    fields.erase(std::unique(fields.begin(), fields.end(), [](const TextField& x, const TextField& y) { return x.at == y.at; }),
                 fields.end());
    model::TextBody body;
    if (extras.inherited) body.list_style = *extras.inherited;
    model::Paragraph para;
    std::u16string run;
    std::size_t para_start = 0, style_k = 0, style_start = 0, char_k = 0, char_start = 0, field_k = 0;
    auto flush_run = [&] {
        if (run.empty()) return;
        model::Run r;
        r.text = encoding::utf8_of_utf16(run);
        para.runs.push_back(std::move(r));
        run.clear();
    };
    auto close_para = [&] {
        while (style_k < styles.size() && para_start - style_start >= styles[style_k].nchars)
            style_start += styles[style_k++].nchars;
        if (style_k < styles.size()) {
            para.level = styles[style_k].level;
            para.bullet = styles[style_k].bullet;
        }
        const auto& chars = extras.chars;
        while (char_k < chars.size() && para_start - char_start >= chars[char_k].nchars)
            char_start += chars[char_k++].nchars;
        if (char_k < chars.size() && chars[char_k].entry < extras.numbering.size() &&
            extras.numbering[chars[char_k].entry] &&
            model::legacy_bullet(para, &body.list_style, extras.bullets_by_default).kind ==
                model::Bullet::Kind::character)
            para.bullet = *extras.numbering[chars[char_k].entry];
        body.paragraphs.push_back(std::move(para));
        para = model::Paragraph{};
    };
    std::size_t next_field = fields.empty() ? text.size() : fields[0].at;
    for (std::size_t i = 0; i < text.size();) {
        const char16_t c = text[i];
        if (i == next_field) {
            const TextField& f = fields[field_k];
            next_field = ++field_k < fields.size() ? fields[field_k].at : text.size();
            if (c == u'*') {
                flush_run();
                para.runs.push_back(field_run(f.kind, extras.slide_number));
                ++i;
                continue;
            }
        }
        if (c >= 0x20 || c == 0x09) {
            // A stretch of ordinary characters goes in at once.
            const std::size_t stop = std::min(text.size(), next_field);
            std::size_t j = i + 1;
            while (j < stop && (text[j] >= 0x20 || text[j] == 0x09)) ++j;
            run.append(text.substr(i, j - i));
            i = j;
            continue;
        }
        if (c == 0x0D) {
            flush_run();
            close_para();
            para_start = i + 1;
        } else if (c == 0x0B) {
            flush_run();
            model::Run br;
            br.kind = model::Run::Kind::line_break;
            br.text = "\n";
            para.runs.push_back(std::move(br));
        }
        ++i;
    }
    flush_run();
    // A final return closes the last paragraph rather than opening another.
    if (!para.runs.empty() || body.paragraphs.empty() || text.empty() || text.back() != 0x0D) close_para();
    if (text.empty()) body.paragraphs.clear();
    return body;
}

std::int64_t clamp_emu(double v) {
    constexpr double lim = 9.0e15;
    if (!(v == v)) return 0;
    return static_cast<std::int64_t>(std::llround(std::clamp(v, -lim, lim)));
}

// Master units (1/576 inch) to EMU: 1587.5 each.
std::int64_t master_to_emu(std::int64_t v) { return clamp_emu(static_cast<double>(v) * 1587.5); }

struct Rect {
    std::int64_t l = 0, t = 0, r = 0, b = 0;
};

// Maps a group's child coordinates to EMU on the slide.
struct Frame {
    double ox = 0, oy = 0;      // EMU of the child space's origin
    double sx0 = 0, sy0 = 0;    // the child space's own origin
    double kx = 1587.5, ky = 1587.5;

    Rect map(const Rect& c) const {
        return {clamp_emu(ox + (static_cast<double>(c.l) - sx0) * kx),
                clamp_emu(oy + (static_cast<double>(c.t) - sy0) * ky),
                clamp_emu(ox + (static_cast<double>(c.r) - sx0) * kx),
                clamp_emu(oy + (static_cast<double>(c.b) - sy0) * ky)};
    }
};

Rect ltrb(Bytes b) { return {s32(b, 0), s32(b, 4), s32(b, 8), s32(b, 12)}; }

// The merged property tables of one shape; the first table listing an id wins.
struct Props {
    struct Prop {
        std::uint16_t id = 0;
        bool complex = false;
        std::uint32_t value = 0;
        Bytes data;  // complex data
    };
    std::vector<Prop> items;

    void add_table(const Rec& r) {
        const std::size_t n = std::min<std::size_t>(r.instance, r.body.size() / 6);
        std::size_t data_at = n * 6;
        // Room for a shape's first table at once: most shapes have one of a
        // dozen entries, which growing one at a time allocates five times.
        if (items.empty()) items.reserve(std::min(n, SEARCHED_ITEMS));
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint16_t opid = load_le16(r.body, i * 6);
            Prop p{static_cast<std::uint16_t>(opid & 0x3FFF), (opid & 0x8000) != 0, load_le32(r.body, i * 6 + 2), {}};
            if (p.complex) {
                // Complex data follows the entries in entry order.
                if (p.value <= r.body.size() - data_at) {
                    p.data = r.body.subspan(data_at, p.value);
                    data_at += p.value;
                } else {
                    data_at = r.body.size();
                }
            }
            add(p);
        }
    }
    const Prop* find(std::uint16_t id) const {
        for (const auto& p : items)
            if (p.id == id) return &p;
        return nullptr;
    }
    std::optional<std::uint32_t> simple(std::uint16_t id) const {
        const Prop* p = find(id);
        if (!p || p->complex) return std::nullopt;
        return p->value;
    }
    std::optional<std::string> text(std::uint16_t id) const {
        const Prop* p = find(id);
        if (!p || !p->complex) return std::nullopt;
        std::string s = wide_string(p->data);
        if (s.empty()) return std::nullopt;
        return s;
    }

private:
    // A shape has a few dozen properties; past that, ids already listed are
    // told by a bitmap of the 14-bit ids, not by a search per entry, so
    // tables repeating thousands of ids cost their size.
    static constexpr std::size_t SEARCHED_ITEMS = 64;
    std::vector<std::uint64_t> listed_;

    void add(const Prop& p) {
        if (items.size() < SEARCHED_ITEMS) {
            if (!find(p.id)) items.push_back(p);
            return;
        }
        if (listed_.empty()) {
            listed_.assign(0x4000 / 64, 0);
            for (const Prop& q : items) listed_[q.id / 64] |= std::uint64_t{1} << (q.id % 64);
        }
        const std::uint64_t bit = std::uint64_t{1} << (p.id % 64);
        if (listed_[p.id / 64] & bit) return;
        listed_[p.id / 64] |= bit;
        items.push_back(p);
    }
};

// What one OfficeArtSpContainer holds.
struct ShapeRecs {
    std::uint32_t spid = 0;
    std::uint32_t flags = 0;
    std::uint16_t shape_type = 0;
    std::optional<Rect> fspgr;
    std::optional<Rect> client_anchor;  // master units
    std::optional<Rect> child_anchor;   // parent group's space
    Props props;
    std::optional<std::uint8_t> placement;
    std::int32_t ph_position = -1;
    // The header/footer placement later versions mark a shape with instead.
    std::optional<std::uint8_t> hf_placement;
    bool has_text = false;
    std::optional<std::int32_t> outline_ref;
    std::u16string inline_text;
    std::optional<std::uint32_t> inline_text_type;
    Bytes inline_style;  // StyleTextPropAtom body of the inline text
    std::vector<TextField> inline_fields;
    Bytes numbering;     // StyleTextProp9Atom body of the shape's text
    std::optional<std::uint32_t> ex_obj_id;
};

// The first record of `type` in the data of a binary tag named "___PPT9"
// among programmable tags (a shape's or the document's).
std::optional<Rec> ppt9_record(Bytes tags, std::uint16_t type) {
    static constexpr std::u16string_view NAME = u"___PPT9";
    Kids k(tags);
    while (auto tag = k.next()) {
        if (tag->type != rt_prog_binary_tag) continue;
        const auto name = child(tag->body, rt_cstring);
        if (!name || name->body.size() != NAME.size() * 2) continue;
        bool same = true;
        for (std::size_t i = 0; i < NAME.size() && same; ++i) same = load_le16(name->body, 2 * i) == NAME[i];
        if (!same) continue;
        const auto blob = child(tag->body, rt_binary_tag_data);
        if (auto r = blob ? child(blob->body, type) : std::nullopt) return r;
    }
    return std::nullopt;
}

// The autonumbering extension among a shape's programmable tags: the body of
// its StyleTextProp9Atom.
Bytes numbering_atom(Bytes tags) {
    const auto atom = ppt9_record(tags, rt_style_text_prop9);
    return atom ? atom->body : Bytes{};
}

// Header/footer flags.
enum : std::uint16_t {
    hf_date = 0x01,
    hf_user_date = 0x04,
    hf_slide_number = 0x08,
    hf_footer = 0x20,
};

ShapeRecs collect(Bytes sp) {
    ShapeRecs s;
    Kids k(sp);
    while (auto r = k.next()) {
        const Bytes b = r->body;
        switch (r->type) {
        case rt_fsp:
            if (b.size() >= 8) {
                s.spid = load_le32(b, 0);
                s.flags = load_le32(b, 4);
                s.shape_type = r->instance;
            }
            break;
        case rt_fspgr:
            if (b.size() >= 16) s.fspgr = ltrb(b);
            break;
        case rt_fopt:
        case rt_fopt2:
        case rt_fopt3:
            s.props.add_table(*r);
            break;
        case rt_child_anchor:
            if (b.size() >= 16) s.child_anchor = ltrb(b);
            break;
        case rt_client_anchor:
            // Stored top, left, right, bottom.
            if (b.size() >= 16)
                s.client_anchor = Rect{s32(b, 4), s32(b, 0), s32(b, 8), s32(b, 12)};
            else if (b.size() >= 8)
                s.client_anchor = Rect{s16(b, 2), s16(b, 0), s16(b, 4), s16(b, 6)};
            break;
        case rt_client_data: {
            if (auto ph = child(b, rt_placeholder); ph && ph->body.size() >= 5) {
                s.ph_position = s32(ph->body, 0);
                s.placement = ph->body[4];
            }
            if (auto hf = child(b, rt_round_trip_hf); hf && !hf->body.empty()) s.hf_placement = hf->body[0];
            if (auto ref = child(b, rt_ex_obj_ref); ref && ref->body.size() >= 4) s.ex_obj_id = load_le32(ref->body, 0);
            if (auto tags = child(b, rt_prog_tags)) s.numbering = numbering_atom(tags->body);
            break;
        }
        case rt_client_textbox: {
            Kids t(b);
            while (auto x = t.next()) {
                if (x->type == rt_outline_text_ref && x->body.size() >= 4) {
                    s.outline_ref = s32(x->body, 0);
                    s.has_text = true;
                } else if (x->type == rt_text_header && x->body.size() >= 4 && !s.inline_text_type) {
                    s.inline_text_type = load_le32(x->body, 0);
                } else if (x->type == rt_text_chars || x->type == rt_text_bytes) {
                    append_units(s.inline_text, x->body, x->type == rt_text_bytes);
                    s.has_text = true;
                } else if (x->type == rt_style_text_prop && s.inline_style.empty()) {
                    s.inline_style = x->body;
                } else if (auto f = field_mark(*x)) {
                    s.inline_fields.push_back(*f);
                }
            }
            break;
        }
        default:
            break;
        }
    }
    return s;
}

// The content model's kind of a placement (PlaceholderEnum).
std::optional<model::PlaceholderKind> placeholder_kind(std::uint8_t placement) {
    using K = model::PlaceholderKind;
    switch (placement) {
    case 0x00: return std::nullopt;
    case 0x01: case 0x0D: case 0x11: return K::title;
    case 0x02: case 0x06: case 0x0C: case 0x0E: case 0x12: return K::body;
    case 0x03: case 0x0F: return K::ctrTitle;
    case 0x04: case 0x10: return K::subTitle;
    case 0x05: case 0x0B: return K::sldImg;
    case 0x07: return K::dt;
    case 0x08: return K::sldNum;
    case 0x09: return K::ftr;
    case 0x0A: return K::hdr;
    case 0x13: case 0x19: return K::obj;
    case 0x14: return K::chart;
    case 0x15: return K::tbl;
    case 0x16: return K::clipArt;
    case 0x17: return K::dgm;
    case 0x18: return K::media;
    case 0x1A: return K::pic;
    default: return K::other;
    }
}

// The placeholder an outline text group stands for (TextTypeEnum).
std::optional<model::PlaceholderKind> outline_kind(std::uint32_t text_type) {
    using K = model::PlaceholderKind;
    switch (text_type) {
    case 0: return K::title;
    case 1: case 7: case 8: return K::body;
    case 5: return K::subTitle;
    case 6: return K::ctrTitle;
    default: return std::nullopt;
    }
}

std::string pib_id(std::uint32_t pib) { return "pib" + std::to_string(pib); }

struct BlipKind {
    const char* content_type;
    const char* ext;
};

BlipKind blip_kind(std::uint8_t blip_type) {
    switch (blip_type) {
    case 2: return {"image/x-emf", "emf"};
    case 3: return {"image/x-wmf", "wmf"};
    case 4: return {"image/x-pict", "pict"};
    case 5: case 0x12: return {"image/jpeg", "jpeg"};
    case 6: return {"image/png", "png"};
    case 7: return {"image/bmp", "bmp"};
    case 0x11: return {"image/tiff", "tiff"};
    default: return {"application/octet-stream", "bin"};
    }
}

std::uint8_t blip_type_of_record(std::uint16_t rec_type) {
    switch (rec_type) {
    case rt_blip_emf: return 2;
    case rt_blip_wmf: return 3;
    case rt_blip_pict: return 4;
    case rt_blip_jpeg: case rt_blip_jpeg2: return 5;
    case rt_blip_png: return 6;
    case rt_blip_dib: return 7;
    case rt_blip_tiff: return 0x11;
    default: return 1;
    }
}

// A DIB with the BITMAPFILEHEADER it lacks; the pixel offset is computed
// from the header and colour table, since the image size may be 0.
bytes::Buffer bmp_of_dib(Bytes dib) {
    std::uint64_t palette = 0;
    std::uint64_t header = dib.size() >= 4 ? load_le32(dib, 0) : 0;
    if (header == 12 && dib.size() >= 12) {
        const std::uint16_t bits = load_le16(dib, 10);
        palette = bits <= 8 ? (std::uint64_t{1} << bits) * 3 : 0;
    } else if (header >= 40 && dib.size() >= 40) {
        const std::uint16_t bits = load_le16(dib, 14);
        const std::uint32_t compression = load_le32(dib, 16);
        const std::uint32_t used = load_le32(dib, 32);
        const std::uint64_t entries = used ? used : (bits <= 8 ? std::uint64_t{1} << bits : 0);
        palette = entries * 4;
        if (header == 40 && compression == 3) palette += 12;
        if (header == 40 && compression == 6) palette += 16;
    }
    const std::uint64_t total = 14 + static_cast<std::uint64_t>(dib.size());
    const std::uint64_t pixels = std::min<std::uint64_t>(14 + header + palette, total);
    bytes::Buffer out;
    out.reserve(dib.size() + 14);
    out.push_back('B');
    out.push_back('M');
    bytes::append_le32(out, static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFF)));
    bytes::append_le32(out, 0);
    bytes::append_le32(out, static_cast<std::uint32_t>(pixels));
    out.insert(out.end(), dib.begin(), dib.end());
    return out;
}

// The 22-byte placeable header a stored WMF lacks, from the metafile
// header's bounds.
void wmf_placeable_header(bytes::Buffer& out, Bytes mfh) {
    std::vector<std::uint16_t> words = {0xCDD7, 0x9AC6, 0,
                                        static_cast<std::uint16_t>(s32(mfh, 4)),
                                        static_cast<std::uint16_t>(s32(mfh, 8)),
                                        static_cast<std::uint16_t>(s32(mfh, 12)),
                                        static_cast<std::uint16_t>(s32(mfh, 16)),
                                        72, 0, 0};
    std::uint16_t sum = 0;
    for (const auto w : words) sum ^= w;
    words.push_back(sum);
    for (const auto w : words) bytes::append_le16(out, w);
}

Result<bytes::Buffer> decode_blip(const Rec& r, std::uint32_t pib) {
    const Bytes b = r.body;
    const std::size_t uids = (r.instance & 1) ? 32 : 16;
    auto damaged = [&] { return fail(Error::other("ppt: picture " + std::to_string(pib) + " is damaged")); };
    switch (r.type) {
    case rt_blip_emf:
    case rt_blip_wmf:
    case rt_blip_pict: {
        if (b.size() < uids + 34) return damaged();
        const Bytes mfh = b.subspan(uids, 34);
        const std::uint32_t raw_size = load_le32(mfh, 0);
        const std::uint32_t saved = load_le32(mfh, 28);
        const std::uint8_t compression = mfh[32];
        const Bytes rest = b.subspan(uids + 34);
        const Bytes data = rest.first(std::min<std::size_t>(saved, rest.size()));
        bytes::Buffer out;
        if (r.type == rt_blip_wmf) wmf_placeable_header(out, mfh);
        if (r.type == rt_blip_pict) out.resize(512, 0);
        if (compression == 0) {
            // A zlib stream: two header bytes before the raw deflate data.
            if (data.size() < 2 || (data[0] & 0x0F) != 8 || bytes::load_be16(data, 0) % 31 != 0) return damaged();
            // The recorded size bounds the output; a metafile past the cap
            // is refused rather than grown without limit.
            auto ok = inflate::inflate(data.subspan(2), out, std::min<std::size_t>(raw_size, MAX_METAFILE_NBYTES));
            if (!ok) return fail(ok.error());
        } else {
            out.insert(out.end(), data.begin(), data.begin() + std::min<std::size_t>(raw_size, data.size()));
        }
        return out;
    }
    case rt_blip_jpeg:
    case rt_blip_jpeg2:
    case rt_blip_png:
    case rt_blip_tiff:
    case rt_blip_dib: {
        if (b.size() < uids + 1) return damaged();
        const Bytes data = b.subspan(uids + 1);
        if (r.type == rt_blip_dib) return bmp_of_dib(data);
        return bytes::Buffer(data.begin(), data.end());
    }
    default:
        return fail(Error::unsupported("picture record type " + std::to_string(r.type)));
    }
}

// Rebuilds a table's grid from its cell shapes' positions: the distinct left
// and top edges are the column and row lines, and a cell spans the lines its
// width and height cover. Border lines (zero width or height) are not cells.
std::optional<model::Table> table_of(const std::vector<model::Shape>& kids) {
    struct CellShape {
        const model::Shape* shape;
        std::int64_t l, t, r, b;
    };
    std::vector<CellShape> cells;
    std::vector<std::int64_t> xs, ys;
    for (const auto& k : kids) {
        if (!k.transform || !k.text_body() || k.transform->cx <= 0 || k.transform->cy <= 0) continue;
        const auto& x = *k.transform;
        cells.push_back({&k, x.x, x.y, x.x + x.cx, x.y + x.cy});
        xs.push_back(x.x);
        ys.push_back(x.y);
    }
    if (cells.empty() || cells.size() > MAX_TABLE_CELLS) return std::nullopt;
    std::sort(xs.begin(), xs.end());
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
    if (xs.size() * ys.size() > MAX_TABLE_CELLS) return std::nullopt;

    model::Table table;
    std::int64_t right = xs.back(), bottom = ys.back();
    for (const auto& c : cells) {
        right = std::max(right, c.r);
        bottom = std::max(bottom, c.b);
    }
    for (std::size_t i = 0; i < xs.size(); ++i) table.column_widths.push_back((i + 1 < xs.size() ? xs[i + 1] : right) - xs[i]);
    table.rows.resize(ys.size());
    for (std::size_t i = 0; i < ys.size(); ++i) {
        table.rows[i].height = (i + 1 < ys.size() ? ys[i + 1] : bottom) - ys[i];
        table.rows[i].cells.resize(xs.size());
    }
    std::vector<bool> taken(xs.size() * ys.size(), false);
    auto index_of = [](const std::vector<std::int64_t>& v, std::int64_t x) {
        return static_cast<std::size_t>(std::lower_bound(v.begin(), v.end(), x) - v.begin());
    };
    for (const auto& c : cells) {
        const std::size_t col = index_of(xs, c.l), row = index_of(ys, c.t);
        if (taken[row * xs.size() + col]) continue;
        const std::size_t cols = std::max<std::size_t>(1, index_of(xs, c.r) - col);
        const std::size_t rows = std::max<std::size_t>(1, index_of(ys, c.b) - row);
        auto& cell = table.rows[row].cells[col];
        cell.paragraphs = c.shape->text_body()->paragraphs;
        cell.grid_span = static_cast<std::uint32_t>(cols);
        cell.row_span = static_cast<std::uint32_t>(rows);
        for (std::size_t rr = row; rr < row + rows; ++rr)
            for (std::size_t cc = col; cc < col + cols; ++cc) {
                const std::size_t at = rr * xs.size() + cc;
                if (taken[at]) continue;
                taken[at] = true;
                if (rr == row && cc == col) continue;
                table.rows[rr].cells[cc].h_merge = cc > col;
                table.rows[rr].cells[cc].v_merge = rr > row;
            }
    }
    return table;
}

// Placeholder shapes larger than this are no page furniture, and footer and
// date texts longer than MAX_SETTING_UNITS no settings to show. They bound
// each factor of one slide's copy of its master's furniture, not their
// product: a shape this size holds a few hundred fields, each showing a
// setting text, so one copy can reach a few megabytes. That copy is made
// for every slide that follows the master, unless the caller's gate refuses
// it (a call reading many slides, before the copy is filled); what the
// copies add to a text or Markdown pass is bounded by the pass's allowance
// for repeats (document::Pass), as the slide marks them
// (SlideContent::copies).
constexpr std::size_t MAX_FURNITURE_NBYTES = std::size_t{4} << 10;
constexpr std::size_t MAX_SETTING_UNITS = 1024;

// The first child record of `type`, visiting at most `budget` records, each
// counted off it.
std::optional<Rec> child_within(Bytes body, std::uint16_t type, std::size_t& budget) {
    Kids k(body);
    for (; budget > 0; --budget) {
        const auto r = k.next();
        if (!r) break;
        if (r->type == type) {
            --budget;
            return r;
        }
    }
    return std::nullopt;
}

// The offsets of the first date, footer and slide-number placeholder shapes
// at the top of a master's drawing (the body of its DrawingContainer), in
// drawing order. The records looked at are counted off `budget`, which all
// masters share: masters whose records overlap (a master list naming many
// offsets inside one record) cost no more than the stream's own records.
std::vector<std::uint32_t> furniture_shapes(Bytes doc, Bytes drawing, std::size_t& budget) {
    std::vector<std::uint32_t> out;
    const auto dg = child_within(drawing, rt_dg, budget);
    const auto spgr = dg ? child_within(dg->body, rt_spgr, budget) : std::nullopt;
    if (!spgr) return out;
    std::vector<std::uint8_t> taken;
    Kids kids(spgr->body);
    while (budget > 0) {
        const auto k = kids.next();
        if (!k) break;
        --budget;
        if (k->type != rt_sp || k->body.size() > MAX_FURNITURE_NBYTES) continue;
        // Reading a shape's records costs about one per eight of its bytes.
        const std::size_t cost = k->body.size() / 8;
        if (cost > budget) break;
        budget -= cost;
        const ShapeRecs s = collect(k->body);
        if (s.flags & (sp_deleted | sp_background | sp_patriarch)) continue;
        const auto placement = s.placement && *s.placement != 0 ? s.placement : s.hf_placement;
        if (!placement || (*placement != 0x07 && *placement != 0x08 && *placement != 0x09)) continue;
        if (std::ranges::find(taken, *placement) != taken.end()) continue;
        taken.push_back(*placement);
        out.push_back(static_cast<std::uint32_t>(k->body.data() - doc.data()) - 8);
        if (out.size() == 3) break;
    }
    return out;
}

// The text type whose style a type falls back on: body for the centred,
// half and quarter bodies, title for the centred title.
std::optional<std::uint32_t> base_text_type(std::uint32_t text_type) {
    switch (text_type) {
    case 5: case 7: case 8: return 1;
    case 6: return 0;
    default: return std::nullopt;
    }
}

} // namespace

// Builds the shape tree of one drawing.
struct Deck::Shapes {
    const std::vector<TextGroup>* outline = nullptr;
    std::vector<bool> used;  // outline groups a shape took
    Bytes doc;
    const std::vector<std::pair<std::uint32_t, SharedText>>* prog_ids = nullptr;
    std::string slide_number;  // what slide-number fields show
    // Numbering the document keeps for this slide's placeholder text.
    const std::vector<OutlineNumbering>* outline_numbering = nullptr;
    std::uint32_t slide_id = 0;
    // The text styles the slide's text inherits: its masters' (nearest
    // first) and the document's; the bullets found for each text type, kept
    // by the deck (set for a slide's drawing) or, past its room, here.
    std::array<const Master*, 2> masters{};
    std::uint32_t default_style = 0;
    const Deck* deck = nullptr;
    std::array<const model::ListStyle*, TEXT_TYPES> inherited_by_type{};
    std::array<std::optional<model::ListStyle>, TEXT_TYPES> resolved_here;

    // Fills the fields every shape has; `anchor` is already in EMU.
    void base(model::Shape& sh, const ShapeRecs& s, const std::optional<Rect>& anchor) const {
        sh.id = s.spid;
        sh.name = s.props.text(op_name).value_or(std::string{});
        sh.description = s.props.text(op_description);
        if (auto v = s.props.simple(op_group_bools)) sh.hidden = (*v & 0x00020002) == 0x00020002;
        if (anchor) {
            model::Transform x;
            x.x = anchor->l;
            x.y = anchor->t;
            x.cx = std::max<std::int64_t>(0, anchor->r - anchor->l);
            x.cy = std::max<std::int64_t>(0, anchor->b - anchor->t);
            if (auto rot = s.props.simple(op_rotation)) {
                // 16.16 fixed degrees to 60000ths, within one turn.
                const std::int64_t v = static_cast<std::int64_t>(static_cast<std::int32_t>(*rot)) * 60000 / 65536;
                x.rotation = ((v % 21600000) + 21600000) % 21600000;
            }
            x.flip_h = (s.flags & sp_flip_h) != 0;
            x.flip_v = (s.flags & sp_flip_v) != 0;
            sh.transform = x;
        }
        if (s.placement) {
            if (auto kind = placeholder_kind(*s.placement))
                sh.placeholder = model::Placeholder{*kind, s.ph_position > 0 ? static_cast<std::uint32_t>(s.ph_position) : 0};
        }
        // Only the master date, slide number, footer and header placements
        // are what this mark stands for.
        if (!sh.placeholder && s.hf_placement && *s.hf_placement >= 0x07 && *s.hf_placement <= 0x0A)
            sh.placeholder = model::Placeholder{*placeholder_kind(*s.hf_placement), 0};
        sh.text_box = s.shape_type == SHAPE_TEXT_BOX;
    }

    std::optional<Rect> anchor_of(const ShapeRecs& s, const Frame& f, int depth) const {
        static const Frame top{};
        if (depth > 0 && s.child_anchor) return f.map(*s.child_anchor);
        if (s.client_anchor) return top.map(*s.client_anchor);
        if (s.child_anchor) return f.map(*s.child_anchor);
        return std::nullopt;
    }

    // A text with its paragraph styles, fields and, when the shape has the
    // autonumbering extension, numbering.
    model::TextBody styled_text(std::u16string_view text, Bytes style, std::span<const TextField> fields,
                                Bytes numbering, bool bullets_by_default, std::optional<std::uint32_t> text_type) {
        std::optional<std::size_t> char_runs;
        const auto paras = paragraph_styles(style, text.size(), &char_runs);
        TextExtras extras{fields, slide_number, {}, {}, bullets_by_default};
        extras.inherited = inherited(text_type);
        std::vector<CharStyle> chars;
        std::vector<std::optional<model::Bullet>> entries;
        if (!numbering.empty() && char_runs) {
            entries = numbering_entries(numbering);
            if (!entries.empty()) chars = character_styles(style, *char_runs, text.size());
            extras.chars = chars;
            extras.numbering = entries;
        }
        return text_body(text, paras, extras);
    }

    // The numbering the document keeps for placeholder text of a type on
    // this slide; the first entry listed wins.
    Bytes document_numbering(std::uint32_t text_type) const {
        if (!outline_numbering) return {};
        const auto key = std::make_pair(slide_id, text_type);
        const auto n = std::lower_bound(outline_numbering->begin(), outline_numbering->end(), key,
                                        [](const OutlineNumbering& x, const auto& k) {
                                            return std::make_pair(x.slide_id, x.text_type) < k;
                                        });
        if (n == outline_numbering->end() || n->slide_id != slide_id || n->text_type != text_type) return {};
        if (n->at > doc.size() || n->nbytes > doc.size() - n->at) return {};
        return doc.subspan(n->at, n->nbytes);
    }

    model::TextBody group_text(const TextGroup& g, Bytes numbering, bool bullets_by_default) {
        const Bytes style = g.style_nbytes && g.style_at <= doc.size() && g.style_nbytes <= doc.size() - g.style_at
                                ? doc.subspan(g.style_at, g.style_nbytes)
                                : Bytes{};
        if (numbering.empty()) numbering = document_numbering(g.text_type);
        return styled_text(g.text, style, g.fields, numbering, bullets_by_default, g.text_type);
    }

    // The shape's text with its paragraph styles: the outline group it
    // refers to, else its own. A placeholder without numbering of its own
    // takes what the document keeps for its text. An outline group is
    // stored once and shows once, at the first shape that refers to it:
    // the later ones are empty, so that a text cannot be multiplied by the
    // shapes naming it.
    model::TextBody text_of(const ShapeRecs& s, const std::optional<model::Placeholder>& ph) {
        const bool bullets = ph && (ph->kind == model::PlaceholderKind::body || ph->kind == model::PlaceholderKind::obj);
        if (s.outline_ref && outline && *s.outline_ref >= 0 &&
            static_cast<std::size_t>(*s.outline_ref) < outline->size()) {
            const auto group = static_cast<std::size_t>(*s.outline_ref);
            if (used[group]) return {};
            used[group] = true;
            return group_text((*outline)[group], s.numbering, bullets);
        }
        Bytes numbering = s.numbering;
        if (numbering.empty() && s.placement && s.inline_text_type) numbering = document_numbering(*s.inline_text_type);
        return styled_text(s.inline_text, s.inline_style, s.inline_fields, numbering, bullets, s.inline_text_type);
    }

    // The bullets text of a type inherits by level: for each level, the
    // first of the type's styles at the masters (nearest first), its base
    // type's there, then the document's, that sets the bullet at that level
    // or, failing that, at the nearest level above it. None for a type
    // without styles.
    const model::ListStyle* inherited(std::optional<std::uint32_t> text_type) {
        if (!text_type || *text_type >= TEXT_TYPES) return nullptr;
        const model::ListStyle*& known = inherited_by_type[*text_type];
        if (known) return known;
        // Parsing the styles took a good share of reading a slide, the same
        // on every slide of a master: the deck keeps what they resolve to.
        if (deck) known = deck->inherited_style(masters[0], *text_type, [&] { return resolve(*text_type); });
        if (!known) known = &resolved_here[*text_type].emplace(resolve(*text_type));
        return known;
    }

    model::ListStyle resolve(std::uint32_t text_type) const {
        std::vector<StyleBullets> styles;
        auto add = [&](std::uint32_t at) {
            if (const auto r = at ? rec_at(doc, at) : std::nullopt) styles.push_back(style_bullets(*r));
        };
        for (std::optional<std::uint32_t> type = text_type; type; type = base_text_type(*type))
            for (const Master* m : masters)
                if (m) add(m->styles[*type]);
        add(default_style);
        model::ListStyle out;
        for (std::size_t level = 0; level <= MAX_PARA_LEVEL; ++level) {
            for (const StyleBullets& style : styles) {
                std::size_t from = level + 1;
                while (from > 0 && !style[from - 1]) --from;
                if (from == 0) continue;
                out.levels.emplace_back(static_cast<std::uint8_t>(level), *style[from - 1]);
                break;
            }
        }
        return out;
    }

    // The text of a text-effect (WordArt) shape, kept in its properties:
    // up to its NUL, each line a paragraph. Empty for any other shape.
    static std::u16string effect_text(const Props& props) {
        const Props::Prop* p = props.find(op_gtext_unicode);
        std::u16string raw, text;
        if (!p || !p->complex) return text;
        append_units(raw, p->data, false);
        raw.resize(std::min(raw.size(), raw.find(u'\0')));
        // A CR LF pair is one break; a lone LF is one too.
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == u'\n' && i > 0 && raw[i - 1] == u'\r') continue;
            text.push_back(raw[i] == u'\n' ? u'\r' : raw[i]);
        }
        return text;
    }

    SharedText prog_id(const ShapeRecs& s) const {
        if (!s.ex_obj_id || !prog_ids) return std::nullopt;
        auto it = std::lower_bound(prog_ids->begin(), prog_ids->end(), *s.ex_obj_id,
                                   [](const auto& e, std::uint32_t id) { return e.first < id; });
        if (it == prog_ids->end() || it->first != *s.ex_obj_id) return std::nullopt;
        return it->second;
    }

    model::Shape leaf(const ShapeRecs& s, const Frame& f, int depth) {
        model::Shape sh;
        base(sh, s, anchor_of(s, f, depth));
        const std::uint32_t pib = s.props.simple(op_pib).value_or(0);
        if (s.flags & sp_connector) {
            sh.content = model::Connector{};
        } else if (s.flags & sp_ole) {
            model::Ole ole;
            ole.prog_id = prog_id(s);
            if (pib) ole.preview = pib_id(pib);
            sh.content = std::move(ole);
        } else if (pib && (s.shape_type == SHAPE_PICTURE_FRAME || !s.has_text)) {
            sh.content = model::Picture{pib_id(pib), std::nullopt};
        } else if (s.has_text) {
            sh.content = text_of(s, sh.placeholder);
        } else if (const std::u16string effect = effect_text(s.props); !effect.empty()) {
            // A text effect without a text box shows the text it draws.
            sh.content = text_body(effect);
        } else {
            sh.content = model::TextBody{};
        }
        return sh;
    }

    void group(Bytes body, int depth, const Frame& f, std::vector<model::Shape>& out) {
        Kids k(body);
        bool first = true;
        while (auto r = k.next()) {
            const bool own = first;
            first = false;
            if (r->type == rt_sp) {
                if (own) continue;  // the group's own shape
                const ShapeRecs s = collect(r->body);
                if (s.flags & (sp_deleted | sp_background | sp_patriarch)) continue;
                out.push_back(leaf(s, f, depth));
            } else if (r->type == rt_spgr && depth < MAX_DEPTH) {
                ShapeRecs s;
                if (auto g = rec_at(r->body, 0); g && g->type == rt_sp) s = collect(g->body);
                if (s.flags & sp_deleted) continue;
                const auto outer = anchor_of(s, f, depth);
                Frame inner = f;
                if (outer && s.fspgr) {
                    const Rect& c = *s.fspgr;
                    inner.ox = static_cast<double>(outer->l);
                    inner.oy = static_cast<double>(outer->t);
                    inner.sx0 = static_cast<double>(c.l);
                    inner.sy0 = static_cast<double>(c.t);
                    inner.kx = c.r != c.l ? static_cast<double>(outer->r - outer->l) / (static_cast<double>(c.r) - c.l) : 0;
                    inner.ky = c.b != c.t ? static_cast<double>(outer->b - outer->t) / (static_cast<double>(c.b) - c.t) : 0;
                }
                model::Shape sh;
                base(sh, s, outer);
                std::vector<model::Shape> kids;
                group(r->body, depth + 1, inner, kids);
                std::optional<model::Table> table;
                if (s.props.simple(op_table).value_or(0) & 1) table = table_of(kids);
                if (table)
                    sh.content = std::move(*table);
                else
                    sh.content = model::Group{std::move(kids)};
                out.push_back(std::move(sh));
            }
        }
    }
};

std::optional<std::string> Deck::slide_size_type() const {
    if (!have_size_type_) return std::nullopt;
    static const char* const names[] = {"screen4x3", "letter", "A4", "35mm", "overhead", "banner", "custom"};
    if (size_type_ < std::size(names)) return std::string(names[size_type_]);
    return std::nullopt;
}

std::string Deck::slide_name(std::size_t index) { return "slide" + std::to_string(index + 1); }

std::optional<std::uint32_t> Deck::persist_offset(std::uint32_t id) const {
    auto it = std::lower_bound(persist_.begin(), persist_.end(), std::make_pair(id, std::uint32_t{0}));
    if (it == persist_.end() || it->first != id) return std::nullopt;
    return it->second;
}

Result<std::shared_ptr<const Deck>> Deck::open(const cfb::Compound& file) {
    for (const char* name : {"EncryptedPackage", "EncryptionInfo", "\x09" "DRMContent"})
        if (file.child(0, name)) return fail(Error::encrypted("the package is password-protected"));
    std::uint32_t storage = 0;
    if (auto dual = file.child(0, "PP97_DUALSTORAGE"); dual && file.entries()[*dual].is_storage()) storage = *dual;
    if (file.child(storage, "EncryptedSummary"))
        return fail(Error::encrypted("the legacy presentation is password-protected"));

    auto stream = [&](std::string_view name) -> std::optional<std::uint32_t> {
        for (const std::uint32_t where : {storage, std::uint32_t{0}}) {
            if (auto id = file.child(where, name); id && file.entries()[*id].is_stream()) return id;
        }
        return std::nullopt;
    };
    const auto doc = stream(DOCUMENT_STREAM);
    if (!doc) {
        // PowerPoint 4 keeps its whole deck in one "PP40" stream.
        if (file.child(0, "PP40")) return fail(Error::unsupported(OLDER_THAN_97));
        return fail(Error::no_powerpoint_stream());
    }
    auto doc_bytes = file.read_stream(*doc);
    if (!doc_bytes) return fail(doc_bytes.error());
    // The other two streams are optional: a deck without them still has its text.
    std::vector<std::uint8_t> user, pictures;
    if (auto id = stream("Current User"))
        if (auto b = file.read_stream(*id)) user = std::move(*b);
    if (auto id = stream("Pictures"))
        if (auto b = file.read_stream(*id)) pictures = std::move(*b);
    auto deck = from_streams(std::move(user), std::move(*doc_bytes), std::move(pictures));
    // PowerPoint 95 and earlier keep a "Header" stream and records this
    // reader does not know; say so rather than call the deck damaged.
    if (!deck && deck.error().kind() == error::Kind::Other && file.child(0, "Header"))
        return fail(Error::unsupported(OLDER_THAN_97));
    return deck;
}

Result<std::shared_ptr<const Deck>> Deck::from_streams(std::vector<std::uint8_t> current_user,
                                                      std::vector<std::uint8_t> document,
                                                      std::vector<std::uint8_t> pictures) {
    std::shared_ptr<Deck> deck(new Deck());
    deck->current_user_ = std::move(current_user);
    deck->doc_ = std::move(document);
    deck->pictures_ = std::move(pictures);
    if (auto ok = deck->load(); !ok) return fail(ok.error());
    return std::shared_ptr<const Deck>(std::move(deck));
}

namespace {

// The fields of the current-user atom the reader follows.
struct CurrentUser {
    std::uint32_t token = 0;
    std::uint32_t edit_offset = 0;  // of the newest edit, in the document stream
};

std::optional<CurrentUser> current_user_of(Bytes stream) {
    bytes::Cursor in(stream);
    in.skip(2);  // version and instance
    const std::uint16_t type = in.u16();
    in.skip(4 + 4);  // record length, atom size
    CurrentUser cu;
    cu.token = in.u32();
    cu.edit_offset = in.u32();
    if (!in.ok() || type != rt_current_user) return std::nullopt;
    return cu;
}

// A user-edit atom: where it lies, and the fields the reader follows.
struct Edit {
    std::uint32_t offset = 0;
    std::uint32_t last_edit = 0;
    std::uint32_t directory = 0;
    std::uint32_t doc_ref = 0;
    std::optional<std::uint32_t> crypt_ref;
};

std::optional<Edit> edit_at(Bytes doc, std::uint32_t at) {
    auto r = rec_at(doc, at);
    if (!r || r->type != rt_user_edit) return std::nullopt;
    bytes::Cursor in(r->body);
    Edit e{.offset = at};
    in.skip(4 + 2 + 1 + 1);  // last slide id, version, minor and major version
    e.last_edit = in.u32();
    e.directory = in.u32();
    e.doc_ref = in.u32();
    in.skip(4 + 2 + 2);  // persist id seed, last view, unused
    if (!in.ok()) return std::nullopt;
    // The encryption session's id is an optional last field.
    if (const std::uint32_t crypt_ref = in.u32(); in.ok()) e.crypt_ref = crypt_ref;
    return e;
}

std::optional<Rec> directory_at(Bytes doc, std::size_t at) {
    auto r = rec_at(doc, at);
    if (!r || (r->type != rt_persist_directory && r->type != rt_persist_full)) return std::nullopt;
    return r;
}

// Calls `f(id, offset)` for each entry of a persist directory body while
// `budget` (entries and heads read, shared by every directory of the deck)
// lasts. True when the entries fill the body exactly, as in a sound
// directory.
template <class F>
bool for_each_entry(Bytes b, std::size_t& budget, F&& f) {
    std::size_t pos = 0;
    bool exact = true;
    while (b.size() - pos >= 4 && budget > 0) {
        const std::uint32_t head = load_le32(b, pos);
        pos += 4;
        const std::uint32_t first = head & 0xFFFFF;
        const std::size_t want = head >> 20;
        const std::size_t count = std::min<std::size_t>(want, (b.size() - pos) / 4);
        exact = exact && count == want;
        for (std::size_t k = 0; k < count; ++k) f(first + static_cast<std::uint32_t>(k), load_le32(b, pos + 4 * k));
        pos += 4 * count;
        budget -= std::min(budget, count + 1);
    }
    return exact && pos == b.size();
}

// The first child of a container that starts at `at`: what tells a document
// or slide container from bytes that merely share its type.
std::optional<Rec> first_child_at(Bytes doc, std::size_t at) {
    if ((load_le16(doc, at) & 0xF) != 0xF) return std::nullopt;
    const auto r = rec_at_clamped(doc, at);
    return r ? rec_at(r->body, 0) : std::nullopt;
}

// Records a damaged stream still holds, each checked as far as its own
// bytes allow, in stream order.
struct Found {
    std::vector<std::uint32_t> edits, directories, documents, slides;
};

Found scan_stream(Bytes doc) {
    Found found;
    if (doc.size() < 8) return found;
    // Offsets are 32-bit; validating directory bodies shares one budget so
    // that overlapping candidates cannot make the scan quadratic.
    const std::size_t last = std::min<std::size_t>(doc.size() - 8, UINT32_MAX);
    std::size_t work = MAX_PERSIST_ENTRIES;
    for (std::size_t at = 0; at <= last; ++at) {
        const auto at32 = static_cast<std::uint32_t>(at);
        switch (load_le16(doc, at + 2)) {
        case rt_user_edit:
            if (load_le16(doc, at) == 0 && (load_le32(doc, at + 4) == 0x1C || load_le32(doc, at + 4) == 0x20) &&
                edit_at(doc, at32))
                found.edits.push_back(at32);
            break;
        case rt_persist_directory:
        case rt_persist_full:
            // Objects precede the directory that lists them.
            if (auto r = directory_at(doc, at); r && work > 0) {
                bool before = true;
                const bool exact = for_each_entry(r->body, work, [&](std::uint32_t id, std::uint32_t off) {
                    before = before && id != 0 && off < at;
                });
                if (exact && before) found.directories.push_back(at32);
            }
            break;
        case rt_document:
            if (auto k = first_child_at(doc, at); k && k->type == rt_document_atom) found.documents.push_back(at32);
            break;
        case rt_slide:
            // Title masters are slide containers too, with the master-title
            // layout; they are no slides.
            if (auto k = first_child_at(doc, at);
                k && k->type == rt_slide_atom && k->body.size() >= 4 && load_le32(k->body, 0) != 2)
                found.slides.push_back(at32);
            break;
        default:
            break;
        }
    }
    return found;
}

} // namespace

// What a recovering read takes from the scanned stream.
struct Deck::Scan {
    // (persist id, offset) of every directory before the newest edit, by id
    // and within an id newest directory first.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    std::vector<std::uint32_t> listed;    // every offset an entry names, sorted
    std::vector<std::uint32_t> documents; // before the newest edit, stream order
    std::vector<std::uint32_t> slides;    // likewise
};

Result<void> Deck::load() {
    const Bytes doc(doc_);

    // The current-user atom names the newest edit.
    std::optional<Edit> newest;
    if (const auto cu = current_user_of(current_user_)) {
        if (cu->token == TOKEN_ENCRYPTED)
            return fail(Error::encrypted("the legacy presentation is password-protected"));
        newest = edit_at(doc, cu->edit_offset);
    }

    bool broken = !newest;
    std::vector<std::uint32_t> walked; // directories the chain named
    if (newest) {
        std::unordered_map<std::uint32_t, std::uint32_t, hash::NumberHasher> map;
        std::size_t budget = MAX_PERSIST_ENTRIES;
        std::optional<Edit> e = newest;
        while (e) {
            if (auto dir = directory_at(doc, e->directory)) {
                walked.push_back(e->directory);
                broken |= !for_each_entry(dir->body, budget, [&](std::uint32_t id, std::uint32_t off) {
                    map.try_emplace(id, off);
                });
            } else {
                broken = true;
            }
            if (e->last_edit == 0) break;
            // Each older edit lies before the newer one; anything else is a
            // loop or damage.
            if (e->last_edit >= e->offset || !(e = edit_at(doc, e->last_edit))) {
                broken = true;
                break;
            }
        }
        persist_.assign(map.begin(), map.end());
        std::sort(persist_.begin(), persist_.end());
        if (!broken) {
            auto sound = read_document(newest->doc_ref, newest->crypt_ref, nullptr);
            if (!sound) return fail(sound.error());
            if (*sound) return {};
            const Deck fresh;
            slides_.clear();
            unresolved_.clear();
            blips_.clear();
            prog_ids_.clear();
            masters_.clear();
            master_records_ = 0;
            outline_numbering_.clear();
            default_style_ = 0;
            slide_headers_footers_.reset();
            slide_size_ = fresh.slide_size_;
            notes_size_ = fresh.notes_size_;
            size_type_ = fresh.size_type_;
            have_size_type_ = fresh.have_size_type_;
            first_slide_number_ = fresh.first_slide_number_;
            rtl_ = fresh.rtl_;
        }
    }

    // The chain is broken: scan the stream once.
    recovered_ = true;
    Found found = scan_stream(doc);
    if (!newest && !found.edits.empty()) newest = edit_at(doc, found.edits.back());
    // Records after the newest edit belong to no save the deck knows.
    const std::size_t limit = newest ? newest->offset : doc.size();
    auto before_limit = [&](std::vector<std::uint32_t>& v) {
        v.erase(std::lower_bound(v.begin(), v.end(), limit), v.end());
    };
    before_limit(found.directories);
    before_limit(found.documents);
    before_limit(found.slides);
    if (!newest && found.documents.empty()) return fail(Error::other("ppt: no user edit record in the document stream"));

    std::vector<std::uint32_t> dirs = std::move(found.directories);
    dirs.insert(dirs.end(), walked.begin(), walked.end());
    std::sort(dirs.begin(), dirs.end(), std::greater<>());
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    Scan scan;
    // An entry takes at least four bytes of the stream.
    std::size_t budget = std::min(MAX_PERSIST_ENTRIES, doc.size() / 4);
    for (const std::uint32_t at : dirs)
        for_each_entry(directory_at(doc, at)->body, budget,
                       [&](std::uint32_t id, std::uint32_t off) { scan.entries.emplace_back(id, off); });
    std::stable_sort(scan.entries.begin(), scan.entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    persist_.clear();
    for (const auto& entry : scan.entries)
        if (persist_.empty() || persist_.back().first != entry.first) persist_.push_back(entry);
    scan.listed.reserve(scan.entries.size());
    for (const auto& entry : scan.entries) scan.listed.push_back(entry.second);
    std::sort(scan.listed.begin(), scan.listed.end());
    scan.documents = std::move(found.documents);
    scan.slides = std::move(found.slides);

    // Without any edit the document container's id is the one the format
    // prescribes.
    auto read = read_document(newest ? newest->doc_ref : 1, newest ? newest->crypt_ref : std::nullopt, &scan);
    if (!read) return fail(read.error());
    return {};
}

Result<bool> Deck::read_document(std::uint32_t doc_ref, std::optional<std::uint32_t> crypt_ref, const Scan* scan) {
    const Bytes doc(doc_);
    // The offset of the object an id names when it is a record of `type`:
    // the map's entry, or when recovering the newest entry of the id that is
    // (remembered: a slide list naming one id many times costs one search).
    std::unordered_map<std::uint64_t, std::optional<std::uint32_t>, hash::NumberHasher> resolved;
    auto resolve = [&](std::uint32_t id, std::uint16_t type) -> std::optional<std::uint32_t> {
        auto is = [&](std::uint32_t at) {
            const auto r = rec_at_clamped(doc, at);
            return r && r->type == type;
        };
        if (!scan) {
            const auto at = persist_offset(id);
            return at && is(*at) ? at : std::nullopt;
        }
        const auto [memo, fresh] = resolved.try_emplace((std::uint64_t{type} << 32) | id);
        if (!fresh) return memo->second;
        auto it = std::lower_bound(scan->entries.begin(), scan->entries.end(), id,
                                   [](const auto& entry, std::uint32_t key) { return entry.first < key; });
        for (; it != scan->entries.end() && it->first == id; ++it)
            if (is(it->second)) return memo->second = it->second;
        return std::nullopt;
    };

    // Recovering: a record that no directory entry names and that lies in
    // no record one names (an embedded deck's records lie in its object's).
    auto loose = [&](std::uint32_t at) {
        const auto after = std::upper_bound(scan->listed.begin(), scan->listed.end(), at);
        if (after == scan->listed.begin()) return true;
        const std::uint32_t prev = *std::prev(after);
        if (prev == at) return false;
        const auto holder = rec_at_clamped(doc, prev);
        return !holder || at - prev >= 8 + holder->body.size();
    };

    if (crypt_ref && *crypt_ref != 0 && resolve(*crypt_ref, rt_crypt_session))
        return fail(Error::encrypted("the legacy presentation is password-protected"));

    auto doc_off = resolve(doc_ref, rt_document);
    if (scan) {
        // A document container no directory lists, newer than the one the
        // map reaches, was saved by an edit whose directory is lost: the
        // newest wins. With none reachable any stands in, newest first.
        const auto newest = std::find_if(scan->documents.rbegin(), scan->documents.rend(), loose);
        if (newest != scan->documents.rend() && (!doc_off || *newest > *doc_off)) doc_off = *newest;
        if (!doc_off && !scan->documents.empty()) doc_off = scan->documents.back();
    }
    if (!doc_off) {
        if (!scan) return false;
        return fail(Error::other("ppt: the document record is missing or damaged"));
    }
    const auto container = rec_at_clamped(doc, *doc_off);

    // Slide containers no directory lists stand in for slide entries the map
    // cannot reach, in stream order.
    std::vector<std::uint32_t> spare;
    if (scan)
        std::copy_if(scan->slides.begin(), scan->slides.end(), std::back_inserter(spare), loose);
    std::size_t spare_used = 0;

    // The master whose record is at `at`, from one pass over its children:
    // the first text style atom of each text type, for a title master the
    // master its own slide atom names, and the furniture of its drawing.
    // Sound masters' records are distinct, so all of them together are fewer
    // than the stream has room for; records that overlap cost no more than
    // that either.
    std::size_t master_budget = doc.size() / 8;
    auto master_at = [&](std::uint32_t at, bool title) {
        Master out;
        out.title = title;
        const auto m = rec_at_clamped(doc, at);
        if (!m) return out;
        std::optional<Rec> drawing;
        Kids items(m->body);
        while (master_budget > 0) {
            const auto it = items.next();
            if (!it) break;
            --master_budget;
            if (it->type == rt_text_master_style && it->instance < out.styles.size() && out.styles[it->instance] == 0)
                out.styles[it->instance] = static_cast<std::uint32_t>(it->body.data() - doc.data()) - 8;
            else if (it->type == rt_slide_atom && title && !out.follows && it->body.size() >= 0x10)
                out.follows = load_le32(it->body, 0x0C);
            else if (it->type == rt_drawing && !drawing)
                drawing = it;
        }
        if (drawing) out.furniture = furniture_shapes(doc, drawing->body, master_budget);
        return out;
    };

    bool have_slides = false, have_notes = false, have_masters = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> notes; // (notes id, offset)
    Kids kids(container->body);
    while (auto r = kids.next()) {
        const Bytes b = r->body;
        if (r->type == rt_document_atom && b.size() >= 0x28) {
            if (s32(b, 0) > 0 && s32(b, 4) > 0) slide_size_ = {master_to_emu(s32(b, 0)), master_to_emu(s32(b, 4))};
            if (s32(b, 8) > 0 && s32(b, 12) > 0) notes_size_ = {master_to_emu(s32(b, 8)), master_to_emu(s32(b, 12))};
            first_slide_number_ = s16(b, 0x20);
            size_type_ = load_le16(b, 0x22);
            have_size_type_ = true;
            rtl_ = b[0x26] != 0;
        } else if (r->type == rt_environment && default_style_ == 0) {
            // The style text boxes fall back on; the first listed wins.
            if (const auto atom = child(b, rt_text_master_style, 4))
                default_style_ = static_cast<std::uint32_t>(atom->body.data() - doc.data()) - 8;
        } else if (r->type == rt_drawing_group) {
            const auto dgg = child(b, rt_dgg);
            const auto store = dgg ? child(dgg->body, rt_bstore) : std::nullopt;
            if (!store) continue;
            Kids items(store->body);
            while (auto it = items.next()) {
                BlipEntry entry;
                const Bytes f = it->body;
                const auto abs = static_cast<std::uint32_t>(f.data() - doc.data()) - 8;
                if (it->type == rt_fbse && f.size() >= 36) {
                    entry.blip_type = f[0];
                    entry.size = load_le32(f, 20);
                    entry.in_use = load_le32(f, 24) != 0;
                    entry.offset = load_le32(f, 28);
                    const std::size_t name_len = f[33];
                    if (name_len <= f.size() - 36) {
                        if (auto blip = rec_at(f, 36 + name_len);
                            blip && blip->type >= rt_blip_first && blip->type <= rt_blip_last)
                            entry.embedded_offset = abs + 8 + static_cast<std::uint32_t>(36 + name_len);
                    }
                } else if (it->type >= rt_blip_first && it->type <= rt_blip_last) {
                    entry.blip_type = blip_type_of_record(it->type);
                    entry.in_use = true;
                    entry.embedded_offset = abs;
                }
                // The record actually stored decides the format: an entry
                // may describe the Windows rendition (WMF) while the
                // Pictures stream holds the Macintosh one (PICT).
                const auto stored = entry.embedded_offset ? rec_at(doc, *entry.embedded_offset)
                                                          : rec_at(Bytes(pictures_), entry.offset);
                if (stored && stored->type >= rt_blip_first && stored->type <= rt_blip_last) {
                    const std::uint8_t t = blip_type_of_record(stored->type);
                    if (t != 1 && std::string_view(blip_kind(t).ext) != blip_kind(entry.blip_type).ext)
                        entry.blip_type = t;
                }
                blips_.push_back(entry);
            }
        } else if (r->type == rt_list_with_text && r->instance == 0 && !have_slides) {
            have_slides = true;
            std::vector<std::pair<bool, SlideEntry>> list;
            Kids items(b);
            while (auto it = items.next()) {
                const Bytes a = it->body;
                if (it->type == rt_persist_atom && a.size() >= 0x10) {
                    SlideEntry s;
                    s.slide_id = load_le32(a, 0x0C);
                    const auto at = resolve(load_le32(a, 0), rt_slide);
                    s.offset = at.value_or(0);
                    list.emplace_back(at.has_value(), std::move(s));
                } else if (it->type == rt_text_header && a.size() >= 4 && !list.empty()) {
                    TextGroup g;
                    g.text_type = load_le32(a, 0);
                    list.back().second.outline.push_back(std::move(g));
                } else if ((it->type == rt_text_chars || it->type == rt_text_bytes) && !list.empty() &&
                           !list.back().second.outline.empty()) {
                    append_units(list.back().second.outline.back().text, a, it->type == rt_text_bytes);
                } else if (it->type == rt_style_text_prop && !list.empty() && !list.back().second.outline.empty()) {
                    TextGroup& g = list.back().second.outline.back();
                    if (g.style_nbytes == 0) {
                        g.style_at = static_cast<std::size_t>(a.data() - doc.data());
                        g.style_nbytes = a.size();
                    }
                } else if (auto f = field_mark(*it); f && !list.empty() && !list.back().second.outline.empty()) {
                    list.back().second.outline.back().fields.push_back(*f);
                }
            }
            for (std::size_t k = 0; k < list.size(); ++k) {
                auto& [ok, s] = list[k];
                if (!ok && !scan) return false;
                if (!ok && spare_used < spare.size()) {
                    s.offset = spare[spare_used++];
                    ok = true;
                }
                // An entry no record stands in for is a slide lost: said, not
                // passed over.
                if (ok) slides_.push_back(std::move(s));
                else unresolved_.push_back(k);
            }
        } else if (r->type == rt_ex_obj_list) {
            // OLE objects (embedded, linked, controls) name their program
            // in a CString of instance 2 beside the atom holding their id.
            Kids items(b);
            while (auto it = items.next()) {
                if (it->type != rt_ex_embed && it->type != rt_ex_ole_link && it->type != rt_ex_control) continue;
                const auto atom = child(it->body, rt_ex_ole_obj);
                const auto name = child(it->body, rt_cstring, 2);
                if (!atom || atom->body.size() < 12 || !name) continue;
                std::u16string units;
                append_units(units, name->body, false);
                units.resize(std::min(units.size(), units.find(u'\0')));
                if (!units.empty()) prog_ids_.emplace_back(load_le32(atom->body, 8), SharedText(encoding::utf8_of_utf16(units)));
            }
        } else if (r->type == rt_list_with_text && r->instance == 1 && !have_masters) {
            have_masters = true;
            // Many entries may name one master record: it is looked at once,
            // by the first, which the others copy (by record offset).
            std::unordered_map<std::uint32_t, std::size_t, hash::NumberHasher> seen;
            Kids items(b);
            while (auto it = items.next()) {
                if (it->type != rt_persist_atom || it->body.size() < 0x10) continue;
                const std::uint32_t id = load_le32(it->body, 0);
                auto at = resolve(id, rt_main_master);
                const bool title = !at;
                if (!at) at = resolve(id, rt_slide);
                if (!at) continue;
                const auto [known, first] = seen.try_emplace(*at, masters_.size());
                Master m = first ? master_at(*at, title) : masters_[known->second];
                if (first) m.record = master_records_++;
                m.id = load_le32(it->body, 0x0C);
                masters_.push_back(std::move(m));
            }
            std::stable_sort(masters_.begin(), masters_.end(), [](const Master& x, const Master& y) { return x.id < y.id; });
        } else if (r->type == rt_doc_info_list && outline_numbering_.empty()) {
            // The numbering PowerPoint keeps for placeholder text: pairs of
            // a header naming slide and text type, then the entries.
            const auto tags = child(b, rt_prog_tags);
            const auto props = tags ? ppt9_record(tags->body, rt_outline_text_props9) : std::nullopt;
            if (!props) continue;
            Kids items(props->body);
            std::optional<std::pair<std::uint32_t, std::uint32_t>> key;
            while (auto it = items.next()) {
                if (it->type == rt_outline_text_props_header && it->body.size() >= 8) {
                    key.emplace(load_le32(it->body, 0), load_le32(it->body, 4));
                } else if (it->type == rt_style_text_prop9 && key) {
                    outline_numbering_.push_back({key->first, key->second,
                                                  static_cast<std::size_t>(it->body.data() - doc.data()), it->body.size()});
                    key.reset();
                }
            }
            std::stable_sort(outline_numbering_.begin(), outline_numbering_.end(),
                             [](const OutlineNumbering& x, const OutlineNumbering& y) {
                                 return std::make_pair(x.slide_id, x.text_type) < std::make_pair(y.slide_id, y.text_type);
                             });
        } else if (r->type == rt_headers_footers && r->instance == 3 && !slide_headers_footers_) {
            slide_headers_footers_ = headers_footers(b);
        } else if (r->type == rt_list_with_text && r->instance == 2 && !have_notes) {
            have_notes = true;
            Kids items(b);
            while (auto it = items.next()) {
                if (it->type != rt_persist_atom || it->body.size() < 0x10) continue;
                const std::uint32_t id = load_le32(it->body, 0);
                auto at = scan ? resolve(id, rt_notes) : std::nullopt;
                if (!at) at = persist_offset(id);
                if (at) notes.emplace_back(load_le32(it->body, 0x0C), *at);
            }
        }
    }
    // No slide in the stream is lost: those left over follow the listed ones.
    for (; spare_used < spare.size(); ++spare_used) slides_.push_back({spare[spare_used], 0, {}, std::nullopt});
    own_pages(notes);
    // One id, one object: the first listed wins.
    std::stable_sort(prog_ids_.begin(), prog_ids_.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    prog_ids_.erase(std::unique(prog_ids_.begin(), prog_ids_.end(),
                                [](const auto& x, const auto& y) { return x.first == y.first; }),
                    prog_ids_.end());
    return true;
}

std::optional<std::uint32_t> Deck::notes_id_of(std::uint32_t slide_offset) const {
    const auto r = rec_at_clamped(doc_, slide_offset);
    if (!r) return std::nullopt;
    const auto atom = child(r->body, rt_slide_atom);
    if (!atom || atom->body.size() < 0x14) return std::nullopt;
    const std::uint32_t notes_id = load_le32(atom->body, 0x10);
    if (notes_id == 0) return std::nullopt;
    return notes_id;
}

void Deck::own_pages(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& notes) {
    // One id, one page: the first listed wins.
    std::unordered_map<std::uint32_t, std::uint32_t, hash::NumberHasher> notes_by_id;
    for (const auto& [id, off] : notes) notes_by_id.try_emplace(id, off);
    std::unordered_set<std::uint32_t, hash::NumberHasher> slides_seen, notes_seen;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < slides_.size(); ++i) {
        SlideEntry& s = slides_[i];
        if (!slides_seen.insert(s.offset).second) continue;
        if (const auto id = notes_id_of(s.offset))
            if (const auto it = notes_by_id.find(*id); it != notes_by_id.end() && notes_seen.insert(it->second).second)
                s.notes = it->second;
        if (kept != i) slides_[kept] = std::move(s);
        ++kept;
    }
    slides_.resize(kept);
}

Result<model::SlideContent> Deck::drawing_of(std::uint32_t container_offset, std::uint16_t type,
                                             const std::vector<TextGroup>* outline, std::size_t index,
                                             const FurnitureGate* gate) const {
    const auto r = rec_at_clamped(doc_, container_offset);
    if (!r || r->type != type) return fail(Error::other("ppt: slide record at offset " + std::to_string(container_offset) + " is damaged"));
    model::SlideContent content;
    content.root = type == rt_slide ? model::SlideContent::Root::slide : model::SlideContent::Root::notes;
    Shapes shapes;
    shapes.outline = outline;
    shapes.doc = doc_;
    shapes.prog_ids = &prog_ids_;
    // Hidden slides keep their number; a notes page shows its slide's.
    shapes.slide_number = std::to_string(static_cast<std::int64_t>(first_slide_number_) + static_cast<std::int64_t>(index));
    if (outline) shapes.used.assign(outline->size(), false);
    if (type == rt_slide) {
        shapes.outline_numbering = &outline_numbering_;
        shapes.slide_id = slides_[index].slide_id;
        shapes.masters = masters_of(r->body);
        shapes.default_style = default_style_;
        shapes.deck = this;
    }
    Kids kids(r->body);
    while (auto k = kids.next()) {
        if (k->type == rt_slide_show_info && k->body.size() >= 12) {
            content.shown = (load_le16(k->body, 10) & 0x0004) == 0;
        } else if (k->type == rt_drawing) {
            const auto dg = child(k->body, rt_dg);
            const auto spgr = dg ? child(dg->body, rt_spgr) : std::nullopt;
            if (spgr) shapes.group(spgr->body, 0, Frame{}, content.shapes);
        }
    }
    // Outline text no shape refers to would otherwise be lost: it is kept as
    // placeholder text at the end of the tree.
    if (outline) {
        for (std::size_t i = 0; i < outline->size(); ++i) {
            if (shapes.used[i] || (*outline)[i].text.empty()) continue;
            model::Shape sh;
            const auto kind = outline_kind((*outline)[i].text_type);
            if (kind) sh.placeholder = model::Placeholder{*kind, 0};
            sh.content = shapes.group_text((*outline)[i], {}, kind == model::PlaceholderKind::body);
            content.shapes.push_back(std::move(sh));
        }
    }
    if (shapes.masters[0]) add_furniture(content, r->body, *shapes.masters[0], index, gate);
    return content;
}

const model::ListStyle* Deck::inherited_style(const Master* master, std::uint32_t text_type,
                                              const std::function<model::ListStyle()>& resolve) const {
    const std::size_t records = master_records_ + 1;  // and one for slides without a master
    once::OnceCell<model::ListStyle>& cell =
        inherited_.at((master ? master->record : master_records_) * TEXT_TYPES + text_type, records * TEXT_TYPES);
    if (!cell.done()) {
        cell.call([&]() -> std::optional<model::ListStyle> {
            model::ListStyle style = resolve();
            const std::uint64_t nbytes = sizeof(cell) + style.levels.size() * sizeof(style.levels[0]);
            std::uint64_t used = inherited_nbytes_.load(std::memory_order_relaxed);
            do {
                if (nbytes > MAX_INHERITED_NBYTES - std::min(used, MAX_INHERITED_NBYTES)) return std::nullopt;
            } while (!inherited_nbytes_.compare_exchange_weak(used, used + nbytes, std::memory_order_relaxed));
            return style;
        });
    }
    return cell.get();
}

std::array<const Deck::Master*, 2> Deck::masters_of(Bytes slide_body) const {
    std::array<const Master*, 2> out{};
    auto find = [&](std::uint32_t id) -> const Master* {
        const auto m = std::lower_bound(masters_.begin(), masters_.end(), id,
                                        [](const Master& x, std::uint32_t key) { return x.id < key; });
        return m != masters_.end() && m->id == id ? &*m : nullptr;
    };
    const auto atom = child(slide_body, rt_slide_atom);
    if (!atom || atom->body.size() < 0x10) return out;
    out[0] = find(load_le32(atom->body, 0x0C));
    // A title master's own styles come first, then those of the master it
    // follows; one step only, so that masters naming each other end.
    if (out[0] && out[0]->follows && *out[0]->follows != out[0]->id) out[1] = find(*out[0]->follows);
    return out;
}

std::optional<Deck::HeadersFooters> Deck::headers_footers(Bytes body) {
    const auto atom = child(body, rt_headers_footers_atom);
    if (!atom || atom->body.size() < 4) return std::nullopt;
    HeadersFooters hf;
    hf.flags = load_le16(atom->body, 2);
    if (const auto date = child(body, rt_cstring, 0); date && date->body.size() <= 2 * MAX_SETTING_UNITS)
        append_units(hf.user_date, date->body, false);
    if (const auto footer = child(body, rt_cstring, 2); footer && footer->body.size() <= 2 * MAX_SETTING_UNITS)
        append_units(hf.footer, footer->body, false);
    return hf;
}

void Deck::add_furniture(model::SlideContent& content, Bytes slide_body, const Master& master, std::size_t index,
                         const FurnitureGate* gate) const {
    using PK = model::PlaceholderKind;
    // The slide's own settings replace the deck's, which a title slide (one
    // that follows a title master) does not show.
    std::optional<HeadersFooters> hf;
    if (const auto own = child(slide_body, rt_headers_footers, 0)) hf = headers_footers(own->body);
    else if (!master.title) hf = slide_headers_footers_;
    if (!hf) return;

    // What the settings turn on, and give something to show, that the slide
    // does not show itself.
    std::vector<PK> wanted;
    if ((hf->flags & hf_date) && !((hf->flags & hf_user_date) && hf->user_date.empty())) wanted.emplace_back(PK::dt);
    if (hf->flags & hf_slide_number) wanted.emplace_back(PK::sldNum);
    if ((hf->flags & hf_footer) && !hf->footer.empty()) wanted.emplace_back(PK::ftr);
    for (const auto& sh : content.walk())
        if (sh.placeholder) std::erase(wanted, sh.placeholder->kind);
    if (wanted.empty()) return;

    Shapes shapes;
    shapes.doc = doc_;
    shapes.prog_ids = &prog_ids_;
    shapes.slide_number = std::to_string(static_cast<std::int64_t>(first_slide_number_) + static_cast<std::int64_t>(index));
    const std::string footer = encoding::utf8_of_utf16(hf->footer);
    // An automatic date is the day of showing: nothing stored to show.
    const std::string date = (hf->flags & hf_user_date) ? encoding::utf8_of_utf16(hf->user_date) : std::string();
    const auto blank = [](std::string_view t) { return t.find_first_not_of(" \t\n") == std::string_view::npos; };
    for (const std::uint32_t at : master.furniture) {
        const auto k = rec_at(doc_, at);
        if (!k || wanted.empty()) break;
        // Made with its fields unfilled, no larger than the shape stored.
        model::Shape sh = shapes.leaf(collect(k->body), Frame{}, 0);
        if (!sh.placeholder || std::erase(wanted, sh.placeholder->kind) == 0) continue;
        // A placeholder with nothing of its own to show shows its value alone.
        const model::TextBody* body = sh.text_body();
        const bool shows = body && std::ranges::any_of(body->paragraphs, [&](const model::Paragraph& p) {
            return std::ranges::any_of(p.runs, [&](const model::Run& r) {
                if (r.kind != model::Run::Kind::field) return !blank(r.text);
                const std::string_view value = setting_of(r, footer, date);
                return value.empty() || !blank(value);
            });
        });
        if (!shows) {
            const PK kind = sh.placeholder->kind;
            model::TextBody one;
            one.paragraphs.emplace_back().runs.push_back(field_run(
                kind == PK::dt ? TextField::Kind::date : kind == PK::sldNum ? TextField::Kind::slide_number : TextField::Kind::footer,
                shapes.slide_number));
            sh.content = std::move(one);
        }
        // What the copy holds once its fields show the setting texts, and
        // what of that it repeats (each text shown at more than one field),
        // known before the texts go in.
        model::TextBody* text = std::get_if<model::TextBody>(&sh.content);
        const SettingFields fields = text ? setting_fields(*text, footer, date, false) : SettingFields{};
        const std::uint64_t repeated = (fields.footers > 0 ? (fields.footers - 1) * footer.size() : 0) +
                                       (fields.dates > 0 ? (fields.dates - 1) * date.size() : 0);
        const std::uint64_t held = model::held_nbytes(sh) + fields.footers * footer.size() + fields.dates * date.size();
        if (gate && !(*gate)(at, held, repeated)) continue;
        if (text) setting_fields(*text, footer, date, true);
        content.copies.push_back({content.shapes.size(), at, repeated});
        content.shapes.push_back(std::move(sh));
    }
}

std::uint64_t Deck::slide_nbytes(std::size_t index) const {
    if (index >= slides_.size()) return 0;
    const auto r = rec_at_clamped(doc_, slides_[index].offset);
    if (!r) return 0;
    std::uint64_t nbytes = 8 + r->body.size();
    for (const TextGroup& g : slides_[index].outline) nbytes += 2 * g.text.size();
    if (const Master* m = masters_of(r->body)[0])
        for (const std::uint32_t at : m->furniture)
            if (const auto k = rec_at(doc_, at)) nbytes += 8 + k->body.size();
    return nbytes;
}

std::uint64_t Deck::notes_nbytes(std::size_t index) const {
    if (index >= slides_.size() || !slides_[index].notes) return 0;
    const auto r = rec_at_clamped(doc_, *slides_[index].notes);
    return r ? 8 + r->body.size() : 0;
}

Result<model::SlideContent> Deck::slide(std::size_t index, const FurnitureGate* gate) const {
    if (index >= slides_.size()) return fail(Error::slide_not_found(index));
    return drawing_of(slides_[index].offset, rt_slide, &slides_[index].outline, index, gate);
}

Result<std::optional<model::SlideContent>> Deck::notes(std::size_t index) const {
    if (index >= slides_.size()) return fail(Error::slide_not_found(index));
    const auto off = slides_[index].notes;
    if (!off) return std::optional<model::SlideContent>{};
    auto content = drawing_of(*off, rt_notes, nullptr, index);
    if (!content) return fail(content.error());
    return std::optional<model::SlideContent>(std::move(*content));
}

Result<std::optional<std::string>> Deck::notes_text(std::size_t index) const {
    auto page = notes(index);
    if (!page) return fail(page.error());
    if (!*page) return std::optional<std::string>{};
    return std::optional<std::string>((*page)->notes_text());
}

std::optional<std::string> Deck::picture_content_type(std::uint32_t pib) const {
    if (pib == 0 || pib > blips_.size()) return std::nullopt;
    return std::string(blip_kind(blips_[pib - 1].blip_type).content_type);
}

std::optional<std::string> Deck::picture_part(std::uint32_t pib) const {
    if (pib == 0 || pib > blips_.size()) return std::nullopt;
    return "/Pictures/image" + std::to_string(pib) + "." + blip_kind(blips_[pib - 1].blip_type).ext;
}

std::optional<std::uint32_t> Deck::pib_of(std::string_view name) const {
    std::string_view digits;
    if (name.starts_with("pib")) {
        digits = name.substr(3);
    } else if (name.starts_with("/Pictures/image")) {
        digits = name.substr(15);
        digits = digits.substr(0, digits.find('.'));
    } else {
        return std::nullopt;
    }
    std::uint32_t pib = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pib);
    if (ec != std::errc{} || end != digits.data() + digits.size() || pib == 0 || pib > blips_.size())
        return std::nullopt;
    // A part name must carry the entry's own extension.
    if (name.starts_with("/") && picture_part(pib) != name) return std::nullopt;
    return pib;
}

std::vector<SlideImage> Deck::images(const model::SlideContent& content) const {
    std::vector<SlideImage> out;
    for (const auto& sh : content.walk()) {
        const auto* pic = std::get_if<model::Picture>(&sh.content);
        if (!pic || !pic->embed) continue;
        const auto pib = pib_of(*pic->embed);
        if (!pib) continue;
        out.push_back({sh.id, *pib, *pic->embed, *picture_part(*pib), *picture_content_type(*pib)});
    }
    return out;
}

Result<bytes::Buffer> Deck::picture_bytes(std::uint32_t pib) const {
    if (pib == 0 || pib > blips_.size()) return fail(Error::missing_part(pib_id(pib)));
    const BlipEntry& e = blips_[pib - 1];
    std::optional<Rec> r;
    if (e.embedded_offset)
        r = rec_at(doc_, *e.embedded_offset);
    else
        r = rec_at(pictures_, e.offset);
    if (!r || r->type < rt_blip_first || r->type > rt_blip_last)
        return fail(Error::missing_part(*picture_part(pib)));
    return decode_blip(*r, pib);
}

} // namespace vantrell_core::ppt
