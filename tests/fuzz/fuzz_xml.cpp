// The XML reader over the whole text, every attribute and text run decoded,
// then the same text walked again with alternate content resolved, some
// levels skimmed, and read as a layout's or master's styles.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/mce.h"
#include "core/slide.h"
#include "core/xml.h"

namespace {

namespace xml = vantrell_core::xml;
namespace mce = vantrell_core::mce;

void full_pass(std::string_view text) {
    xml::Reader reader(text);
    std::string decoded;
    for (;;) {
        xml::Event ev = reader.next();
        if (ev.kind == xml::EventKind::error || ev.kind == xml::EventKind::eof) break;
        if (ev.kind == xml::EventKind::text) {
            decoded.clear();
            xml::append_text(ev, decoded);
        } else if (ev.kind == xml::EventKind::start) {
            (void)ev.start.name.qualified();
            for (xml::Attrs it(reader, ev.start); auto a = it.next();) {
                std::string scratch;
                (void)xml::attr_value(a->value, scratch);
                (void)xml::unescape_attr(a->value);
            }
            (void)reader.lookup(ev.start.name.prefix);
            (void)reader.attr(ev.start, 0, "id");
        }
        if (reader.depth() > xml::MAX_DEPTH + 1) std::abort();
    }
}

xml::Status walk(xml::Reader& reader, const xml::Start& start, int level) {
    (void)start.name.qualified();
    if (level % 3 == 2) {
        std::string out;
        return reader.read_text(out);
    }
    const auto child = [level](xml::Reader& r, const xml::Start& c) { return walk(r, c, level + 1); };
    // What a skimming walk leaves of a child is passed over unchecked.
    if (level % 3 == 1) return mce::children_skimmed(reader, child);
    return mce::children_inner(reader, child, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    full_pass(text);
    (void)xml::well_formed(text);
    (void)xml::parse_root(text, "/fuzz.xml", [](xml::Reader& r, const xml::Start& s) { return walk(r, s, 0); });
    (void)vantrell_core::slide::parse_styles(text, "/fuzz.xml");
    return 0;
}
