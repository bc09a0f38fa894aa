// Markdown outline to a deck, then the deck to package bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "write/markdown.h"
#include "write/style.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)vantrell_write::markdown::strip_inline(text);
    auto deck = vantrell_write::markdown::from_markdown(text);
    (void)deck.to_bytes();
    return 0;
}
