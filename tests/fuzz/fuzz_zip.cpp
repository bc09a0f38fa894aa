// ZIP archive open, then every entry's local header and bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/zip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace zip = vantrell_core::zip;
    auto source = std::make_shared<zip::MemorySource>(std::vector<std::uint8_t>(data, data + size));
    auto archive = zip::Archive::open(source);
    if (!archive) return 0;
    vantrell_core::bytes::Buffer out;
    for (const zip::Entry& entry : archive->entries()) {
        (void)archive->find(entry.name);
        (void)archive->local_header(entry);
        (void)archive->read(entry, out);
    }
    return 0;
}
