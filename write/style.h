// The deck writer's values: the deck, slides, content, themes and colours,
// and the writer's error type.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace vantrell_write {

// The writer's one error type; `message()` is the display text the Python
// layer puts into its exception.
class Error {
public:
    enum class Kind : std::uint8_t { Io, Image, TableRow, BackgroundImage, Font, FontNotEmbeddable, Other };

    static Error io(std::string text) { return Error(Kind::Io, std::move(text)); }
    static Error image(std::uint64_t picture) { return Error(Kind::Image, {}, picture); }
    static Error table_row(std::uint64_t row, std::uint64_t cells, std::uint64_t columns) {
        return Error(Kind::TableRow, {}, row, cells, columns);
    }
    static Error background_image() { return Error(Kind::BackgroundImage); }
    static Error font(std::string message) { return Error(Kind::Font, std::move(message)); }
    static Error font_not_embeddable(std::string name) {
        return Error(Kind::FontNotEmbeddable, std::move(name));
    }
    static Error other(std::string message) { return Error(Kind::Other, std::move(message)); }

    Kind kind() const noexcept { return kind_; }
    std::string message() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    explicit Error(Kind kind, std::string text = {}, std::uint64_t a = 0, std::uint64_t b = 0,
                   std::uint64_t c = 0)
        : kind_(kind), a_(a), b_(b), c_(c), text_(std::move(text)) {}

    Kind kind_;
    std::uint64_t a_, b_, c_;
    std::string text_;
};

template <class T>
using Result = std::expected<T, Error>;

} // namespace vantrell_write
