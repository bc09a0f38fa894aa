#include "write/fonts.h"

#include "write/mtx.h"

#include "core/bytes.h"
#include "core/encoding.h"

#include <algorithm>

namespace vantrell_write::fonts {

namespace enc = vantrell_core::encoding;

namespace {

constexpr std::size_t TABLE_RECORD = 16, NAME_RECORD = 12;
constexpr std::uint16_t MAGIC = 0x504C;
constexpr std::uint32_t EMPTY_ROOT_CHECKSUM = 0x50475342;
constexpr std::uint32_t EUDC_CODE_PAGE = 1252;
// fsType's low four bits: 2 is restricted-licence embedding.
constexpr std::uint16_t FS_TYPE_USAGE_MASK = 0x000F, FS_TYPE_RESTRICTED = 0x0002;

using vantrell_core::bytes::append_le16;
using vantrell_core::bytes::append_le32;
using vantrell_core::bytes::load_be16;
using vantrell_core::bytes::load_be32;

} // namespace

std::optional<std::span<const std::uint8_t>> table(std::span<const std::uint8_t> font, std::string_view tag) {
    if (font.size() < 6 || tag.size() != 4) return std::nullopt;
    const std::size_t count = load_be16(font, 4);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rec = 12 + TABLE_RECORD * i;
        if (rec > font.size() || TABLE_RECORD > font.size() - rec) break;
        const std::uint32_t offset = load_be32(font, rec + 8), length = load_be32(font, rec + 12);
        if (offset > font.size() || length > font.size() - offset) continue;
        if (!std::equal(tag.begin(), tag.end(), font.begin() + static_cast<std::ptrdiff_t>(rec),
                        [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
            continue;
        return font.subspan(offset, length);
    }
    return std::nullopt;
}

std::optional<std::string> name(std::span<const std::uint8_t> nt, std::uint16_t id) {
    if (nt.size() < 6) return std::nullopt;
    const std::size_t count = load_be16(nt, 2);
    const std::size_t storage = load_be16(nt, 4);
    if (count == 0) return std::nullopt;
    int best_rank = -1;
    std::uint16_t best_platform = 0;
    std::span<const std::uint8_t> best;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rec = 6 + NAME_RECORD * i;
        if (rec > nt.size() || 8 > nt.size() - rec) return std::nullopt;
        if (load_be16(nt, rec + 6) != id) continue;
        if (12 > nt.size() - rec) return std::nullopt;
        const std::size_t length = load_be16(nt, rec + 8), offset = load_be16(nt, rec + 10);
        // storage + offset + length stays far below overflow: each is 16 bits.
        if (storage + offset + length > nt.size()) return std::nullopt;
        const std::uint16_t platform = load_be16(nt, rec), encoding = load_be16(nt, rec + 2),
                            language = load_be16(nt, rec + 4);
        int rank;
        if (platform == 3 && (encoding == 1 || encoding == 10)) rank = language == 0x0409 ? 3 : 2;
        else if (platform == 0) rank = 1;
        else if (platform == 1 && encoding == 0) rank = 0;
        else continue;
        if (rank > best_rank) {
            best_rank = rank;
            best_platform = platform;
            best = nt.subspan(storage + offset, length);
        }
    }
    if (best_rank < 0) return std::nullopt;
    if (best_platform == 1) {
        std::string out;
        for (std::uint8_t b : best) enc::append_utf8(out, b);
        return out;
    }
    return enc::utf8_of_utf16(best, enc::ByteOrder::big);
}

Error malformed(std::string_view message) { return Error::font(std::string(message)); }

Result<FontInfo> info(std::span<const std::uint8_t> font) {
    if (font.size() < 4) return fail(malformed("file too short"));
    const std::string_view sig(reinterpret_cast<const char*>(font.data()), 4);
    if (sig == "ttcf") return fail(malformed("font collections are not supported"));
    if (sig != std::string_view("\0\1\0\0", 4) && sig != "OTTO" && sig != "true")
        return fail(malformed("not a TrueType or OpenType font"));

    const auto names = table(font, "name");
    if (!names) return fail(malformed("no name table"));
    const auto os2 = table(font, "OS/2");
    if (!os2) return fail(malformed("no OS/2 table"));
    const auto head = table(font, "head");
    if (!head) return fail(malformed("no head table"));
    if (os2->size() < 10) return fail(malformed("OS/2 table too short"));

    FontInfo fi;
    fi.fs_type = load_be16(*os2, 8);
    if ((fi.fs_type & FS_TYPE_USAGE_MASK) == FS_TYPE_RESTRICTED)
        return fail(Error::font_not_embeddable(name(*names, 4).value_or(std::string())));

    if (os2->size() < 42) return fail(malformed("OS/2 table too short"));
    fi.weight = load_be16(*os2, 4);
    std::copy_n(os2->begin() + 32, 10, fi.panose.begin());
    if (os2->size() < 64) return fail(malformed("OS/2 table too short"));
    for (std::size_t i = 0; i < 4; ++i) fi.unicode_ranges[i] = load_be32(*os2, 42 + 4 * i);
    const std::uint16_t fs_selection = load_be16(*os2, 62);
    if (load_be16(*os2, 0) != 0) {
        if (os2->size() < 86) return fail(malformed("OS/2 table too short"));
        fi.code_page_ranges = {load_be32(*os2, 78), load_be32(*os2, 82)};
    }
    if (head->size() < 46) return fail(malformed("head table too short"));
    const std::uint16_t mac_style = load_be16(*head, 44);
    fi.checksum_adjustment = load_be32(*head, 8);
    if (const auto post = table(font, "post"); post && post->size() >= 16) fi.fixed_pitch = load_be32(*post, 12) != 0;

    auto family = name(*names, 16);
    if (!family) family = name(*names, 1);
    if (!family) return fail(malformed("no family name"));
    fi.family = std::move(*family);
    auto style = name(*names, 17);
    if (!style) style = name(*names, 2);
    fi.style = style.value_or("Regular");
    fi.full_name = name(*names, 4).value_or(fi.family);
    fi.version = name(*names, 5).value_or(std::string());
    fi.bold = (mac_style & 0x1) != 0 || (fs_selection & 0x20) != 0;
    fi.italic = (mac_style & 0x2) != 0 || (fs_selection & 0x01) != 0;
    return fi;
}

void push_name(std::vector<std::uint8_t>& out, std::string_view utf8) {
    const std::u16string units = enc::utf16_of_utf8(utf8);
    append_le16(out, 0);
    // Name-table strings are at most 32767 units, so the size field cannot
    // wrap for text that came from a font.
    append_le16(out, static_cast<std::uint16_t>(2 * units.size() + 2));
    for (const char16_t u : units) append_le16(out, u);
    append_le16(out, 0);
}

Result<std::vector<std::uint8_t>> eot(std::span<const std::uint8_t> font, const FontInfo& fi) {
    const std::optional<std::vector<std::uint8_t>> packed = mtx::compress(font);
    const std::span<const std::uint8_t> data = packed ? std::span<const std::uint8_t>(*packed) : font;

    std::vector<std::uint8_t> out;
    out.reserve(data.size() + 256);
    append_le32(out, 0); // EOTSize, stored at the end
    append_le32(out, 0); // FontDataSize, likewise
    append_le32(out, EOT_VERSION);
    append_le32(out, packed ? EOT_FLAG_COMPRESSED : 0);
    out.insert(out.end(), fi.panose.begin(), fi.panose.end());
    out.push_back(0); // charset
    out.push_back(fi.italic ? 1 : 0);
    append_le32(out, fi.weight);
    append_le16(out, fi.fs_type);
    append_le16(out, MAGIC);
    for (std::uint32_t r : fi.unicode_ranges) append_le32(out, r);
    for (std::uint32_t r : fi.code_page_ranges) append_le32(out, r);
    append_le32(out, fi.checksum_adjustment);
    for (int i = 0; i < 4; ++i) append_le32(out, 0);
    push_name(out, fi.family);
    push_name(out, fi.style);
    push_name(out, fi.version);
    push_name(out, fi.full_name);
    append_le16(out, 0); // padding
    append_le16(out, 0); // no root string
    append_le32(out, EMPTY_ROOT_CHECKSUM);
    append_le32(out, EUDC_CODE_PAGE);
    append_le16(out, 0); // padding
    append_le16(out, 0); // no signature
    append_le32(out, 0); // EUDC flags
    append_le32(out, 0); // no EUDC font

    // The size fields are 32-bit: a larger font is refused, not wrapped.
    if (data.size() > 0xFFFFFFFFu - out.size()) return fail(malformed("font too large"));
    vantrell_core::bytes::store_le32(out.data() + 4, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    vantrell_core::bytes::store_le32(out.data(), static_cast<std::uint32_t>(out.size()));
    return out;
}

Result<parts::FontPart> embed(std::span<const std::uint8_t> font) {
    auto fi = info(font);
    if (!fi) return fail(fi.error());
    auto bytes = eot(font, *fi);
    if (!bytes) return fail(bytes.error());
    parts::FontPart part;
    part.family = std::move(fi->family);
    part.panose = fi->panose;
    part.bold = fi->bold;
    part.italic = fi->italic;
    part.fixed_pitch = fi->fixed_pitch;
    part.eot = std::move(*bytes);
    return part;
}

} // namespace vantrell_write::fonts
