// The document facade: an opened deck and the reading views over it.
//
// Opening (`Document::from_source`) sniffs the source: a compound file is an
// encrypted package (refused) or a legacy binary deck; anything else is a ZIP
// package whose main presentation part is located (package relationship, else
// a presentation content type, else the conventional name), parsed, and its
// slide list resolved through the part's relationships. Only the central
// directory, the content types, the presentation part and its relationships
// are read: nothing in proportion to the media a deck carries.
//
// What opening produced lives in `Shared`, immutable afterwards except for
// the comment-author list and the styles of layouts and masters, which are
// read on first request in once-only cells (core/once.h). A `Document` is a
// cheap view over it: a counted reference, a package view with its own
// single-threaded caches, and the thread setting.
// Views are made freely (per call, per worker thread) and never shared
// between threads; any number of views may read one `Shared` at once.
//
// Per-slide passes go through `map_slides_at`: a step runs for each listed
// slide position, on scoped POSIX worker threads (2 MiB stacks the process
// keeps from pass to pass, one view each, positions claimed from one relaxed
// atomic counter), and the results come back in the order of the positions.
// A pass runs on the workers that could be started, and on the calling
// thread when none could: it never fails for want of threads. Each worker
// first touches its thread-local data, which the C library would otherwise
// allocate at a first use and end the process when it cannot; under a
// memory limit fewer workers start when the room for that can't be held.
// Under an address-space limit a worker also costs its C library arena, 64
// MiB of address space that the process keeps after the pass: workers
// start there only when their arenas and stacks take at most a quarter of
// the room and leave a generous estimate of what the pass needs on one
// thread (four times the deck's bytes); otherwise the calling thread does
// the pass alone. So a pass with automatic workers works wherever one
// thread does, and a pass that fails for want of memory leaves the address
// space about as it found it. An exception thrown by a step on a worker is
// re-thrown in the caller once every worker has been joined; no thread
// outlives the call. Each step charges the parts it reads (a legacy deck's
// step, the records it parses) to the process's budget of bytes in flight
// (core/budget.h), so that many workers on huge slides hold about what one
// does.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/budget.h"
#include "core/bytes.h"
#include "core/chart.h"
#include "core/comments.h"
#include "core/diagram.h"
#include "core/error.h"
#include "core/hash.h"
#include "core/model.h"
#include "core/once.h"
#include "core/package.h"
#include "core/pml.h"
#include "core/presentation.h"
#include "core/properties.h"
#include "core/shared_text.h"
#include "core/slide.h"
#include "core/zip.h"

namespace vantrell_core::ppt {
class Deck;
} // namespace vantrell_core::ppt

namespace vantrell_core::text {
struct TextOptions;
struct ExtractReport;
} // namespace vantrell_core::text
namespace vantrell_core::markdown {
struct MarkdownOptions;
} // namespace vantrell_core::markdown

namespace vantrell_core::document {

// How the presentation part was found; numbered as the Python layer maps it.
enum class Located : std::uint8_t {
    legacy_stream = 0,
    relationship = 1,
    content_type = 2,
    conventional_path = 3,
};

struct DocumentDefects {
    Located located = Located::relationship;
    // (position in the presentation's slide list, r:id) of entries that name
    // no slide part, an entry without r:id (empty) among them. For a legacy
    // deck: the entries of its slide list whose record cannot be found,
    // with no r:id.
    std::vector<std::pair<std::size_t, std::string>> unresolved_slides;
    // The slide list named nothing usable; the slides were taken from the
    // presentation part's slide relationships instead. For a legacy deck: its
    // edit chain was broken and the slides were found by scanning its stream.
    bool slides_recovered_from_rels = false;
};

// One slide of the deck, in presentation order. A slide part the list names
// again later is no further slide.
struct SlideEntry {
    std::string part;                // part name as stored in the package
    std::string rel_id;              // the presentation part's relationship
    std::optional<std::uint32_t> id; // `p:sldId@id`; none for recovered slides
};

// The deck-wide comment authors of both formats.
struct CommentAuthors {
    comments::AuthorList legacy; // p:cmAuthorLst
    comments::AuthorList modern; // p188:authorLst
};

// The parts one rendering of a slide has shown at a frame, by index in the
// part table: a part several frames of one slide name shows at the first.
using ShownParts = std::unordered_set<std::size_t, hash::NumberHasher>;

// A layout's or master's styles, and the master a layout follows.
class PartStyles {
public:
    PartStyles(slide::Styles styles, std::optional<std::size_t> master);

