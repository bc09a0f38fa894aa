// Legacy binary decks: PowerPoint 97-2003 records in a compound file, read
// into the same content model the PPTX reader builds.
//
// Opening follows the format's own indirections: the current-user atom names
// the newest user edit, the chain of user edits and their persist directories
// maps persist ids to stream offsets (newer edits win), and only records
// reached through that map are live. Older copies of slides stay in the
// stream after incremental saves, so a sound deck is never scanned: scanning
// would resurrect deleted text.
//
// A broken chain (a current user naming no edit, a link to the previous edit
// that is no older edit, a directory that cannot be read, a document or slide
// the map cannot reach) would otherwise lose slides silently, so the stream
// is then scanned once: every persist directory before the newest edit joins
// the map, newest first, and a lookup that lands on a record of the wrong
// kind tries the older entries of its id. Records no directory lists (their
// own directory is lost) fill the rest: a document container newer than the
// one reached, or any when none is; slide containers, given to the
// unresolved slide entries in stream order and appended after them when left
// over. Such a deck says so through `recovered`.
//
// A slide record is one slide, at its first listing: the list naming it again
// adds no slide. A notes record belongs to the first slide that names it;
// later ones have no notes page.
//
// Opening validates the chain, the document container, the slide list with
// its outline text, the notes list and the picture store; a slide's drawing is
// parsed anew on each `slide` call, as a PPTX slide part is. Every length,
// offset and count comes from the file and is checked against the bytes that
// hold it; record nesting is bounded; a damaged slide fails alone.
//
// Pictures on a slide name picture-store entries by their 1-based index
// (`pib`); the model carries it as the picture's embed id "pib{N}", and the
// store's entries are exposed under the pseudo part names
// "/Pictures/image{N}.{ext}", which is what image references of a legacy deck
// hold. Encrypted decks are refused; nothing is ever decrypted.
//
// A paragraph's indent level and bullet come from the style record that
// follows its text; a style record that does not cover its text exactly is
// ignored whole. A bullet the paragraph does not set is inherited from the
// text styles of its slide's master (a title master's, then those of the
// master it follows) for the text's type, a centred, half or quarter body
// falling back on the body's and a centred title on the title's, and last
// from the document's style for text boxes; within a style a level that
// does not set it takes the nearest level above it. The text body keeps
// what it inherits as its own list style; where no style says, body and
// content placeholders show a bullet. Automatic numbering lives in a later
// extension: in the shape's programmable tags, or for placeholder text in
// the document's own tags keyed by slide id and text type. It is an array
// of entries that each paragraph picks by its first character run, and it
// numbers only paragraphs whose bullet, so resolved, is on; without it
// paragraphs keep their bullet as the base record states it. A text effect
// (WordArt) keeps its text in its properties rather than a text box, and
// shows it as its text. Fields (slide number, dates, header, footer) are records beside
// the text naming the position of a `*` stand-in character, and a record
// naming any other character is no field; a slide-number field shows the
// slide's number, the others hold no value and show nothing. Header and
// footer shapes are placeholders either by the placeholder record or by the
// mark later versions write instead.
//
// Footer, slide number and date settings for the whole deck (or one slide's
// own) are drawn through the slide's master: each of the master's date,
// slide-number and footer placeholders that the settings turn on, and of
// which the slide has no placeholder of its own, joins the end of the slide's
// shape tree with its fields showing the footer text, the slide's number and
// the date stored as text ("automatic" dates store none: they show nothing).
// They are page furniture, so plain text and Markdown show them only when
// asked to. OLE frames take their program id from the document's object
// list, by the object id their shape names.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/cfb.h"
#include "core/error.h"
#include "core/model.h"
#include "core/once.h"

namespace vantrell_core::ppt {

// The name of the main stream, which stands for the presentation part.
inline constexpr std::string_view DOCUMENT_STREAM = "PowerPoint Document";

// Containers nested deeper than this are not descended into.
inline constexpr int MAX_DEPTH = 32;

// One entry of the picture store, in store order (entry i has pib i + 1).
struct BlipEntry {
    std::uint8_t blip_type = 0;   // MSOBLIPTYPE of the entry
    std::uint32_t offset = 0;     // of its record in the Pictures stream
    std::uint32_t size = 0;       // of that record, header included
    bool in_use = false;          // reference count above zero
    // A picture stored in the entry itself instead of the Pictures stream:
    // the record's offset in the document stream.
    std::optional<std::uint32_t> embedded_offset;
};

// A picture a slide shows.
struct SlideImage {
    std::uint32_t shape_id = 0;
    std::uint32_t pib = 0;
    std::string id;             // "pib{N}"
    std::string part;           // "/Pictures/image{N}.{ext}"
    std::string content_type;   // by the store entry's type
};

// A field in legacy text: the position of the stand-in character it takes
// the place of, and what it shows.
struct TextField {
    enum class Kind : std::uint8_t { slide_number, date, header, footer };
    std::uint32_t at = 0;
    Kind kind = Kind::date;
};

struct Size {
    std::int64_t cx = 0; // EMU
    std::int64_t cy = 0;
};

// Whether a slide is given its copy of a master's furniture shape: asked
// before the copy's fields are filled with the settings' texts, with where
// the shape is stored (its offset in the document stream), the bytes of
// text the filled copy holds (one more for each run) and how many of them
// repeat a setting text it shows at more than one field.
using FurnitureGate = std::function<bool(std::uint64_t source, std::uint64_t nbytes, std::uint64_t repeated_nbytes)>;

class Deck {
public:
    // Reads a legacy deck from a compound file (the PowerPoint 97 storage of
    // a dual-storage file when it has one). Errors: "encrypted: ..." for an
    // encrypted deck, the no-stream error without a "PowerPoint Document"
    // stream, "unsupported: ..." for a PowerPoint 95 or 4 file, "{}" texts
    // that begin "ppt: " for structural damage.
    static Result<std::shared_ptr<const Deck>> open(const cfb::Compound& file);

