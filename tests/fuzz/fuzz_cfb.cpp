// Compound file parse, every storage's children, then every stream read.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/cfb.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace cfb = vantrell_core::cfb;
    auto file = cfb::Compound::parse(std::span<const std::uint8_t>(data, size));
    if (!file) return 0;
    const auto& entries = file->entries();
    for (std::uint32_t id = 0; id < entries.size(); ++id) {
        if (entries[id].is_storage()) {
            (void)file->children(id);
            (void)file->child(id, "PowerPoint Document");
        } else if (entries[id].is_stream()) {
            (void)file->read_stream(id);
        }
    }
    (void)file->find("Current User");
    (void)file->read_stream("PowerPoint Document");
    return 0;
}