    slide::Styles styles;
    std::optional<std::size_t> master;  // the master's index in the part table

    // The first placeholder entry with this idx, or of this kind. Asked for
    // each paragraph of a slide, so answered without a scan of what may be
    // many placeholders.
    const slide::Styles::Entry* with_idx(std::uint32_t idx) const;
    const slide::Styles::Entry* of_kind(model::PlaceholderKind kind) const;

private:
    static constexpr std::size_t NONE = SIZE_MAX;
    std::unordered_map<std::uint32_t, std::size_t, hash::NumberHasher> by_idx_; // positions in the entries
    std::array<std::size_t, model::PlaceholderKind::other + 1> by_kind_;
};

class Shared {
public:
    std::vector<SlideEntry> slides;
    // The presentation part as located; for a legacy deck its main stream.
    std::string presentation_part;
    presentation::Presentation presentation;
    DocumentDefects defects;
    // Present exactly for a legacy binary deck.
    std::shared_ptr<const ppt::Deck> legacy;
    // Absent for a legacy binary deck.
    std::shared_ptr<const package::Core> package;
    // Part-table indexes of the masters the presentation lists, in order.
    std::vector<std::size_t> master_parts;
    // The length of the source the deck was opened from.
    std::uint64_t source_nbytes = 0;

    bool is_legacy() const noexcept { return legacy != nullptr; }

    // Parsed on the first call, with the package view the caller brings;
    // concurrent first calls wait for that one parse.
    const CommentAuthors& comment_authors(package::Package* view) const;

    // The styles of a layout or master, by index in the part table: read
    // once per deck, on the first call for that part, with the view the
    // caller brings; concurrent first calls wait for that one read. Null for
    // a part that cannot be read or parsed.
    const PartStyles* part_styles(std::size_t part, package::Package* view) const;

private:
    mutable once::OnceCell<CommentAuthors> authors_;
    mutable once::OnceTable<PartStyles> styles_; // by part index
};

// What a pass allows repeats to add to its output: this, or the length of
// the deck's file when that is larger. Ordinary decks repeat a footer or a
// duplicated chart and stay far below it; a small file that names one part
// from every slide, or a legacy master whose furniture every slide copies,
// reaches it and no further.
inline constexpr std::uint64_t REPEAT_ALLOWANCE_NBYTES = std::uint64_t{16} << 20;

// What a pass may write for each byte it read, beside the allowance. Stored
// content grows at most threefold on its way out: an 8-bit legacy
// character becomes up to three bytes of UTF-8 (a UTF-16 one at most one
// and a half times its size), a Markdown escape doubles a punctuation byte,
// and a table cell or list item adds a few bytes of pipes or markers to
// markup that holds more. Real decks write far less than they read, their
// markup being most of their bytes.
inline constexpr std::uint64_t OUTPUT_FACTOR = 4;

// A part as one pass renders it (a notes page, a chart, a diagram or a
// comments part), or why it could not be read: what every slide that names
// it shows.
struct Rendered {
    // Charged to the pass's meter as it was written: its first showing is
    // paid for.
    std::string text;
    // Set for a diagram's Markdown: the outline level of each line of
    // `text`, which becomes a list where it is shown.
    std::vector<std::uint8_t> levels;
    // With `levels`: the indents and markers that list adds to `text`,
    // the same wherever it is shown; in a deep outline they outweigh it.
    std::uint64_t list_nbytes = 0;
    // Shared by every slide that records it.
    SharedText error;