    // The same from the three streams; `current_user` and `pictures` may be
    // empty (a missing Current User stream is survivable).
    static Result<std::shared_ptr<const Deck>> from_streams(std::vector<std::uint8_t> current_user,
                                                           std::vector<std::uint8_t> document,
                                                           std::vector<std::uint8_t> pictures);

    std::size_t slide_count() const noexcept { return slides_.size(); }
    Size slide_size() const noexcept { return slide_size_; }
    Size notes_size() const noexcept { return notes_size_; }
    // "screen4x3", "letter", "A4", "35mm", "overhead", "banner", "custom".
    std::optional<std::string> slide_size_type() const;
    std::int32_t first_slide_number() const noexcept { return first_slide_number_; }
    // The size of the document stream, which the slides are read from.
    std::size_t document_nbytes() const noexcept { return doc_.size(); }
    bool right_to_left() const noexcept { return rtl_; }
    // The slide's persistent id from the slide list; 0 for a slide found
    // only by scanning.
    std::uint32_t slide_id(std::size_t index) const { return slides_.at(index).slide_id; }
    // The edit chain was broken and the slides were found by scanning.
    bool recovered() const noexcept { return recovered_; }
    // Positions in the slide list of the entries whose slide record cannot
    // be found, and that no record found by scanning stands in for.
    const std::vector<std::size_t>& unresolved_slides() const noexcept { return unresolved_; }
    // The name a legacy slide goes by where a part name is expected.
    static std::string slide_name(std::size_t index);

    // What reading the slide parses beside the stream the deck holds: its
    // record, the outline text it shows and its master's furniture records;
    // for its notes page, that page's record (0 without one). Callers charge
    // it to the process budget before the read, as a part read to be parsed
    // is charged (core/budget.h).
    std::uint64_t slide_nbytes(std::size_t index) const;
    std::uint64_t notes_nbytes(std::size_t index) const;

    // The slide's shape tree; every call parses the slide anew. A copy of
    // master furniture that `gate` (when given) refuses is left out.
    Result<model::SlideContent> slide(std::size_t index, const FurnitureGate* gate = nullptr) const;
    // The notes page of the slide; none when it has none.
    Result<std::optional<model::SlideContent>> notes(std::size_t index) const;
    // The notes page's text: every text that is not blank, the slide image
    // or page furniture, joined by "\n"; none when the slide has no notes
    // page.
    Result<std::optional<std::string>> notes_text(std::size_t index) const;

    const std::vector<BlipEntry>& picture_store() const noexcept { return blips_; }
    // The pictures the slide's shapes show, in walk order.
    std::vector<SlideImage> images(const model::SlideContent& content) const;
    // The image file of a store entry (1-based): PNG, JPEG and TIFF as
    // stored, metafiles inflated (WMF with a placeable header), DIB as BMP.
    Result<bytes::Buffer> picture_bytes(std::uint32_t pib) const;
    // The pib that a "/Pictures/image{N}.{ext}" name or "pib{N}" id names.
    std::optional<std::uint32_t> pib_of(std::string_view part_or_id) const;
    // The content type of a store entry; none for an index outside it.
    std::optional<std::string> picture_content_type(std::uint32_t pib) const;
    std::optional<std::string> picture_part(std::uint32_t pib) const;

private:
    struct TextGroup {
        std::uint32_t text_type = 0;
        std::u16string text;
        // The group's StyleTextPropAtom body in the document stream; no
        // bytes when it has none.
        std::size_t style_at = 0;
        std::size_t style_nbytes = 0;
        std::vector<TextField> fields;
    };
    // Footer, slide number and date settings (the document's for every
    // slide, or one slide's own).
    struct HeadersFooters {
        std::uint16_t flags = 0;
        std::u16string user_date, footer;
    };
    // A StyleTextProp9Atom body the document keeps for placeholder text.
    struct OutlineNumbering {
        std::uint32_t slide_id = 0;
        std::uint32_t text_type = 0;
        std::size_t at = 0;  // in the document stream
        std::size_t nbytes = 0;
    };
    struct SlideEntry {
        std::uint32_t offset = 0;   // of its SlideContainer
        std::uint32_t slide_id = 0;
        std::vector<TextGroup> outline;
        // Of its NotesContainer: the notes page it is the first to name.
        std::optional<std::uint32_t> notes;
    };
    struct Shapes;
    struct Scan;

