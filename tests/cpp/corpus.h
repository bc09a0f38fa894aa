// Where the real decks are: $VANTRELL_CORPUS when set, else the folder the
// build names (the shared corpus beside the checkout). Tests that use decks
// skip when this gives none, so a fresh clone without the corpus passes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace testkit {

inline std::optional<std::filesystem::path> corpus_dir() {
    const char* env = std::getenv("VANTRELL_CORPUS");
    std::filesystem::path dir = env && *env ? env : VANTRELL_DEFAULT_CORPUS;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return std::nullopt;
    return dir;
}

} // namespace testkit
