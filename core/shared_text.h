// Texts stored once in a deck and shown by many values.
//
// A comment author's name shows on each of their comments, a content type
// on every picture of its kind, a relationship's target on every picture or
// object that names it. Were each value to hold its own copy, a small file
// (one long name, many short records naming it) would make a call's result
// as large as the count times the length. So such values hold a
// `SharedText`: every copy of it shares one string, and a call hands out
// one `SharedText` per stored text (`SharedTexts`), so that what the call
// returns grows with the deck's distinct texts, not with how often they
// show. The Python layer converts each shared string once per call, keyed
// by its address (`get()`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/hash.h"

namespace vantrell_core {

// A text, or none, that copies share. Reads like std::optional<std::string>.
class SharedText {
public:
    SharedText() noexcept = default;
    SharedText(std::nullopt_t) noexcept {}
    SharedText(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}
    explicit SharedText(std::optional<std::string> text) {
        if (text) text_ = std::make_shared<const std::string>(std::move(*text));
    }
    SharedText& operator=(std::string text) { return *this = SharedText(std::move(text)); }
    SharedText& operator=(std::nullopt_t) noexcept {
        text_.reset();
        return *this;
    }

    bool has_value() const noexcept { return text_ != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    const std::string& operator*() const noexcept { return *text_; }
    const std::string* operator->() const noexcept { return text_.get(); }
    std::string value_or(std::string_view fallback) const {
        return text_ ? *text_ : std::string(fallback);
    }
    // The one string all copies share; null for none.
    const std::string* get() const noexcept { return text_.get(); }

    // By value, as an optional string compares.
    friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
        return a.text_ == b.text_ || (a && b && *a == *b);
    }
    friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a && *a == b; }
    friend bool operator==(const SharedText& a, std::nullopt_t) noexcept { return !a; }

private:
    std::shared_ptr<const std::string> text_;
};

// One `SharedText` per stored text for the values one call makes, keyed by
// where the text is stored: that storage (a parsed part's texts) must stay
// where it is, unchanged, while this lives. Keying by place rather than by
// value spares hashing a long text again at each of its showings.
class SharedTexts {
public:
    const SharedText& of(std::string_view stored) {
        const auto [it, made] = shared_.try_emplace(Place{stored.data(), stored.size()});
        if (made) it->second = SharedText(std::string(stored));
        return it->second;
    }

private:
    struct Place {
        const char* data;
        std::size_t size; // texts end to end may start where an empty one ends
        bool operator==(const Place&) const noexcept = default;
    };
    struct PlaceHasher {
        std::size_t operator()(const Place& p) const noexcept {
            return static_cast<std::size_t>(
                hash::number(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p.data)) ^ (p.size << 1)));
        }
    };
    std::unordered_map<Place, SharedText, PlaceHasher> shared_;
};

} // namespace vantrell_core