    // What each showing adds to the output.
    std::uint64_t shown_nbytes() const noexcept { return text.size() + list_nbytes; }
};

// The kinds of part a pass renders once, each with its table of results.
enum class Shown : std::uint8_t { notes, chart, diagram, comments, modern_comments };
inline constexpr std::size_t SHOWN_KINDS = 5;

// What the steps of one pass over slides share. Every slide shows what its
// own relationships name; a part several slides name is read and rendered
// by the first step that shows it, and the others take its text from here.
// Content shown on more slides than it is stored in (such a part's later
// showings, a legacy master's furniture on each slide, copies and padding
// a rendering makes) is repeated: all that repeats add to the pass is
// counted against one allowance, past which they are left out.
//
// The pass is also metered: it counts the bytes it read (each part once,
// through the views of its steps; for a legacy deck its document stream,
// which opening parsed whole) and every byte it writes. What it writes may
// reach OUTPUT_FACTOR times what it read, plus the allowance; the write that
// would pass that bound is refused, and so is every later one, on any
// slide. Any number of steps may use one pass at once.
class Pass {
public:
    // For a deck opened from a source of this length, with `parts` parts and
    // `legacy_nbytes` of legacy stream counted as read.
    explicit Pass(std::uint64_t source_nbytes = 0, std::size_t parts = 0, std::uint64_t legacy_nbytes = 0)
        : allowance_(std::max(REPEAT_ALLOWANCE_NBYTES, source_nbytes)), reads_(parts),
          legacy_nbytes_(legacy_nbytes) {}
    // For the deck `shared` holds.
    explicit Pass(const Shared& shared);
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    std::uint64_t allowance() const noexcept { return allowance_; }

    // The parts the pass read; its views count in it (Document::Metering).
    package::ReadSet& reads() noexcept { return reads_; }
    std::uint64_t read_nbytes() const noexcept { return reads_.nbytes() + legacy_nbytes_; }
    // What the pass may write as it stands: OUTPUT_FACTOR times what it
    // read, plus the allowance.
    std::uint64_t bound() const noexcept;
    // Counts `nbytes` more output; false, counting nothing, when that would
    // pass the bound or the pass refused output before.
    bool emit(std::uint64_t nbytes) noexcept;
    // Gives back output counted and then taken back.
    void unemit(std::uint64_t nbytes) noexcept;
    // Whether output was refused, and the bound it would have passed.
    bool cut() const noexcept { return cut_bound_.load(std::memory_order_relaxed) != 0; }
    std::uint64_t cut_bound() const noexcept { return cut_bound_.load(std::memory_order_relaxed); }

    // The failure message `text`, stored once for the pass: every
    // occurrence of one cause shares it. The messages a pass stores are
    // its report, which distinct causes may fill (a part name of many
    // thousand bytes in every message, one missing part per frame): they
    // stay within the allowance, past which a new one quotes its first
    // MESSAGE_HEAD_NBYTES.
    SharedText message(std::string text);
    static constexpr std::size_t MESSAGE_HEAD_NBYTES = 256;

    // The part at `index` of the view's part table shown as `kind`: made by
    // `render` on the first call, which sets `first`, and the same result
    // for every later call. Null when the pass was stopped before it could
    // be made. Reading it is charged to the view's ledger as once-only work
    // is (core/budget.h).
    const Rendered* part(Shown kind, std::size_t index, package::Package& view,
                         const std::function<Rendered()>& render, bool& first);

    // Counts `nbytes` more of repeated output; false, counting nothing, when
    // that would pass the allowance.
    bool repeat(std::uint64_t nbytes) noexcept;

