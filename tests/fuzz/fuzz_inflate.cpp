// Raw DEFLATE with a small output cap; a failed call must leave `out` as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace inflate = vantrell_core::inflate;
    const std::span<const std::uint8_t> in(data, size);
    vantrell_core::bytes::Buffer out{1, 2, 3};
    auto done = inflate::inflate(in, out, 1 << 16);
    if (!done && out != vantrell_core::bytes::Buffer{1, 2, 3}) std::abort();
    if (done && out.size() > 3 + (1 << 16)) std::abort();
    return 0;
}
