// Fixture builders shared by the C++ tests: a ZIP archive written by hand, so
// tests control every byte and order without going through the writer.
#pragma once

#include "core/crc32.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testkit {

using Bytes = std::vector<std::uint8_t>;

// A ZIP archive of entries in the order added. Data is written as is; `method`
// is only the number recorded in the headers, so a test can claim a method the
// bytes do not have.
struct Zip {
    struct Item {
        std::string name;
        Bytes data;
        std::uint16_t method = 0;
        bool bad_crc = false;  // record a CRC-32 one bit off
        // An uncompressed size to record instead of the data's.
        std::optional<std::uint32_t> recorded_size;
    };
    std::vector<Item> items;

    Zip& add(std::string name, std::string_view text, std::uint16_t method = 0) {
        items.push_back({std::move(name), Bytes(text.begin(), text.end()), method});
        return *this;
    }
    Zip& add_bytes(std::string name, Bytes data) {
        items.push_back({std::move(name), std::move(data), 0});
        return *this;
    }
    Zip& remove(std::string_view name) {
        std::erase_if(items, [&](const Item& it) { return it.name == name; });
        return *this;
    }
    Zip& replace(std::string name, std::string_view text) { return remove(name).add(std::move(name), text); }

    Bytes build() const {
        Bytes out, central;
        auto u16 = [](Bytes& b, std::uint32_t v) {
            b.push_back(static_cast<std::uint8_t>(v));
            b.push_back(static_cast<std::uint8_t>(v >> 8));
        };
        auto u32 = [&](Bytes& b, std::uint32_t v) {
            u16(b, v & 0xFFFF);
            u16(b, v >> 16);
        };
        for (const Item& it : items) {
            const auto offset = static_cast<std::uint32_t>(out.size());
            const std::uint32_t crc = vantrell_core::crc32::of(it.data) ^ (it.bad_crc ? 1u : 0u);
            const auto size = static_cast<std::uint32_t>(it.data.size());
            const std::uint32_t usize = it.recorded_size.value_or(size);
            const auto name_len = static_cast<std::uint32_t>(it.name.size());
            u32(out, 0x04034b50);
            u16(out, 20); u16(out, 0); u16(out, it.method); u16(out, 0); u16(out, 0x21);
            u32(out, crc); u32(out, size); u32(out, usize);
            u16(out, name_len); u16(out, 0);
            out.insert(out.end(), it.name.begin(), it.name.end());
            out.insert(out.end(), it.data.begin(), it.data.end());
            u32(central, 0x02014b50);
            u16(central, 20); u16(central, 20); u16(central, 0); u16(central, it.method);
            u16(central, 0); u16(central, 0x21);
            u32(central, crc); u32(central, size); u32(central, usize);
            u16(central, name_len); u16(central, 0); u16(central, 0); u16(central, 0); u16(central, 0);
            u32(central, 0); u32(central, offset);
            central.insert(central.end(), it.name.begin(), it.name.end());
        }
        const auto cd_offset = static_cast<std::uint32_t>(out.size());
        out.insert(out.end(), central.begin(), central.end());
        u32(out, 0x06054b50);
        u16(out, 0); u16(out, 0);
        u16(out, static_cast<std::uint32_t>(items.size()));
        u16(out, static_cast<std::uint32_t>(items.size()));
        u32(out, static_cast<std::uint32_t>(central.size()));
        u32(out, cd_offset);
        u16(out, 0);
        return out;
    }
};

// `count` names of the form prefix + number that all share one slot of a name
// index of `table_names` names under `hash` (the index has bit_ceil(2n + 2)
// slots), so its lookups probe past every one of them.
template <class Hash>
std::vector<std::string> sharing_slot(std::size_t count, std::size_t table_names, const std::string& prefix, Hash hash) {
    const std::uint64_t mask = std::bit_ceil(table_names * 2 + 2) - 1;
    std::vector<std::string> out;
    std::optional<std::uint64_t> slot;
    for (std::size_t i = 0; out.size() < count; ++i) {
        std::string name = prefix + std::to_string(i);
        const std::uint64_t s = hash(name) & mask;
        if (!slot) slot = s;
        if (s == *slot) out.push_back(std::move(name));
    }
    return out;
}

// `zip` with the central record of `name` pointing at the local header of
// `onto`, whose flags, method, CRC-32 and sizes it takes too, so the two
// entries share one header and its data. Its own local header and data stay,
// unreferenced. No ZIP64 records; an unknown name leaves `zip` as it is.
inline Bytes point_at(Bytes zip, std::string_view name, std::string_view onto) {
    auto record = [&zip](std::string_view want) -> std::optional<std::size_t> {
        for (std::size_t at = 0; at + 46 <= zip.size(); ++at) {
            if (zip[at] != 'P' || zip[at + 1] != 'K' || zip[at + 2] != 1 || zip[at + 3] != 2) continue;
            const std::size_t n = zip[at + 28] | std::size_t{zip[at + 29]} << 8;
            if (at + 46 + n <= zip.size() && std::string_view(reinterpret_cast<const char*>(&zip[at + 46]), n) == want)
                return at;
        }
        return std::nullopt;
    };
    const auto to = record(name), from = record(onto);
    if (!to || !from) return zip;
    // Flags and method, then CRC-32 and both sizes, then the header offset.
    for (const auto& [off, n] : {std::pair<std::size_t, std::size_t>{8, 4}, {16, 12}, {42, 4}})
        std::copy_n(zip.begin() + static_cast<std::ptrdiff_t>(*from + off), n, zip.begin() + static_cast<std::ptrdiff_t>(*to + off));
    return zip;
}

}  // namespace testkit
