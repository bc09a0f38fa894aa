// Package from bytes: content types, defects, then every part's bytes and
// relationships, with each relationship resolved.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace package = vantrell_core::package;
    auto pkg = package::Package::from_bytes(std::vector<std::uint8_t>(data, data + size));
    if (!pkg) return 0;
    (void)pkg->parsed_content_types();
    (void)pkg->defects();
    (void)pkg->rels("/");
    std::vector<std::string> names;
    for (const package::Part& part : pkg->parts()) names.emplace_back(part.name);
    vantrell_core::bytes::Buffer raw;
    for (const std::string& name : names) {
        (void)pkg->part_index(name);
        (void)pkg->parsed_content_types().types.content_type_of(name);
        (void)pkg->read_part(name);
        raw.clear();
        (void)pkg->read_part_bytes(name, raw);
        auto rels = pkg->rels(name);
        if (!rels) continue;
        for (const auto& rel : (*rels)->relationships) (void)pkg->resolve(name, rel.id);
    }
    return 0;
}