    // Whether stored content with this key (where a legacy master keeps a
    // furniture shape) is shown for the first time in the pass.
    bool first_showing(std::uint64_t key);
    // Records that the allowance refused a repeat of the content with this
    // key, and whether it did before.
    void refuse(std::uint64_t key);
    bool refused(std::uint64_t key);

private:
    const std::uint64_t allowance_;
    std::atomic<std::uint64_t> repeated_{0};
    package::ReadSet reads_;
    const std::uint64_t legacy_nbytes_;
    std::atomic<std::uint64_t> emitted_{0};
    std::atomic<std::uint64_t> cut_bound_{0};
    once::OnceTable<Rendered> parts_; // by part index and kind
    std::mutex mutex_;                // guards `shown_`, `messages_` and `message_nbytes_`
    // The keys shown, each with whether a repeat of it was refused.
    std::unordered_map<std::uint64_t, bool, hash::NumberHasher> shown_;
    // The messages stored, by their text.
    std::unordered_map<std::string_view, SharedText, hash::Hasher, std::equal_to<>> messages_;
    std::uint64_t message_nbytes_ = 0;  // what they hold
};

// A picture or embedded object and what its relationship names. Many may
// name one relationship, and many parts have one content type: those texts
// are shared, not copied per reference.
struct ImageRef {
    std::uint32_t shape_id = 0;
    std::string rel_id;
    SharedText part;
    SharedText content_type;
    SharedText external; // Target as written, for an External link
};

struct ObjectRef {
    std::uint32_t shape_id = 0;
    SharedText prog_id;
    std::optional<std::string> rel_id;
    SharedText part;
    SharedText content_type;
    SharedText external;
};

// Why the bytes of an object that names no part cannot be had: in a package
// nothing stores them; a legacy deck keeps its objects inside its document
// stream, where no part can name them.
Error object_not_stored(const ObjectRef& object, bool legacy);

// What a chart or diagram frame of a slide shows: its part, read and
// parsed, or, for a frame that links outside the package, the target as
// written. Neither for a frame that names no part, or a slide without a
// package (a legacy deck's).
template <class Data>
struct FramePart {
    std::optional<Data> data;
    std::optional<std::string> external;
};

class Document;

// One parsed slide. Its services read further parts through the view it was
// read through, which must outlive it and stay where it is (not be moved).
struct Slide {
    std::string part;
    model::SlideContent content;
    slide::SlideReport report;
    std::size_t index = 0;
    Document* view = nullptr;

    // The notes page, parsed without list structure; none without one.
    Result<std::optional<model::SlideContent>> notes_content() const;
    // The notes page's text (`SlideContent::notes_text`); none without a
    // notes page.
    Result<std::optional<std::string>> notes_text() const;
    Result<std::optional<std::string>> notes_part() const;
    // A notes slide part, read and parsed as `notes_content` does.
    Result<model::SlideContent> read_notes(std::string_view name) const;
    // The first internal relationship of this kind, resolved; none when the
    // slide has none (always none for a legacy deck).
    Result<std::optional<std::string>> related_part(pml::RelKind kind) const;
    // An External target as written, an internal one resolved; none for an
    // id the slide does not have.
    Result<std::optional<std::string>> hyperlink_target(std::string_view rel_id) const;
    // The part a chart or diagram frame shows, through the slide's
    // relationships: an unknown relationship id, a part that is missing or
    // does not parse is an error. An external target is not: each caller
    // says what it means for it. Listing the frames (below) refuses it, as
    // that caller asked for data; a text rendering shows nothing for it.
    Result<FramePart<chart::ChartData>> chart_part(const model::Chart& frame) const;
    Result<FramePart<diagram::DiagramData>> diagram_part(const model::Diagram& frame) const;
    // What a frame's relationship names, unread: the resolved part name as
    // `data`, or the external target; neither without a relationship id or
    // a package. An unknown id is an error.
    Result<FramePart<std::string>> frame_target(const std::optional<std::string>& rel_id) const;
    Result<chart::ChartData> read_chart(std::string_view name) const;
    Result<diagram::DiagramData> read_diagram(std::string_view name) const;
    // Frames in walk order, a part several frames name at the first of
    // them; the first failure, an external target included, fails the
    // call.
    Result<std::vector<std::pair<std::uint32_t, chart::ChartData>>> charts() const;
    Result<std::vector<std::pair<std::uint32_t, diagram::DiagramData>>> diagrams() const;
    // Modern part preferred, else legacy; replies after their parent.
    Result<std::vector<comments::Comment>> comments() const;
    // The comments part `comments` reads, unread; none without one.
    struct CommentsPart {
        std::string name;
        bool modern = false;
    };
    Result<std::optional<CommentsPart>> comments_part() const;
    Result<std::vector<comments::Comment>> read_comments(const CommentsPart& part) const;
    // Pictures in walk order. A caller that has no use for content types
    // can leave them unset, and the package's content types part unread.
    Result<std::vector<ImageRef>> images(bool with_content_types = true) const;
    Result<std::vector<ObjectRef>> objects() const;
    // The part's bytes exactly as stored.
    Result<bytes::Buffer> image_bytes(const ImageRef& image) const;
    Result<bytes::Buffer> object_bytes(const ObjectRef& object) const;