    Deck() = default;
    Result<void> load();
    // Reads the document container the persist map leads to. Without
    // `scan` a deck whose map misses the document or a slide gives false
    // (the caller then recovers); with it the scanned records fill the gaps.
    Result<bool> read_document(std::uint32_t doc_ref, std::optional<std::uint32_t> crypt_ref, const Scan* scan);
    // The notes id a slide's atom names; none for 0 or a damaged slide.
    std::optional<std::uint32_t> notes_id_of(std::uint32_t slide_offset) const;
    // Keeps each slide record at its first listing only and gives each
    // notes record (listed as (notes id, offset)) to the first slide that
    // names it, so that no listing repeats a page.
    void own_pages(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& notes);
    // The settings a HeadersFootersContainer body holds; none without its atom.
    static std::optional<HeadersFooters> headers_footers(std::span<const std::uint8_t> body);
    struct Master;
    // Appends to a slide's shapes the furniture of its master that its
    // settings show.
    void add_furniture(model::SlideContent& content, std::span<const std::uint8_t> slide_body, const Master& master,
                       std::size_t index, const FurnitureGate* gate) const;
    // The drawing of a slide or notes page; `index` is the slide's, whose
    // number slide-number fields show.
    Result<model::SlideContent> drawing_of(std::uint32_t container_offset, std::uint16_t type,
                                           const std::vector<TextGroup>* outline, std::size_t index,
                                           const FurnitureGate* gate = nullptr) const;

    std::vector<std::uint8_t> current_user_;
    std::vector<std::uint8_t> doc_;
    std::vector<std::uint8_t> pictures_;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> persist_; // sorted (id, offset)
    std::vector<SlideEntry> slides_;
    std::vector<std::size_t> unresolved_;
    std::vector<BlipEntry> blips_;
    std::vector<std::pair<std::uint32_t, SharedText>> prog_ids_; // sorted (exObjId, program id)
    // A master, found once when opening: whether it is a title master and,
    // for one, the id of the master it follows; the offset of its first
    // TextMasterStyleAtom of each text type (0 for none); the offsets of its
    // first date, footer and slide-number placeholder shapes in drawing
    // order. By id; the first listed of an id wins. `record` numbers the
    // distinct master records, which entries naming one record share.
    static constexpr std::size_t TEXT_TYPES = 9;
    struct Master {
        std::uint32_t id = 0;
        std::uint32_t record = 0;
        bool title = false;
        std::optional<std::uint32_t> follows;
        std::array<std::uint32_t, TEXT_TYPES> styles{};
        std::vector<std::uint32_t> furniture;
    };
    std::vector<Master> masters_;
    std::uint32_t master_records_ = 0;
    // The bullets the text of each type inherits on the slides of each
    // master record (and on slides without one), resolved from the styles
    // on first use and kept while their bytes stay within
    // MAX_INHERITED_NBYTES; past that a slide resolves them itself.
    static constexpr std::uint64_t MAX_INHERITED_NBYTES = std::uint64_t{1} << 20;
    mutable once::OnceTable<model::ListStyle> inherited_;
    mutable std::atomic<std::uint64_t> inherited_nbytes_{0};
    // What text of a type inherits on the slides of `master` (null: slides
    // without one): kept by the deck, made by `resolve` the first time;
    // null once the room is spent.
    const model::ListStyle* inherited_style(const Master* master, std::uint32_t text_type,
                                            const std::function<model::ListStyle()>& resolve) const;
    std::vector<OutlineNumbering> outline_numbering_;
    // The document's own text style for text boxes; 0 for none.
    std::uint32_t default_style_ = 0;
    // The master a slide's atom names, whose furniture it shows, then the
    // one a title master follows: the masters whose styles its text
    // inherits, nearest first.
    std::array<const Master*, 2> masters_of(std::span<const std::uint8_t> slide_body) const;
    std::optional<HeadersFooters> slide_headers_footers_;
    Size slide_size_{9144000, 6858000};
    Size notes_size_{6858000, 9144000};
    std::uint16_t size_type_ = 0;
    bool have_size_type_ = false;
    std::int32_t first_slide_number_ = 1;
    bool rtl_ = false;
    bool recovered_ = false;

public:
    // Offset of a persist object; none for an id the directory lacks.
    std::optional<std::uint32_t> persist_offset(std::uint32_t id) const;
};

} // namespace vantrell_core::ppt
