// Small values shared by the writer's tests.
#pragma once

#include "write/style.h"

#include <cstdint>
#include <string>
#include <utility>

namespace writekit {

inline vantrell_write::Paragraph para(std::string text, bool bullet = false, std::uint8_t level = 0) {
    vantrell_write::Paragraph p;
    p.runs.push_back(vantrell_write::Run{std::move(text)});
    p.bullet = bullet;
    p.level = level;
    return p;
}

// A PNG signature and header chunk of the given pixel size: enough for the
// writer to read the size, nothing an image viewer would show.
inline vantrell_write::Bytes png(std::uint32_t w, std::uint32_t h) {
    vantrell_write::Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (std::uint32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    b.insert(b.end(), {8, 2, 0, 0, 0, 0, 0, 0, 0});
    return b;
}

}  // namespace writekit