    // The renderings of core/text.h and core/markdown.h; failures go into
    // `report`.
    std::string text_reporting(const text::TextOptions& options, text::ExtractReport& report) const;
    std::string markdown(const markdown::MarkdownOptions& options, text::ExtractReport& report) const;

private:
    Result<std::shared_ptr<const opc::Relationships>> rels() const;
    template <class Data>
    using Parse = Result<Data> (*)(std::string_view text, std::string_view part);
    template <class Data>
    Result<Data> read_parsed(std::string_view name, Parse<Data> parse) const;
    // With `shown`, a part shown already is neither read nor given.
    template <class Data>
    Result<FramePart<Data>> frame_part(const std::optional<std::string>& rel_id, Parse<Data> parse,
                                       ShownParts* shown = nullptr) const;
    template <class Data, class Frame>
    Result<std::vector<std::pair<std::uint32_t, Data>>> frames(std::optional<std::string> Frame::*rel_id,
                                                               Parse<Data> parse) const;
};

// Decides the bullets of a slide's paragraphs as PowerPoint does: the
// paragraph's own properties, then its shape's list style, the matching
// layout placeholder (same idx, else same type), the master's placeholder of
// that type, and last the master's text styles (body style for body and
// content placeholders, other style for other shapes). A title is never a
// list. Where none of these says anything (a layout or master missing or
// unreadable), a body or content placeholder is bulleted and other shapes
// are not; a legacy deck's paragraphs are decided that way alone. The
// layout, and then the master, are looked up when a paragraph first needs
// them. One object serves one slide on one thread.
class Bullets {
public:
    explicit Bullets(const Slide& slide) noexcept : slide_(&slide) {}

    // Never `inherited`.
    const model::Bullet& of(const model::Shape& shape, const model::Paragraph& paragraph) const;

private:
    const PartStyles* layout() const;
    const PartStyles* master() const;

    const Slide* slide_;
    mutable const PartStyles* layout_ = nullptr;
    mutable const PartStyles* master_ = nullptr;
    mutable bool layout_looked_up_ = false;
    mutable bool master_looked_up_ = false;
};

// Under the automatic setting each worker is given at least this much of
// the slide parts' bytes. A worker costs about 0.1 ms of CPU beyond its
// share (thread start, a cold cache and heap, its own view), and a new thread
// on a busy machine waits a scheduler slice (a few ms) before it runs, while
// slide XML renders at 0.2 to 1.5 MB per ms: with less than this each, a
// pass spends more on its workers than they save, and small decks get slower.
inline constexpr std::uint64_t AUTO_NBYTES_PER_WORKER = std::uint64_t{512} << 10;

// The worker count of a pass over `count` positions under `threads`
// (0 = automatic: the online processor count, no more than one worker per
// AUTO_NBYTES_PER_WORKER of the slides' `work_nbytes`, and 1 for a legacy
// deck).
std::size_t worker_count(std::size_t count, std::size_t threads, bool legacy,
                         std::uint64_t work_nbytes = UINT64_MAX) noexcept;

// `VANTRELL_THREADS` as a thread setting: unset, invalid or 0 is automatic.
std::size_t threads_from_env() noexcept;

class Document {
public:
    // A view over an opened deck; no I/O, cannot fail.
    explicit Document(std::shared_ptr<const Shared> shared, std::size_t threads = 0);

