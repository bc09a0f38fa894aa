// Font embedding: table lookup, name reading and the compressed EOT record.
#include <cstddef>
#include <cstdint>
#include <span>

#include "write/fonts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fonts = vantrell_write::fonts;
    const std::span<const std::uint8_t> font(data, size);
    if (auto name = fonts::table(font, "name")) {
        for (std::uint16_t id : {1, 2, 4, 6}) (void)fonts::name(*name, id);
    }
    (void)fonts::embed(font);
    return 0;
}
