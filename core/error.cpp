// Display texts of the reading library's errors.
#include "core/error.h"

#include <cstring>

namespace vantrell_core::error {

std::string os_error_text(int errnum) {
    // strerror_r (GNU form) may return a static string instead of filling buf.
    char buf[256];
    const char* text = strerror_r(errnum, buf, sizeof buf);
    std::string s = text ? text : "unknown error";
    s += " (os error ";
    s += std::to_string(errnum);
    s += ')';
    return s;
}

Error Error::io_text(std::string text) { return Error(Kind::Io, std::move(text)); }

std::string Error::message() const {
    switch (kind_) {
    case Kind::Io: return "io: " + a_;
    case Kind::NotZip: return "not a zip archive";
    case Kind::CompoundFile:
        return "compound file: a legacy .ppt or an encrypted package, not an ECMA-376 package";
    case Kind::NoPowerPointStream: return "compound file holds no PowerPoint Document stream";
    case Kind::Encrypted: return "encrypted: " + a_;
    case Kind::Zip: return "zip: " + a_ + " at offset " + std::to_string(n_);
    case Kind::OverlappingEntry: return "zip: entry " + a_ + " overlaps the data of an earlier entry";
    case Kind::Unsupported: return "unsupported: " + a_;
    case Kind::Inflate: return "inflate: " + a_;
    case Kind::Xml: return "xml in " + a_ + " at byte " + std::to_string(n_) + ": " + b_;
    case Kind::MissingPart: return "missing part: " + a_;
    case Kind::MissingRelationship: return "missing relationship " + a_ + " in " + b_;
    case Kind::NotPresentation: return "not a presentation package";
    case Kind::SlideNotFound: return "slide " + std::to_string(n_) + " not found";
    case Kind::Other: return a_;
    }
    return a_;
}

} // namespace vantrell_core::error
