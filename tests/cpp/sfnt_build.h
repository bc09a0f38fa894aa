// Test-only builders of small sfnt files and the tables the font code reads.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sfnt_test {

using Bytes = std::vector<std::uint8_t>;

inline void be16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
inline void be32(Bytes& b, std::uint32_t v) {
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}

// A font file from (tag, data) pairs, in that directory order; each record's
// checksum field is its index so tests can see that it is copied.
inline Bytes font(const std::vector<std::pair<std::string, Bytes>>& tables, const std::string& sig = std::string("\0\1\0\0", 4)) {
    Bytes out(sig.begin(), sig.end());
    be16(out, static_cast<unsigned>(tables.size()));
    be16(out, 0);
    be16(out, 0);
    be16(out, 0);
    std::uint32_t offset = 12 + 16 * static_cast<std::uint32_t>(tables.size());
    std::uint32_t index = 0;
    for (const auto& [tag, data] : tables) {
        out.insert(out.end(), tag.begin(), tag.end());
        be32(out, 0xC0DE0000u + index++);
        be32(out, offset);
        be32(out, static_cast<std::uint32_t>(data.size()));
        offset += static_cast<std::uint32_t>((data.size() + 3) & ~std::size_t{3});
    }
    for (const auto& t : tables) {
        out.insert(out.end(), t.second.begin(), t.second.end());
        out.resize((out.size() + 3) & ~std::size_t{3}, 0);
    }
    return out;
}

struct NameRecord {
    unsigned platform, encoding, language, id;
    Bytes text; // already encoded
};

inline Bytes utf16be(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) be16(b, c);
    return b;
}

inline Bytes name_table(const std::vector<NameRecord>& recs) {
    Bytes out;
    be16(out, 0);
    be16(out, static_cast<unsigned>(recs.size()));
    be16(out, static_cast<unsigned>(6 + 12 * recs.size()));
    Bytes storage;
    for (const auto& r : recs) {
        be16(out, r.platform);
        be16(out, r.encoding);
        be16(out, r.language);
        be16(out, r.id);
        be16(out, static_cast<unsigned>(r.text.size()));
        be16(out, static_cast<unsigned>(storage.size()));
        storage.insert(storage.end(), r.text.begin(), r.text.end());
    }
    out.insert(out.end(), storage.begin(), storage.end());
    return out;
}

inline NameRecord win(unsigned id, const std::u16string& s) { return {3, 1, 0x0409, id, utf16be(s)}; }

// An OS/2 table of `size` bytes with the fields the font code reads.
inline Bytes os2(unsigned version, std::size_t size, unsigned fs_type, unsigned weight = 400,
                 unsigned fs_selection = 0) {
    Bytes b(size, 0);
    auto put16 = [&](std::size_t at, unsigned v) {
        if (at + 2 <= b.size()) {
            b[at] = static_cast<std::uint8_t>(v >> 8);
            b[at + 1] = static_cast<std::uint8_t>(v);
        }
    };
    put16(0, version);
    put16(4, weight);
    put16(8, fs_type);
    for (std::size_t i = 0; i < 10 && 32 + i < b.size(); ++i) b[32 + i] = static_cast<std::uint8_t>(i + 1);
    for (std::size_t i = 0; i < 16 && 42 + i < b.size(); ++i) b[42 + i] = static_cast<std::uint8_t>(0x10 + i);
    put16(62, fs_selection);
    for (std::size_t i = 0; i < 8 && 78 + i < b.size(); ++i) b[78 + i] = static_cast<std::uint8_t>(0x40 + i);
    return b;
}

inline Bytes head(unsigned mac_style = 0, unsigned loca_format = 0, std::size_t size = 54) {
    Bytes b(size, 0);
    b[8] = 0x12;
    b[9] = 0x34;
    b[10] = 0x56;
    b[11] = 0x78;
    if (size >= 46) {
        b[44] = static_cast<std::uint8_t>(mac_style >> 8);
        b[45] = static_cast<std::uint8_t>(mac_style);
    }
    if (size >= 52) b[51] = static_cast<std::uint8_t>(loca_format);
    return b;
}

inline Bytes maxp(unsigned glyphs) {
    Bytes b;
    be32(b, 0x00005000);
    be16(b, glyphs);
    return b;
}

} // namespace sfnt_test