    // Opens a deck; the thread setting comes from VANTRELL_THREADS. The
    // parts read to open a package, or a legacy deck's file and the streams
    // copied out of it, are charged to the process budget as one step, which
    // `stop` (when set, polled by this thread) ends early.
    static Result<Document> from_source(std::shared_ptr<zip::Source> source, budget::Stop* stop = nullptr);

    const std::shared_ptr<const Shared>& shared() const noexcept { return shared_; }
    std::size_t threads() const noexcept { return threads_; }
    std::size_t slide_count() const noexcept { return shared_->slides.size(); }
    // Null for a legacy binary deck.
    package::Package* package() noexcept { return package_ ? &*package_ : nullptr; }
    // What this view's reads are charged to; none outside a step.
    budget::Ledger* ledger() const noexcept { return ledger_; }
    // A pass through this view polls `stop` (when set) on the calling thread
    // between its steps and while it waits, and once it says stop, ends
    // early by throwing budget::Stopped. See budget::Stop.
    void set_stop(budget::Stop* stop) noexcept { stop_ = stop; }

    // Empties this view's caches of part bytes and relationships; slides
    // read through it stay usable and read again what they need.
    void drop_caches();

    // While one lives, the parts this view and the workers of its passes
    // read are counted in the pass's read set. The view's caches are
    // emptied first, so that every part the pass uses is read and counted.
    class Metering {
    public:
        Metering(Document& view, Pass& pass) noexcept;
        Metering(const Metering&) = delete;
        Metering& operator=(const Metering&) = delete;
        ~Metering() { view_.count_reads_in(previous_); }

    private:
        Document& view_;
        package::ReadSet* previous_;
    };

    // Reads and parses the slide at a zero-based position, every call anew;
    // a pass that only renders the slide asks for less `slide::Detail`. A
    // call reading many slides brings `repeats`: the copies of a legacy
    // master's furniture it gives them count against its allowance, as a
    // pass counts them, and those past it are left out, not made. A slide
    // read alone holds its own copy.
    Result<Slide> slide(std::size_t index, slide::Detail detail = slide::Detail::full, Pass* repeats = nullptr);

    // (name, slide positions) per section; ids naming no slide are dropped.
    std::vector<std::pair<std::string, std::vector<std::size_t>>> sections() const;

    Result<std::optional<properties::CoreProperties>> core_properties();
    Result<std::optional<properties::AppProperties>> app_properties();

    // Legacy authors first, then modern ones.
    std::vector<comments::CommentAuthor> comment_authors();

    // The text and Markdown passes of core/text.h and core/markdown.h.
    std::pair<std::string, text::ExtractReport> text_reporting(const text::TextOptions& options);
    std::pair<std::vector<std::string>, text::ExtractReport> slide_texts_at(std::span<const std::size_t> positions,
                                                                           const text::TextOptions& options);
    std::pair<std::string, text::ExtractReport> markdown_at(std::span<const std::size_t> positions,
                                                            const markdown::MarkdownOptions& options);

    // Runs `step(view, position)` for each position and returns the results
    // in the order of `positions`, repeats included. Steps may run at the
    // same time on different threads, each with its own view; the parts a
    // step reads are charged to the process budget until it ends (what this
    // view's ledger held before is given back first: a thread holding a
    // charge must not wait for a step). Throws what a step threw (the first
    // in worker start order, after every worker ended), or budget::Stopped
    // once the view's stop said so; workers that cannot be started are done
    // without.
    template <class Step>
    auto map_slides_at(std::span<const std::size_t> positions, const Step& step)
        -> std::vector<std::invoke_result_t<const Step&, Document&, std::size_t>>;

    // While one lives, the parts the view reads are charged to `ledger`.
    // The view's ledger before is put back.
    class ChargingTo {
    public:
        ChargingTo(Document& view, budget::Ledger& ledger) noexcept : view_(view), previous_(view.ledger_) {
            view_.charge_reads_to(&ledger);
        }
        ChargingTo(const ChargingTo&) = delete;
        ChargingTo& operator=(const ChargingTo&) = delete;
        ~ChargingTo() { view_.charge_reads_to(previous_); }

