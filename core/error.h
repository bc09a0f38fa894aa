// The reading library's one error type.
//
// Errors are small values: a kind plus the fields its message needs. The
// message is formatted only when displayed, so building and passing errors
// around costs no formatting. Every fallible operation of the reading library
// returns `Result<T>` (std::expected); nothing here throws.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vantrell_core::error {

// The description of an operating-system error number with " (os error N)".
std::string os_error_text(int errnum);

// Why a path with an embedded NUL byte is refused rather than cut short.
inline constexpr std::string_view NUL_IN_PATH = "file name contained an unexpected NUL byte";

enum class Kind : std::uint8_t {
    Io,                 // "io: {}"
    NotZip,             // "not a zip archive"
    CompoundFile,       // a compound file where an ECMA-376 package was wanted
    NoPowerPointStream, // a compound file without a PowerPoint Document stream
    Encrypted,          // "encrypted: {}"
    Zip,                // "zip: {} at offset {}"
    OverlappingEntry,   // "zip: entry {} overlaps the data of an earlier entry"
    Unsupported,        // "unsupported: {}"
    Inflate,            // "inflate: {}"
    Xml,                // "xml in {} at byte {}: {}"
    MissingPart,        // "missing part: {}"
    MissingRelationship,// "missing relationship {} in {}"
    NotPresentation,    // "not a presentation package"
    SlideNotFound,      // "slide {} not found"
    Other,              // "{}"
};

class Error {
public:
    // An operating-system error: its description and " (os error N)".
    static Error io(int errnum) { return Error(Kind::Io, os_error_text(errnum)); }
    // An I/O error with a fixed text (e.g. a path with an embedded NUL).
    static Error io_text(std::string text);
    static Error not_zip() { return Error(Kind::NotZip); }
    static Error compound_file() { return Error(Kind::CompoundFile); }
    static Error no_powerpoint_stream() { return Error(Kind::NoPowerPointStream); }
    static Error encrypted(std::string what) { return Error(Kind::Encrypted, std::move(what)); }
    static Error zip(std::string what, std::uint64_t offset) {
        return Error(Kind::Zip, std::move(what), {}, offset);
    }
    // An entry left unread because its data lies within an earlier entry's.
    static Error overlapping_entry(std::string name) { return Error(Kind::OverlappingEntry, std::move(name)); }
    static Error unsupported(std::string what) { return Error(Kind::Unsupported, std::move(what)); }
    static Error inflate(std::string what) { return Error(Kind::Inflate, std::move(what)); }
    static Error xml(std::string part, std::uint64_t offset, std::string message) {
        return Error(Kind::Xml, std::move(part), std::move(message), offset);
    }
    static Error missing_part(std::string name) { return Error(Kind::MissingPart, std::move(name)); }
    static Error missing_relationship(std::string id, std::string source) {
        return Error(Kind::MissingRelationship, std::move(id), std::move(source));
    }
    static Error not_presentation() { return Error(Kind::NotPresentation); }
    static Error slide_not_found(std::uint64_t index) {
        return Error(Kind::SlideNotFound, {}, {}, index);
    }
    static Error other(std::string message) { return Error(Kind::Other, std::move(message)); }

    Kind kind() const noexcept { return kind_; }
    // The display text: what Python sees as the PptxError message.
    std::string message() const;

    // Field access for callers that tell variants apart (e.g. the byte offset
    // of an XML error). Meaning depends on the kind, as in the factories above.
    const std::string& first() const noexcept { return a_; }
    const std::string& second() const noexcept { return b_; }
    std::uint64_t number() const noexcept { return n_; }

    friend bool operator==(const Error&, const Error&) = default;

private:
    explicit Error(Kind kind, std::string a = {}, std::string b = {}, std::uint64_t n = 0)
        : kind_(kind), n_(n), a_(std::move(a)), b_(std::move(b)) {}

    Kind kind_;
    std::uint64_t n_;
    std::string a_;
    std::string b_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

} // namespace vantrell_core::error

namespace vantrell_core {
using error::Error;
using error::Result;
using error::fail;
} // namespace vantrell_core