    private:
        Document& view_;
        budget::Ledger* previous_;
    };

    // The same to a ledger of its own, which counts a whole call as one
    // step, ended early by the view's stop and settled when the call ends.
    class Charging {
    public:
        explicit Charging(Document& view) noexcept : to_(view, ledger_) { ledger_.watch(view.stop_, true); }

    private:
        budget::Ledger ledger_;  // outlives `to_`, which stops charging it
        ChargingTo to_;
    };

private:
    void charge_reads_to(budget::Ledger* ledger) noexcept;
    void count_reads_in(package::ReadSet* reads) noexcept;

    // Runs `body(view, worker)` on up to `workers` threads, each with a view
    // of its own (as many as could be started; none started, on the calling
    // thread as worker 0), joins them in start order and re-throws the first
    // failure.
    void run_workers(std::size_t workers, const std::function<void(Document&, std::size_t)>& body) const;
    // The uncompressed size of the slide parts at `positions`, counted up to
    // `enough` at most.
    std::uint64_t slide_nbytes(std::span<const std::size_t> positions, std::uint64_t enough) const;
    // The bytes of the deck's parts, each counted up to the XML part limit;
    // for a legacy deck, of its document stream.
    std::uint64_t deck_nbytes() const noexcept;
    // The worker count of a pass over `positions` with this view's setting;
    // one (the calling thread) in a call nested in a stop's check (see
    // budget::nested()), whose charges only that thread may make.
    std::size_t workers_for(std::span<const std::size_t> positions) const;

    std::shared_ptr<const Shared> shared_;
    std::optional<package::Package> package_;
    std::size_t threads_ = 0;
    budget::Ledger* ledger_ = nullptr; // given to every package view this one makes
    package::ReadSet* reads_ = nullptr; // likewise, and to its workers' views
    budget::Stop* stop_ = nullptr;
};

template <class Step>
auto Document::map_slides_at(std::span<const std::size_t> positions, const Step& step)
    -> std::vector<std::invoke_result_t<const Step&, Document&, std::size_t>> {
    using R = std::invoke_result_t<const Step&, Document&, std::size_t>;
    const std::size_t n = positions.size();
    std::vector<R> out;
    if (ledger_) ledger_->settle();
    const std::size_t workers = workers_for(positions);
    if (workers < 2) {
        out.reserve(n);
        budget::Ledger ledger;
        ledger.watch(stop_, true);
        const ChargingTo charging(*this, ledger);
        for (const std::size_t p : positions) {
            if (stop_ && stop_->poll()) throw budget::Stopped();
            out.push_back(step(*this, p));
            ledger.settle();
        }
        return out;
    }

    std::atomic<std::size_t> next{0};
    std::vector<std::vector<std::pair<std::size_t, R>>> lists(workers);
    const pthread_t caller = ::pthread_self();
    run_workers(workers, [&](Document& view, std::size_t worker) {
        auto& mine = lists[worker];
        budget::Ledger ledger;
        // Only the calling thread polls: it does the steps itself when no
        // worker could be started.
        const bool polls = ::pthread_equal(::pthread_self(), caller) != 0;
        ledger.watch(stop_, polls);
        const ChargingTo charging(view, ledger);
        view.count_reads_in(reads_);
        for (;;) {
            if (stop_ && (polls ? stop_->poll() : stop_->requested())) break;
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n) break;
            mine.emplace_back(i, step(view, positions[i]));
            // Slides share next to no parts, so keeping what one read only
            // grows the worker's heap, which the C library then trims and
            // the next pass faults in again.
            view.drop_caches();
            ledger.settle();
        }
    });
    if (stop_ && stop_->requested()) throw budget::Stopped();

    std::vector<std::pair<std::size_t, R>> all;
    all.reserve(n);
    for (auto& list : lists)
        for (auto& item : list) all.push_back(std::move(item));
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    out.reserve(n);
    for (auto& item : all) out.push_back(std::move(item.second));
    return out;
}

} // namespace vantrell_core::document
