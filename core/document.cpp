#include "core/document.h"

#include "core/cfb.h"
#include "core/encoding.h"
#include "core/hash.h"
#include "core/opc.h"
#include "core/ppt.h"
#include "core/thread_data.h"
#include "core/xml.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <unordered_map>
#include <unordered_set>

namespace vantrell_core::document {

namespace {

constexpr std::string_view CONVENTIONAL_PRESENTATION = "/ppt/presentation.xml";
constexpr std::string_view CONVENTIONAL_CORE = "/docProps/core.xml";
constexpr std::string_view CONVENTIONAL_APP = "/docProps/app.xml";
constexpr std::size_t WORKER_STACK_NBYTES = std::size_t{2} << 20;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Orders part names so that "slide2" comes before "slide10": digit runs
// compare by value, everything else byte by byte; equal keys fall back to
// the plain comparison so the order is total.
bool natural_less(std::string_view a, std::string_view b) noexcept {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && is_digit(a[ie])) ++ie;
            while (je < b.size() && is_digit(b[je])) ++je;
            std::string_view da = a.substr(i, ie - i), db = b.substr(j, je - j);
            while (da.size() > 1 && da.front() == '0') da.remove_prefix(1);
            while (db.size() > 1 && db.front() == '0') db.remove_prefix(1);
            if (da.size() != db.size()) return da.size() < db.size();
            if (da != db) return da < db;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;
}

// The stored name of the part `name` designates, when there is one.
std::optional<std::string> existing_part(const package::Package& pkg, std::string_view name) {
    const auto idx = pkg.part_index(name);
    if (!idx) return std::nullopt;
    return std::string(pkg.parts()[*idx].name);
}

// The part an internal relationship of `source` of this kind designates,
// when it exists; else the conventional name, when that exists.
std::optional<std::string> find_related(package::Package& pkg, std::string_view source, pml::RelKind kind,
                                        std::string_view fallback) {
    if (auto rels = pkg.rels(source)) {
        for (const auto& rel : (*rels)->relationships) {
            if (rel.external || pml::RelKind::of(rel.type) != kind) continue;
            if (auto name = existing_part(pkg, opc::resolve_target(source, rel.target))) return name;
        }
    }
    if (fallback.empty()) return std::nullopt;
    return existing_part(pkg, fallback);
}

struct Found {
    std::string name;
    Located how;
};

std::optional<Found> locate_presentation(package::Package& pkg) {
    // A damaged package relationships part only closes this route.
    if (auto rels = pkg.rels("/")) {
        for (const auto& rel : (*rels)->relationships) {
            if (rel.external || pml::RelKind::of(rel.type) != pml::RelKind::officeDocument) continue;
            if (auto name = existing_part(pkg, opc::resolve_target("/", rel.target)))
                return Found{std::move(*name), Located::relationship};
        }
    }
    const auto& types = pkg.parsed_content_types().types;
    for (const auto& part : pkg.parts()) {
        const auto ct = types.content_type_of(part.name);
        if (ct && pml::content_type::is_presentation_main(*ct))
            return Found{std::string(part.name), Located::content_type};
    }
    if (auto name = existing_part(pkg, CONVENTIONAL_PRESENTATION))
        return Found{std::move(*name), Located::conventional_path};
    return std::nullopt;
}

// Charges what reading a legacy page parses (ppt::Deck::slide_nbytes) to
// a view's ledger (none: nothing), as reading a part to parse it is
// charged; false once the pass was stopped.
bool charged(budget::Ledger* ledger, std::uint64_t nbytes) { return !ledger || ledger->charge(nbytes); }

// What opening a legacy deck holds at once, charged before the file is
// read: the file, read whole, and the streams copied out of it, which a
// sound file holds within its length. As for a package part, what is parsed
// from them is not counted apart.
std::uint64_t legacy_open_nbytes(std::uint64_t file_nbytes) noexcept {
    return file_nbytes > UINT64_MAX / 2 ? UINT64_MAX : 2 * file_nbytes;
}

Result<Document> open_compound(const zip::Source& source, budget::Stop* stop) {
    budget::Ledger ledger;
    ledger.watch(stop, true);
    if (!ledger.charge(legacy_open_nbytes(source.len()))) return fail(package::stopped());
    auto compound = cfb::Compound::open(source);
    if (!compound) return fail(compound.error());
    // Reading a huge file takes a while: a stop asked for meanwhile ends the
    // opening before the deck is parsed.
    if (stop && stop->poll()) return fail(package::stopped());
    // An encrypted or rights-managed ECMA-376 package is stored as these
    // streams at the root; its contents are ciphertext.
    for (const std::string_view name : {"EncryptedPackage", "EncryptionInfo", "\x09" "DRMContent"}) {
        if (compound->child(0, name))
            return fail(Error::encrypted("the package is password-protected or rights-managed"));
    }
    // The legacy reader finds the deck's streams (and refuses files older
    // than PowerPoint 97, or without a deck).
    auto deck = ppt::Deck::open(*compound);
    if (!deck) return fail(deck.error());
    auto shared = std::make_shared<Shared>();
    shared->presentation_part = std::string(ppt::DOCUMENT_STREAM);
    shared->defects.located = Located::legacy_stream;
    shared->defects.slides_recovered_from_rels = (*deck)->recovered();
    for (const std::size_t position : (*deck)->unresolved_slides())
        shared->defects.unresolved_slides.emplace_back(position, std::string());
    presentation::Presentation& pres = shared->presentation;
    pres.root_ok = true;
    pres.slide_size = presentation::Size{(*deck)->slide_size().cx, (*deck)->slide_size().cy};
    pres.slide_size_type = (*deck)->slide_size_type();
    pres.notes_size = presentation::Size{(*deck)->notes_size().cx, (*deck)->notes_size().cy};
    pres.first_slide_num = (*deck)->first_slide_number();
    pres.rtl = (*deck)->right_to_left();
    for (std::size_t i = 0; i < (*deck)->slide_count(); ++i)
        shared->slides.push_back({ppt::Deck::slide_name(i), std::string(),
                                  (*deck)->slide_id(i) ? std::optional((*deck)->slide_id(i)) : std::nullopt});
    shared->legacy = std::move(*deck);
    shared->source_nbytes = source.len();
    return Document(std::move(shared), threads_from_env());
}

Result<Document> open_package(package::Package pkg, std::uint64_t source_nbytes, budget::Stop* stop) {
    const package::Charging charging(pkg, stop);
    auto shared = std::make_shared<Shared>();
    shared->source_nbytes = source_nbytes;
    auto located = locate_presentation(pkg);
    if (!located) return fail(Error::not_presentation());
    shared->presentation_part = std::move(located->name);
    shared->defects.located = located->how;
    const std::string& main = shared->presentation_part;

    auto bytes = pkg.read_part(main);
    if (!bytes) return fail(bytes.error());
    auto parsed = presentation::Presentation::parse(package::as_text(**bytes), main);
    if (!parsed) return fail(parsed.error());
    // A main part of another vocabulary (a word-processing or spreadsheet
    // document behind officeDocument) holds no slides to read.
    if (!parsed->root_ok) return fail(Error::not_presentation());
    shared->presentation = std::move(*parsed);

    auto rels = pkg.rels(main);
    if (!rels) return fail(rels.error());
    const opc::Relationships& prels = **rels;

    const auto& ids = shared->presentation.slides;
    // Entries without r:id name no slide either. Positions are those of the
    // list as written, such entries included.
    const auto& unlinked = shared->presentation.slides_without_rel;
    std::size_t unlinked_seen = 0;
    auto unlinked_up_to = [&](std::size_t i) {
        for (; unlinked_seen < unlinked.size() && unlinked[unlinked_seen] <= i; ++unlinked_seen)
            shared->defects.unresolved_slides.emplace_back(unlinked[unlinked_seen] + unlinked_seen, std::string());
        return unlinked_seen;
    };
    // A part the list names again is the slide it was at its first entry;
    // the later entries name no further slide (nor anything unresolved).
    std::unordered_set<std::size_t, hash::NumberHasher> listed;
    // Each relationship resolved once: the list may name one many times,
    // and resolving it costs its target's length and its folder's.
    std::unordered_map<const opc::Relationship*, std::optional<std::size_t>> part_of;
    const auto resolved = [&](const opc::Relationship* rel) -> std::optional<std::size_t> {
        if (!rel || rel->external) return std::nullopt;
        const auto [it, made] = part_of.try_emplace(rel);
        if (made) it->second = pkg.part_index(opc::resolve_target(main, rel->target));
        return it->second;
    };
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::size_t position = i + unlinked_up_to(i);
        const std::optional<std::size_t> idx = resolved(prels.get(ids[i].rel_id));
        if (!idx) {
            shared->defects.unresolved_slides.emplace_back(position, ids[i].rel_id);
            continue;
        }
        if (!listed.insert(*idx).second) continue;
        shared->slides.push_back({std::string(pkg.parts()[*idx].name), ids[i].rel_id, ids[i].id});
    }
    unlinked_up_to(SIZE_MAX);

    if (shared->slides.empty()) {
        std::vector<SlideEntry> found;
        for (const auto& rel : prels.relationships) {
            if (rel.external || pml::RelKind::of(rel.type) != pml::RelKind::slide) continue;
            const auto idx = pkg.part_index(opc::resolve_target(main, rel.target));
            if (!idx || !listed.insert(*idx).second) continue;
            found.push_back({std::string(pkg.parts()[*idx].name), std::string(rel.id), std::nullopt});
        }
        std::stable_sort(found.begin(), found.end(),
                         [](const SlideEntry& a, const SlideEntry& b) { return natural_less(a.part, b.part); });
        if (!found.empty()) {
            shared->slides = std::move(found);
            shared->defects.slides_recovered_from_rels = true;
        }
    }

    for (const auto& master : shared->presentation.masters)
        if (const auto idx = resolved(prels.get(master.rel_id))) shared->master_parts.push_back(*idx);

    shared->package = pkg.core();
    return Document(std::move(shared), threads_from_env());
}

// ---------------------------------------------------------------------------
// Worker stacks
//
// A stack the C library maps for a thread is handed back to the kernel
// (madvise) as the thread exits: a TLB shootdown across the cores for every
// worker of every pass, and fresh page faults on the next one. The process
// keeps stacks of its own instead, each mapped once with a guard page below
// it and given to a worker with pthread_attr_setstack. Passes running at the
// same time take what the pool holds under its lock and map fresh stacks
// when it runs dry; a stack given back to a full pool is unmapped. A kept
// stack stays resident as deep as its workers reached, a few dozen KiB as
// the parsers bound their recursion. The pool is never torn down (it is
// trivially destructible and kept stacks are never unmapped), so a pass
// still running while the process exits keeps its stacks.

constexpr std::size_t MAX_KEPT_STACKS = 256;

std::size_t page_nbytes() noexcept {
    static const std::size_t nbytes = [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        return page > 0 ? static_cast<std::size_t>(page) : std::size_t{4096};
    }();
    return nbytes;
}

// A new stack: the lowest usable byte, above its guard page; null when the
// mapping fails.
std::byte* map_stack() noexcept {
    const std::size_t guard = page_nbytes();
    void* base = ::mmap(nullptr, guard + WORKER_STACK_NBYTES, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    if (::mprotect(base, guard, PROT_NONE) != 0) {
        ::munmap(base, guard + WORKER_STACK_NBYTES);
        return nullptr;
    }
    return static_cast<std::byte*>(base) + guard;
}

void unmap_stack(std::byte* stack) noexcept {
    const std::size_t guard = page_nbytes();
    ::munmap(stack - guard, guard + WORKER_STACK_NBYTES);
}

class StackPool {
public:
    // A child of fork() may have been made while another thread held the
    // lock; it maps and unmaps its own stacks and leaves the pool alone.
    void forget_after_fork() noexcept { forked_.store(true, std::memory_order_relaxed); }

    // Up to `count` stacks into `out` (reserved by the caller), kept ones
    // first; fewer when mapping fails.
    void take(std::size_t count, std::vector<std::byte*>& out) noexcept {
        if (!forked_.load(std::memory_order_relaxed)) {
            std::lock_guard lock(mutex_);
            while (out.size() < count && kept_count_ > 0) out.push_back(kept_[--kept_count_]);
        }
        while (out.size() < count) {
            std::byte* fresh = map_stack();
            if (!fresh) return;
            out.push_back(fresh);
        }
    }

    // Stacks whose threads have all been joined; all of them unmapped when
    // not `keep`.
    void give_back(std::span<std::byte* const> stacks, bool keep = true) noexcept {
        // Enough for the passes of a few Python threads at once; a large
        // explicit thread setting pays for its surplus itself.
        static const std::size_t limit = [] {
            const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
            const std::size_t four_per_core = online > 0 ? 4 * static_cast<std::size_t>(online) : 0;
            return std::clamp<std::size_t>(four_per_core, 16, MAX_KEPT_STACKS);
        }();
        std::size_t given = 0;
        if (keep && !forked_.load(std::memory_order_relaxed)) {
            std::lock_guard lock(mutex_);
            while (given < stacks.size() && kept_count_ < limit) kept_[kept_count_++] = stacks[given++];
        }
        for (; given < stacks.size(); ++given) unmap_stack(stacks[given]);
    }

private:
    std::mutex mutex_;
    std::atomic<bool> forked_{false};
    std::array<std::byte*, MAX_KEPT_STACKS> kept_{};
    std::size_t kept_count_ = 0;
};
static_assert(std::is_trivially_destructible_v<StackPool>, "the pool must outlive every pass, even at exit");

StackPool& stack_pool() noexcept {
    static StackPool pool;
    static const bool registered = [] {
        return ::pthread_atfork(nullptr, nullptr, [] { stack_pool().forget_after_fork(); }) == 0;
    }();
    (void)registered;
    return pool;
}

// Made when the library is loaded rather than on first use: a fork() child
// must never find a first use half made by another thread, whose guard
// would stay taken there for ever.
[[maybe_unused]] const bool stacks_ready = (page_nbytes(), stack_pool().give_back({}), true);

// The stacks of one pass, given back once every worker has been joined;
// under a memory limit they are unmapped instead, as address space kept
// for later passes is missing to everything else.
class PassStacks {
public:
    PassStacks(std::size_t count, bool keep) : keep_(keep) {
        stacks_.reserve(count);
        stack_pool().take(count, stacks_);
    }
    PassStacks(const PassStacks&) = delete;
    PassStacks& operator=(const PassStacks&) = delete;
    ~PassStacks() { stack_pool().give_back(stacks_, keep_); }

    std::size_t size() const noexcept { return stacks_.size(); }
    std::byte* operator[](std::size_t i) const noexcept { return stacks_[i]; }

private:
    std::vector<std::byte*> stacks_;
    bool keep_;
};

// ---------------------------------------------------------------------------
// Thread-local data of workers
//
// The C library sets up the thread-local data of a module loaded at run time
// (this one's, and the C++ runtime's exception state, which a worker's first
// throw needs) when a thread first touches it, and ends the process when it
// cannot allocate it. Under a memory limit a worker could meet that after
// its stack took the last room, or after another worker's real work did. So
// every worker touches all of it before anything else, and under a limit the
// caller first holds back room for that (fewer workers when it cannot), lets
// it go just before starting them, and lets them work only once all are
// ready. Without a limit an allocation of a few KiB does not fail.

constexpr std::size_t HEADROOM_BASE_NBYTES = std::size_t{1} << 20;
constexpr std::size_t HEADROOM_PER_WORKER_NBYTES = std::size_t{256} << 10;

bool limited(int resource) noexcept {
    rlimit limit{};
    return ::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

// True when an allocation can fail before memory is really exhausted: an
// address-space or data limit (either may be set at any time), or strict
// overcommit accounting.
bool strict_overcommit() noexcept {
    std::FILE* f = std::fopen("/proc/sys/vm/overcommit_memory", "re");
    if (!f) return false;
    const int mode = std::fgetc(f);
    std::fclose(f);
    return mode == '2';
}

// Read when the library is loaded, as a fork() child must never find a
// first use half made by another thread.
const bool STRICT_OVERCOMMIT = strict_overcommit();

bool memory_limited() noexcept {
    return STRICT_OVERCOMMIT || limited(RLIMIT_AS) || limited(RLIMIT_DATA);
}

// Address space mapped and never touched, so that it counts against the
// limits while nothing uses it.
class Headroom {
public:
    Headroom() = default;
    Headroom(const Headroom&) = delete;
    Headroom& operator=(const Headroom&) = delete;
    ~Headroom() { release(); }

    bool hold(std::size_t nbytes) noexcept {
        release();
        void* p = ::mmap(nullptr, nbytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        base_ = p;
        nbytes_ = nbytes;
        return true;
    }
    void release() noexcept {
        if (base_) ::munmap(base_, nbytes_);
        base_ = nullptr;
    }

private:
    void* base_ = nullptr;
    std::size_t nbytes_ = 0;
};

// ---------------------------------------------------------------------------
// Workers under an address-space limit
//
// The C library gives a new thread that allocates an arena of its own: 64
// MiB of address space (on 64-bit) reserved at its first allocation, mapped
// twice as large for a moment to align it, and never given back; only a
// later thread reuses it, once all threads of its own have ended. Nothing
// steers a thread to an arena that exists short of the process-wide arena
// cap, and the process's malloc settings are not this library's to change.
// So under an address-space limit each worker may cost its arena for good
// beside its stack: workers started where room is short make a pass fail
// where the calling thread alone would have worked, and leave the process
// with less room than before. There a pass starts workers only when, with
// ARENA_AND_STACK_NBYTES each, they take at most a quarter of the room
// (which also covers the arenas' first, larger mappings) and the room left
// holds what the pass may need on one thread, counted generously as
// ONE_THREAD_FACTOR times the deck's bytes (each part up to the XML part
// limit); else the calling thread does it alone and makes no thread, arena
// or stack. A data limit or strict overcommit counts only what an arena
// uses, not what it reserves: neither rule applies there.

constexpr std::size_t ARENA_NBYTES = (std::size_t{8} << 20) * sizeof(long);
constexpr std::uint64_t ARENA_AND_STACK_NBYTES =
    std::uint64_t{ARENA_NBYTES} + WORKER_STACK_NBYTES + HEADROOM_PER_WORKER_NBYTES;
constexpr std::uint64_t WORKERS_SHARE_OF_ROOM = 4; // at most a quarter
constexpr std::uint64_t ONE_THREAD_FACTOR = 4;

// Whether `nbytes` of address space could be mapped now; the probe counts
// against an address-space limit alone.
bool address_space_room(std::uint64_t nbytes) noexcept {
    if (nbytes > SIZE_MAX) return false;
    void* p = ::mmap(nullptr, nbytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    ::munmap(p, nbytes);
    return true;
}

// How many of `workers` a pass under a memory limit starts: as many as the
// room for their thread-local data allows, held in `headroom` until they
// start, and under an address-space limit as above (none rather than one).
// `one_thread_nbytes` is what the pass may need on the calling thread alone.
std::size_t workers_in_room(std::size_t workers, std::uint64_t one_thread_nbytes, Headroom& headroom) noexcept {
    const bool address_space = limited(RLIMIT_AS);
    for (; workers > 0; workers /= 2) {
        if (address_space) {
            if (workers < 2) return 0;
            const std::uint64_t kept = workers * ARENA_AND_STACK_NBYTES;
            const std::uint64_t beside = one_thread_nbytes > UINT64_MAX - kept ? UINT64_MAX : kept + one_thread_nbytes;
            if (!address_space_room(std::max(kept * WORKERS_SHARE_OF_ROOM, beside))) continue;
        }
        if (headroom.hold(HEADROOM_BASE_NBYTES + workers * HEADROOM_PER_WORKER_NBYTES)) return workers;
    }
    return 0;
}

// Touches every piece of thread-local data a worker's steps may touch.
void touch_thread_data() noexcept {
    // The C++ runtime's per-thread state; the function is pure, so its result
    // must be used for the call to stay.
    const int uncaught = std::uncaught_exceptions();
    asm volatile("" : : "r"(uncaught));
    // This module's block, and the reader's spare rooms, whose destructor is
    // registered (an allocation) on first use.
    const xml::Reader reader{std::string_view{}};
    (void)reader;
}

// Marks the threads whose thread-local data was touched: a key's value lives
// in the thread's own descriptor, so setting one allocates nothing (except
// for keys past the first few dozen of the process, when it may fail, and
// the thread is then checked again next time).
struct ReadyKey {
    pthread_key_t key{};
    bool made = ::pthread_key_create(&key, nullptr) == 0;
};

// Made when the library is loaded, for the same reason.
const ReadyKey READY;

bool thread_ready() noexcept {
    const ReadyKey& ready = READY;
    if (ready.made && ::pthread_getspecific(ready.key)) return true;
    if (memory_limited()) {
        Headroom room;
        if (!room.hold(HEADROOM_BASE_NBYTES)) return false;
    }
    touch_thread_data();
    if (ready.made) (void)::pthread_setspecific(ready.key, &ready);
    return true;
}

// Holds started workers until all of them are ready.
class StartGate {
public:
    // A worker that touched its thread-local data.
    void arrive() noexcept {
        std::unique_lock lock(mutex_);
        if (++arrived_ == expected_) changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    // The caller, once `count` workers were started.
    void open_when(std::size_t count) noexcept {
        std::unique_lock lock(mutex_);
        expected_ = count;
        changed_.wait(lock, [&] { return arrived_ >= count; });
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t arrived_ = 0;
    std::size_t expected_ = SIZE_MAX;
    bool open_ = false;
};

struct WorkerContext {
    std::shared_ptr<const Shared> shared;
    std::size_t threads = 0;
    std::size_t worker = 0;
    const std::function<void(Document&, std::size_t)>* body = nullptr;
    StartGate* gate = nullptr;
    std::exception_ptr error;
};

void* worker_main(void* arg) {
    auto* ctx = static_cast<WorkerContext*>(arg);
    touch_thread_data();
    if (ctx->gate) ctx->gate->arrive();
    try {
        Document view(std::move(ctx->shared), ctx->threads);
        (*ctx->body)(view, ctx->worker);
    } catch (abi::__forced_unwind&) {
        // The caller, doing the steps itself, is being ended (see
        // budget::Stop): that must go on.
        throw;
    } catch (...) {
        ctx->error = std::current_exception();
    }
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// Shared
//
// A once-only parse charges room for what reading its parts charges
// (package::parse_cost) before the parse is entered, and gives it back when
// it is over (a budget::Held). Waiting for room there holds nothing that
// another step waits for; waiting inside would hold up every step waiting
// for the parse, so the parse's own reads are charged without waiting, and
// the room charged first only makes sure they fit. A charge refused there
// (the pass was stopped) gives up the parse.

namespace {

const CommentAuthors NO_AUTHORS{};

} // namespace

const CommentAuthors& Shared::comment_authors(package::Package* view) const {
    if (!authors_.done() && view) {
        // The first part of each kind, found and charged before the parse.
        std::optional<std::size_t> legacy, modern;
        if (auto rels = view->rels(presentation_part)) {
            for (const auto& rel : (*rels)->relationships) {
                if (rel.external) continue;
                const pml::RelKind kind = pml::RelKind::of(rel.type);
                std::optional<std::size_t>* slot = kind == pml::RelKind::commentAuthors ? &legacy
                                                   : kind == pml::RelKind::modernAuthors ? &modern
                                                                                         : nullptr;
                if (!slot || *slot) continue;
                // A name no part has is read (and missed) as before.
                *slot = view->part_index(opc::resolve_target(presentation_part, rel.target))
                            .value_or(view->parts().size());
            }
        }
        std::uint64_t cost = 0;
        for (const auto& at : {legacy, modern})
            if (at && *at < view->parts().size()) cost += package::parse_cost(view->parts()[*at]);
        budget::Held room;
        if (!room.take(view->ledger(), cost)) return NO_AUTHORS;
        authors_.call([&] {
            const budget::NoWait no_wait(view->ledger());
            CommentAuthors out;
            const auto read = [&](std::optional<std::size_t> at, comments::AuthorList& list) {
                if (!at || *at >= view->parts().size()) return;
                const std::string_view name = view->parts()[*at].name;
                auto bytes = view->read_part(name);
                if (!bytes) return;
                if (auto authors = comments::parse_authors(package::as_text(**bytes), name))
                    list = comments::AuthorList(std::move(*authors));
            };
            read(legacy, out.legacy);
            read(modern, out.modern);
            return out;
        });
    }
    const CommentAuthors* got = authors_.get();
    return got ? *got : NO_AUTHORS;
}

const PartStyles* Shared::part_styles(std::size_t part, package::Package* view) const {
    if (!view || part >= view->parts().size()) return nullptr;
    once::OnceCell<PartStyles>& cell = styles_.at(part, view->parts().size());
    if (!cell.done()) {
        budget::Held room;
        if (!room.take(view->ledger(), package::parse_cost(view->parts()[part]))) return nullptr;
        cell.call([&]() -> std::optional<PartStyles> {
            const budget::NoWait no_wait(view->ledger());
            const std::string_view name = view->parts()[part].name;
            // Parsed once per deck: the view need not keep the bytes.
            auto bytes = view->read_part_once(name);
            if (!bytes) return std::nullopt;
            auto parsed = slide::parse_styles(package::as_text(**bytes), name);
            bytes->reset();
            if (!parsed) return std::nullopt;
            PartStyles out(std::move(*parsed), std::nullopt);
            // A deck of one master needs no layout's relationships to find it.
            if (master_parts.size() == 1) {
                if (master_parts.front() != part) out.master = master_parts.front();
            } else if (auto rels = view->rels(name)) {
                for (const auto& rel : (*rels)->relationships) {
                    if (rel.external || pml::RelKind::of(rel.type) != pml::RelKind::slideMaster) continue;
                    const auto idx = view->part_index(opc::resolve_target(name, rel.target));
                    if (idx && *idx != part) out.master = *idx;
                    break;
                }
            }
            return out;
        });
    }
    return cell.get();
}

// ---------------------------------------------------------------------------
// Pass

Pass::Pass(const Shared& shared)
    : Pass(shared.source_nbytes, shared.package ? shared.package->parts().size() : 0,
           shared.legacy ? shared.legacy->document_nbytes() : 0) {}

std::uint64_t Pass::bound() const noexcept {
    const std::uint64_t read = read_nbytes();
    const std::uint64_t scaled = read > (UINT64_MAX - allowance_) / OUTPUT_FACTOR ? UINT64_MAX - allowance_
                                                                                   : read * OUTPUT_FACTOR;
    return scaled + allowance_;
}

bool Pass::emit(std::uint64_t nbytes) noexcept {
    std::uint64_t used = emitted_.load(std::memory_order_relaxed);
    do {
        if (cut()) return false;
        const std::uint64_t limit = bound();
        if (nbytes > limit - std::min(used, limit)) {
            std::uint64_t none = 0;
            cut_bound_.compare_exchange_strong(none, limit, std::memory_order_relaxed);
            return false;
        }
    } while (!emitted_.compare_exchange_weak(used, used + nbytes, std::memory_order_relaxed));
    return true;
}

void Pass::unemit(std::uint64_t nbytes) noexcept {
    std::uint64_t used = emitted_.load(std::memory_order_relaxed);
    while (!emitted_.compare_exchange_weak(used, used - std::min(used, nbytes), std::memory_order_relaxed)) {
    }
}

SharedText Pass::message(std::string text) {
    const std::lock_guard lock(mutex_);
    if (const auto it = messages_.find(text); it != messages_.end()) return it->second;
    if (text.size() > allowance_ - std::min(message_nbytes_, allowance_)) {
        text = encoding::shortened(text, MESSAGE_HEAD_NBYTES);
        if (const auto it = messages_.find(text); it != messages_.end()) return it->second;
    }
    message_nbytes_ += text.size();
    SharedText stored(std::move(text));
    messages_.emplace(*stored, stored);
    return stored;
}

const Rendered* Pass::part(Shown kind, std::size_t index, package::Package& view,
                           const std::function<Rendered()>& render, bool& first) {
    first = false;
    const std::size_t count = view.parts().size();
    if (index >= count) return nullptr;
    once::OnceCell<Rendered>& cell =
        parts_.at(index * SHOWN_KINDS + static_cast<std::size_t>(kind), count * SHOWN_KINDS);
    if (!cell.done()) {
        budget::Held room;
        if (!room.take(view.ledger(), package::parse_cost(view.parts()[index]))) return nullptr;
        first = cell.call([&]() -> std::optional<Rendered> {
            const budget::NoWait no_wait(view.ledger());
            return render();
        });
    }
    return cell.get();
}

bool Pass::repeat(std::uint64_t nbytes) noexcept {
    std::uint64_t used = repeated_.load(std::memory_order_relaxed);
    do {
        if (nbytes > allowance_ - used) return false;
    } while (!repeated_.compare_exchange_weak(used, used + nbytes, std::memory_order_relaxed));
    return true;
}

bool Pass::first_showing(std::uint64_t key) {
    const std::lock_guard lock(mutex_);
    return shown_.try_emplace(key, false).second;
}

void Pass::refuse(std::uint64_t key) {
    const std::lock_guard lock(mutex_);
    shown_[key] = true;
}

bool Pass::refused(std::uint64_t key) {
    const std::lock_guard lock(mutex_);
    const auto it = shown_.find(key);
    return it != shown_.end() && it->second;
}

// ---------------------------------------------------------------------------
// Threads

std::size_t worker_count(std::size_t count, std::size_t threads, bool legacy, std::uint64_t work_nbytes) noexcept {
    std::size_t cap = threads;
    if (cap == 0) {
        const std::uint64_t busy = legacy ? 1 : std::max<std::uint64_t>(work_nbytes / AUTO_NBYTES_PER_WORKER, 1);
        // The processor count is read from a file each time: not for a pass
        // that runs on the calling thread anyway.
        if (busy < 2 || count < 2) return std::min<std::size_t>(count, 1);
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        cap = online > 0 ? static_cast<std::size_t>(online) : 1;
        if (busy < cap) cap = static_cast<std::size_t>(busy);
    }
    return std::min(count, cap);
}

std::size_t threads_from_env() noexcept {
    const char* raw = std::getenv("VANTRELL_THREADS");
    if (!raw) return 0;
    const std::string_view text(raw);
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

std::uint64_t Document::slide_nbytes(std::span<const std::size_t> positions, std::uint64_t enough) const {
    if (!package_) return 0;
    std::uint64_t total = 0;
    for (const std::size_t p : positions) {
        if (total >= enough) break;
        if (p >= shared_->slides.size()) continue;
        if (const auto idx = package_->part_index(shared_->slides[p].part))
            total += std::min(package_->parts()[*idx].size, enough - total);
    }
    return total;
}

std::uint64_t Document::deck_nbytes() const noexcept {
    if (shared_->legacy) return shared_->legacy->document_nbytes();
    std::uint64_t total = 0;
    if (package_)
        for (const package::Part& part : package_->parts()) total += std::min(part.size, package::MAX_XML_PART_NBYTES);
    return total;
}

std::size_t Document::workers_for(std::span<const std::size_t> positions) const {
    // Workers of a pass nested in another's stop check would charge as any
    // thread does, and wait for what the suspended pass holds.
    if (budget::nested()) return 1;
    const bool legacy = shared_->is_legacy();
    if (threads_ != 0 || legacy) return worker_count(positions.size(), threads_, legacy);
    // Enough for a worker on each of a thousand processors; counting stops there.
    return worker_count(positions.size(), 0, false, slide_nbytes(positions, AUTO_NBYTES_PER_WORKER << 10));
}

namespace {

// Joins `tid`; with a stop, polls it meanwhile, as the workers cannot.
void join_polling(pthread_t tid, budget::Stop* stop) {
    if (!stop) {
        ::pthread_join(tid, nullptr);
        return;
    }
    constexpr long NS_PER_S = 1'000'000'000;
    constexpr long interval_ns = std::chrono::nanoseconds(budget::Stop::POLL_INTERVAL).count();
    for (;;) {
        timespec until{};
        ::clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += interval_ns;
        if (until.tv_nsec >= NS_PER_S) {
            until.tv_nsec -= NS_PER_S;
            ++until.tv_sec;
        }
        if (::pthread_timedjoin_np(tid, nullptr, &until) != ETIMEDOUT) return;
        stop->poll();
    }
}

} // namespace

void Document::run_workers(std::size_t workers, const std::function<void(Document&, std::size_t)>& body) const {
    const bool limited = memory_limited();
    Headroom headroom;
    if (limited) workers = workers_in_room(workers, deck_nbytes() * ONE_THREAD_FACTOR, headroom);
    std::vector<WorkerContext> contexts(std::max<std::size_t>(workers, 1));
    StartGate gate;
    for (std::size_t w = 0; w < contexts.size(); ++w) {
        contexts[w].shared = shared_;
        contexts[w].threads = threads_;
        contexts[w].worker = w;
        contexts[w].body = &body;
    }
    std::vector<pthread_t> started;
    started.reserve(workers);
    // Destroyed after the joins below: a stack goes back only once its
    // thread has ended.
    const PassStacks stacks(workers, !limited);
    headroom.release();
    // Every worker started is joined before what it uses goes, also when
    // the caller is unwound while it waits for them: its stop is set then
    // (budget::Stop), and they end at their next step.
    struct Joined {
        const std::vector<pthread_t>& started;
        std::size_t count = 0;
        ~Joined() {
            for (; count < started.size(); ++count) ::pthread_join(started[count], nullptr);
        }
    } joined{started};

    // A tight address space or thread limit gives fewer stacks or threads
    // than asked for: the workers started share the positions out, and
    // with none the caller does them all itself.
    pthread_attr_t attr;
    if (stacks.size() > 0 && pthread_attr_init(&attr) == 0) {
        for (std::size_t w = 0; w < stacks.size(); ++w) {
            pthread_t tid;
            if (limited) contexts[w].gate = &gate;
            if (pthread_attr_setstack(&attr, stacks[w], WORKER_STACK_NBYTES) != 0 ||
                pthread_create(&tid, &attr, worker_main, &contexts[w]) != 0)
                break;
            started.push_back(tid);
        }
        pthread_attr_destroy(&attr);
    }
    if (limited && !started.empty()) gate.open_when(started.size());
    if (started.empty()) {
        contexts[0].gate = nullptr;
        worker_main(&contexts[0]);
    }
    for (; joined.count < started.size(); ++joined.count) join_polling(started[joined.count], stop_);

    for (std::size_t w = 0; w < std::max<std::size_t>(started.size(), 1); ++w)
        if (contexts[w].error) std::rethrow_exception(contexts[w].error);
}

// ---------------------------------------------------------------------------
// Document

Document::Document(std::shared_ptr<const Shared> shared, std::size_t threads)
    : shared_(std::move(shared)), threads_(threads) {
    if (shared_->package) package_.emplace(shared_->package);
}

void Document::drop_caches() {
    if (!package_) return;
    package_.emplace(shared_->package);
    package_->set_ledger(ledger_);
    package_->set_reads(reads_);
}

void Document::charge_reads_to(budget::Ledger* ledger) noexcept {
    ledger_ = ledger;
    if (package_) package_->set_ledger(ledger);
}

void Document::count_reads_in(package::ReadSet* reads) noexcept {
    reads_ = reads;
    if (package_) package_->set_reads(reads);
}

Document::Metering::Metering(Document& view, Pass& pass) noexcept : view_(view), previous_(view.reads_) {
    view_.count_reads_in(&pass.reads());
    // What the view read before was not counted for this pass.
    if (previous_ != &pass.reads()) view_.drop_caches();
}

Result<Document> Document::from_source(std::shared_ptr<zip::Source> source, budget::Stop* stop) {
    if (!source) return fail(Error::not_zip());
    // The archive refuses a compound file as "not a zip archive" at once, so
    // the compound signature is read only then, and a package costs no
    // extra read.
    auto archive = zip::Archive::open(source);
    if (!archive) {
        if (archive.error().kind() != error::Kind::NotZip) return fail(archive.error());
        std::array<std::uint8_t, 8> head{};
        const std::size_t head_nbytes = static_cast<std::size_t>(std::min<std::uint64_t>(source->len(), head.size()));
        if (head_nbytes > 0) {
            if (auto r = source->read_at(0, std::span(head.data(), head_nbytes)); !r) return fail(r.error());
        }
        if (cfb::has_signature(std::span<const std::uint8_t>(head.data(), head_nbytes)))
            return open_compound(*source, stop);
        return fail(archive.error());
    }
    auto pkg = package::Package::from_archive(std::move(*archive));
    if (!pkg) return fail(pkg.error());
    return open_package(std::move(*pkg), source->len(), stop);
}

Result<Slide> Document::slide(std::size_t index, slide::Detail detail, Pass* repeats) {
    if (index >= shared_->slides.size()) return fail(Error::slide_not_found(index));
    if (!package_ && shared_->legacy) {
        if (!charged(ledger_, shared_->legacy->slide_nbytes(index))) return fail(package::stopped());
        // A copy's first showing repeats only the setting texts it shows
        // again; the rest of what it holds is stored once.
        const ppt::FurnitureGate gate = [repeats](std::uint64_t source, std::uint64_t nbytes, std::uint64_t repeated) {
            const std::uint64_t counted = repeats->first_showing(source) ? repeated : nbytes;
            return counted == 0 || repeats->repeat(counted);
        };
        auto content = shared_->legacy->slide(index, repeats ? &gate : nullptr);
        if (!content) return fail(content.error());
        Slide out;
        out.part = shared_->slides[index].part;
        out.content = std::move(*content);
        out.index = index;
        out.view = this;
        return out;
    }
    if (!package_) return fail(Error::unsupported("legacy binary presentations are not supported yet"));
    const std::string& part = shared_->slides[index].part;
    // Parsed once and dropped here, so that rendering holds the parsed
    // slide and its output, not the part's bytes as well.
    auto bytes = package_->read_part_once(part);
    if (!bytes) return fail(bytes.error());
    auto parsed = slide::parse(package::as_text(**bytes), part, detail);
    if (!parsed) return fail(parsed.error());
    // A listed part of another kind (a notes page, a layout) holds no slide
    // to show: it is an unreadable slide, not an empty one.
    if (parsed->content.root != model::SlideContent::Root::slide)
        return fail(Error::other(part + " is not a slide: its root element is not p:sld"));
    Slide out;
    out.part = part;
    out.content = std::move(parsed->content);
    out.report = std::move(parsed->report);
    out.index = index;
    out.view = this;
    return out;
}

std::vector<std::pair<std::string, std::vector<std::size_t>>> Document::sections() const {
    std::unordered_map<std::uint32_t, std::size_t, hash::NumberHasher> position_of;
    for (std::size_t i = 0; i < shared_->slides.size(); ++i)
        if (const auto id = shared_->slides[i].id) position_of.emplace(*id, i);
    std::vector<std::pair<std::string, std::vector<std::size_t>>> out;
    out.reserve(shared_->presentation.sections.size());
    for (const auto& section : shared_->presentation.sections) {
        std::vector<std::size_t> positions;
        for (const std::uint32_t id : section.slide_ids)
            if (const auto it = position_of.find(id); it != position_of.end()) positions.push_back(it->second);
        out.emplace_back(section.name, std::move(positions));
    }
    return out;
}

Result<std::optional<properties::CoreProperties>> Document::core_properties() {
    if (!package_) return std::nullopt;
    const auto name = find_related(*package_, "/", pml::RelKind::coreProperties, CONVENTIONAL_CORE);
    if (!name) return std::nullopt;
    auto bytes = package_->read_part(*name);
    if (!bytes) return fail(bytes.error());
    auto parsed = properties::CoreProperties::parse(package::as_text(**bytes), *name);
    if (!parsed) return fail(parsed.error());
    return std::optional(std::move(*parsed));
}

Result<std::optional<properties::AppProperties>> Document::app_properties() {
    if (!package_) return std::nullopt;
    const auto name = find_related(*package_, "/", pml::RelKind::extendedProperties, CONVENTIONAL_APP);
    if (!name) return std::nullopt;
    auto bytes = package_->read_part(*name);
    if (!bytes) return fail(bytes.error());
    auto parsed = properties::AppProperties::parse(package::as_text(**bytes), *name);
    if (!parsed) return fail(parsed.error());
    return std::optional(std::move(*parsed));
}

std::vector<comments::CommentAuthor> Document::comment_authors() {
    const CommentAuthors& all = shared_->comment_authors(package());
    std::vector<comments::CommentAuthor> out;
    out.reserve(all.legacy.authors().size() + all.modern.authors().size());
    out.insert(out.end(), all.legacy.authors().begin(), all.legacy.authors().end());
    out.insert(out.end(), all.modern.authors().begin(), all.modern.authors().end());
    return out;
}

// ---------------------------------------------------------------------------
// Bullets

namespace {

using PK = model::PlaceholderKind;
using model::CHARACTER_BULLET;
using model::NO_BULLET;

// Highest list level a style describes (lvl9pPr).
constexpr std::uint8_t MAX_STYLE_LEVEL = 8;

bool is_title(PK kind) noexcept { return kind == PK::title || kind == PK::ctrTitle; }

// The placeholder types a master's body placeholder and body style stand for.
bool is_body_like(PK kind) noexcept {
    switch (kind.value()) {
    case PK::body:
    case PK::obj:
    case PK::subTitle:
    case PK::chart:
    case PK::tbl:
    case PK::clipArt:
    case PK::dgm:
    case PK::media:
    case PK::pic:
        return true;
    default:
        return false;
    }
}

const slide::Styles::Entry* layout_placeholder(const PartStyles& layout, const model::Placeholder& ph) {
    if (ph.idx != 0)
        if (const auto* e = layout.with_idx(ph.idx)) return e;
    return layout.of_kind(ph.kind);
}

const slide::Styles::Entry* master_placeholder(const PartStyles& master, PK kind) {
    return master.of_kind(is_title(kind) ? PK(PK::title) : is_body_like(kind) ? PK(PK::body) : kind);
}

} // namespace

PartStyles::PartStyles(slide::Styles styles_, std::optional<std::size_t> master_)
    : styles(std::move(styles_)), master(master_) {
    by_kind_.fill(NONE);
    for (std::size_t i = 0; i < styles.placeholders.size(); ++i) {
        const model::Placeholder& ph = styles.placeholders[i].placeholder;
        by_idx_.emplace(ph.idx, i);
        if (const auto k = static_cast<std::size_t>(ph.kind.value()); k < by_kind_.size() && by_kind_[k] == NONE)
            by_kind_[k] = i;
    }
}

const slide::Styles::Entry* PartStyles::with_idx(std::uint32_t idx) const {
    const auto it = by_idx_.find(idx);
    return it == by_idx_.end() ? nullptr : &styles.placeholders[it->second];
}

const slide::Styles::Entry* PartStyles::of_kind(model::PlaceholderKind kind) const {
    const auto k = static_cast<std::size_t>(kind.value());
    return k < by_kind_.size() && by_kind_[k] != NONE ? &styles.placeholders[by_kind_[k]] : nullptr;
}

const PartStyles* Bullets::layout() const {
    if (layout_looked_up_) return layout_;
    layout_looked_up_ = true;
    package::Package* pkg = slide_->view ? slide_->view->package() : nullptr;
    if (!pkg) return nullptr;
    auto name = slide_->related_part(pml::RelKind::slideLayout);
    if (!name || !*name) return nullptr;
    const auto idx = pkg->part_index(**name);
    if (!idx) return nullptr;
    layout_ = slide_->view->shared()->part_styles(*idx, pkg);
    return layout_;
}

const PartStyles* Bullets::master() const {
    if (master_looked_up_) return master_;
    master_looked_up_ = true;
    package::Package* pkg = slide_->view ? slide_->view->package() : nullptr;
    if (!pkg) return nullptr;
    const Shared& shared = *slide_->view->shared();
    // With one master, shapes that need no layout need not read it either.
    std::optional<std::size_t> part;
    if (shared.master_parts.size() == 1) part = shared.master_parts.front();
    else if (layout()) part = layout_->master;
    if (!part) return nullptr;
    master_ = shared.part_styles(*part, pkg);
    return master_;
}

const model::Bullet& Bullets::of(const model::Shape& shape, const model::Paragraph& paragraph) const {
    const std::optional<model::Placeholder>& ph = shape.placeholder;
    const bool body_or_content = ph && (ph->kind == PK::body || ph->kind == PK::obj);
    // A legacy deck's paragraphs carry their own bullets and their text
    // body what its masters' styles set by level.
    if (slide_->view && slide_->view->shared()->is_legacy()) {
        const model::TextBody* body = shape.text_body();
        return model::legacy_bullet(paragraph, body ? &body->list_style : nullptr, body_or_content);
    }
    if (ph && is_title(ph->kind)) return NO_BULLET;
    if (paragraph.bullet.kind != model::Bullet::Kind::inherited) return paragraph.bullet;
    const std::uint8_t level = std::min(paragraph.level, MAX_STYLE_LEVEL);
    if (const model::TextBody* body = shape.text_body())
        if (const model::Bullet* b = body->list_style.at(level)) return *b;

    PK kind = ph ? ph->kind : PK(PK::other);
    if (ph && layout()) {
        if (const auto* e = layout_placeholder(*layout(), *ph)) {
            if (const model::Bullet* b = e->list_style.at(level)) return *b;
            kind = e->placeholder.kind;
        }
    }
    if (const PartStyles* m = master()) {
        if (ph)
            if (const auto* e = master_placeholder(*m, kind))
                if (const model::Bullet* b = e->list_style.at(level)) return *b;
        const model::ListStyle& style = ph && is_body_like(kind) ? m->styles.body_style : m->styles.other_style;
        if (const model::Bullet* b = style.at(level)) return *b;
    }
    return body_or_content ? CHARACTER_BULLET : NO_BULLET;
}

// ---------------------------------------------------------------------------
// Slide

Result<std::shared_ptr<const opc::Relationships>> Slide::rels() const {
    package::Package* pkg = view->package();
    // A legacy slide has no relationships at all.
    if (!pkg) return std::make_shared<const opc::Relationships>();
    return pkg->rels(part);
}

Result<std::optional<std::string>> Slide::related_part(pml::RelKind kind) const {
    auto all = rels();
    if (!all) return fail(all.error());
    for (const auto& rel : (*all)->relationships) {
        if (rel.external || pml::RelKind::of(rel.type) != kind) continue;
        return std::optional(opc::resolve_target(part, rel.target));
    }
    return std::nullopt;
}

Result<std::optional<std::string>> Slide::notes_part() const { return related_part(pml::RelKind::notesSlide); }

Result<model::SlideContent> Slide::read_notes(std::string_view name) const {
    package::Package* pkg = view->package();
    if (!pkg) return fail(Error::unsupported("a legacy binary presentation has no package parts"));
    auto bytes = pkg->read_part_once(name);
    if (!bytes) return fail(bytes.error());
    auto parsed = slide::parse(package::as_text(**bytes), name, slide::Detail::plain);
    bytes->reset();
    if (!parsed) return fail(parsed.error());
    return std::move(parsed->content);
}

Result<std::optional<model::SlideContent>> Slide::notes_content() const {
    if (const auto& legacy = view->shared()->legacy) {
        if (!charged(view->ledger(), legacy->notes_nbytes(index))) return fail(package::stopped());
        return legacy->notes(index);
    }
    auto name = notes_part();
    if (!name) return fail(name.error());
    if (!*name) return std::nullopt;
    auto content = read_notes(**name);
    if (!content) return fail(content.error());
    return std::optional(std::move(*content));
}

Result<std::optional<std::string>> Slide::notes_text() const {
    auto content = notes_content();
    if (!content) return fail(content.error());
    if (!*content) return std::nullopt;
    return std::optional((*content)->notes_text());
}

Result<std::optional<std::string>> Slide::hyperlink_target(std::string_view rel_id) const {
    auto all = rels();
    if (!all) return fail(all.error());
    const opc::Relationship* rel = (*all)->get(rel_id);
    if (!rel) return std::nullopt;
    if (rel->external) return std::optional(std::string(rel->target));
    return std::optional(opc::resolve_target(part, rel->target));
}

Result<FramePart<std::string>> Slide::frame_target(const std::optional<std::string>& rel_id) const {
    package::Package* pkg = view ? view->package() : nullptr;
    if (!rel_id || !pkg) return FramePart<std::string>{};
    auto all = rels();
    if (!all) return fail(all.error());
    const opc::Relationship* rel = (*all)->get(*rel_id);
    if (!rel) return fail(Error::missing_relationship(*rel_id, part));
    if (rel->external) return FramePart<std::string>{std::nullopt, std::string(rel->target)};
    return FramePart<std::string>{opc::resolve_target(part, rel->target), std::nullopt};
}

template <class Data>
Result<Data> Slide::read_parsed(std::string_view name, Parse<Data> parse) const {
    package::Package* pkg = view->package();
    if (!pkg) return fail(Error::unsupported("a legacy binary presentation has no package parts"));
    auto bytes = pkg->read_part(name);
    if (!bytes) return fail(bytes.error());
    return parse(package::as_text(**bytes), name);
}

Result<chart::ChartData> Slide::read_chart(std::string_view name) const {
    return read_parsed<chart::ChartData>(name, chart::parse);
}

Result<diagram::DiagramData> Slide::read_diagram(std::string_view name) const {
    return read_parsed<diagram::DiagramData>(name, diagram::parse);
}

template <class Data>
Result<FramePart<Data>> Slide::frame_part(const std::optional<std::string>& rel_id, Parse<Data> parse,
                                         ShownParts* shown) const {
    auto target = frame_target(rel_id);
    if (!target) return fail(target.error());
    if (!target->data) return FramePart<Data>{std::nullopt, std::move(target->external)};
    const std::string& name = *target->data;
    // A missing part is left to the read below to report.
    if (const auto idx = shown ? view->package()->part_index(name) : std::nullopt)
        if (!shown->insert(*idx).second) return FramePart<Data>{};
    auto data = read_parsed(name, parse);
    if (!data) return fail(data.error());
    return FramePart<Data>{std::move(*data), std::nullopt};
}

Result<FramePart<chart::ChartData>> Slide::chart_part(const model::Chart& frame) const {
    return frame_part<chart::ChartData>(frame.rel_id, chart::parse);
}

Result<FramePart<diagram::DiagramData>> Slide::diagram_part(const model::Diagram& frame) const {
    return frame_part<diagram::DiagramData>(frame.data, diagram::parse);
}

template <class Data, class Frame>
Result<std::vector<std::pair<std::uint32_t, Data>>> Slide::frames(std::optional<std::string> Frame::*rel_id,
                                                                  Parse<Data> parse) const {
    std::vector<std::pair<std::uint32_t, Data>> out;
    ShownParts shown;
    // A relationship several frames name was followed at the first, where
    // its part showed (or the call failed): the others are passed over
    // without resolving it again.
    std::unordered_set<std::string_view, hash::Hasher, std::equal_to<>> named;
    for (const model::Shape& shape : content.walk()) {
        const auto* frame = std::get_if<Frame>(&shape.content);
        if (!frame) continue;
        if (const auto& id = frame->*rel_id; id && !named.insert(*id).second) continue;
        auto got = frame_part(frame->*rel_id, parse, &shown);
        if (!got) return fail(got.error());
        if (got->external)
            return fail(Error::unsupported("external target " + *got->external + " of " + *(frame->*rel_id)));
        if (got->data) out.emplace_back(shape.id, std::move(*got->data));
    }
    return out;
}

Result<std::vector<std::pair<std::uint32_t, chart::ChartData>>> Slide::charts() const {
    return frames(&model::Chart::rel_id, chart::parse);
}

Result<std::vector<std::pair<std::uint32_t, diagram::DiagramData>>> Slide::diagrams() const {
    return frames(&model::Diagram::data, diagram::parse);
}

Result<std::optional<Slide::CommentsPart>> Slide::comments_part() const {
    if (!view->package()) return std::nullopt;
    for (const auto& [kind, modern] :
         {std::pair(pml::RelKind::modernComments, true), std::pair(pml::RelKind::comments, false)}) {
        auto name = related_part(kind);
        if (!name) return fail(name.error());
        if (*name) return std::optional(CommentsPart{std::move(**name), modern});
    }
    return std::nullopt;
}

Result<std::vector<comments::Comment>> Slide::read_comments(const CommentsPart& part) const {
    package::Package* pkg = view->package();
    if (!pkg) return std::vector<comments::Comment>{};
    const CommentAuthors& authors = view->shared()->comment_authors(pkg);
    auto bytes = pkg->read_part(part.name);
    if (!bytes) return fail(bytes.error());
    return comments::parse(package::as_text(**bytes), part.name, part.modern ? authors.modern : authors.legacy);
}

Result<std::vector<comments::Comment>> Slide::comments() const {
    auto part = comments_part();
    if (!part) return fail(part.error());
    if (!*part) return std::vector<comments::Comment>{};
    return read_comments(**part);
}

namespace {

// The allowance of one call over the deck, as a pass has it.
std::uint64_t call_allowance(const Shared& shared) noexcept {
    return std::max(REPEAT_ALLOWANCE_NBYTES, shared.source_nbytes);
}

// Fills the part, content type (when asked) and external target of
// references from the slide relationships they name; an id the slide lacks
// leaves all three unset. A relationship is resolved once however many
// references name it, and what it names is shared by all of them, as is
// each content type stored (a Default serves every part of its extension)
// and each part's stored name (many relationships may name one part).
//
// A part the package lacks has no stored name: the references show the
// name its relationship resolves to, which holds the source part's folder
// besides the target as written. Short targets beside a long folder would
// make one call hold that folder once per relationship, so what such names
// add to the targets stays within `allowance` for the call; past it, the
// references name no part (as of one not stored in the package).
class Linker {
public:
    Linker(const opc::Relationships& rels, const package::Package& pkg, std::string_view source,
           bool content_types, std::uint64_t allowance) noexcept
        : rels_(rels), pkg_(pkg), source_(source), content_types_(content_types), derived_left_(allowance) {}

    template <class Ref>
    void link(Ref& ref, std::string_view rel_id) {
        const opc::Relationship* rel = rels_.get(rel_id);
        if (!rel) return;
        const auto [it, made] = linked_.try_emplace(rel);
        if (made) it->second = resolve(*rel);
        ref.part = it->second.part;
        ref.content_type = it->second.content_type;
        ref.external = it->second.external;
    }

private:
    struct Linked {
        SharedText part, content_type, external;
    };

    Linked resolve(const opc::Relationship& rel) {
        Linked out;
        if (rel.external) {
            out.external = std::string(rel.target);
            return out;
        }
        opc::resolve_target_into(source_, rel.target, name_);
        if (const auto index = pkg_.part_index(name_)) {
            out.part = names_.of(pkg_.parts()[*index].name);
        } else {
            const std::uint64_t added = name_.size() > rel.target.size() ? name_.size() - rel.target.size() : 0;
            if (added > derived_left_) return out;
            derived_left_ -= added;
            out.part = name_;
        }
        if (content_types_)
            if (const auto ct = pkg_.parsed_content_types().types.content_type_of(*out.part))
                out.content_type = types_.of(*ct);
        return out;
    }

    const opc::Relationships& rels_;
    const package::Package& pkg_;
    std::string_view source_;
    bool content_types_;
    std::uint64_t derived_left_;
    std::string name_;  // the target resolved, its room reused
    std::unordered_map<const opc::Relationship*, Linked> linked_;
    // The package's part names and content types stay put while it lives.
    SharedTexts names_;
    SharedTexts types_;
};

} // namespace

Result<std::vector<ImageRef>> Slide::images(bool with_content_types) const {
    std::vector<ImageRef> out;
    const package::Package* pkg = view->package();
    if (!pkg) {
        // The store entries this slide's pictures show, not the whole store;
        // an entry many pictures show gives them one part name and type.
        if (const auto& legacy = view->shared()->legacy) {
            std::unordered_map<std::uint32_t, std::pair<SharedText, SharedText>, hash::NumberHasher> entries;
            for (auto& image : legacy->images(content)) {
                auto [it, made] = entries.try_emplace(image.pib);
                if (made) it->second = {SharedText(std::move(image.part)), SharedText(std::move(image.content_type))};
                out.push_back({image.shape_id, std::move(image.id), it->second.first, it->second.second, {}});
            }
        }
        return out;
    }
    auto all = rels();
    if (!all) return fail(all.error());
    Linker linker(**all, *pkg, part, with_content_types, call_allowance(*view->shared()));
    for (const model::Shape& shape : content.walk()) {
        const auto* pic = std::get_if<model::Picture>(&shape.content);
        if (!pic) continue;
        const std::optional<std::string>& id = pic->embed ? pic->embed : pic->link;
        if (!id) continue;
        ImageRef ref;
        ref.shape_id = shape.id;
        ref.rel_id = *id;
        linker.link(ref, *id);
        out.push_back(std::move(ref));
    }
    return out;
}

Result<std::vector<ObjectRef>> Slide::objects() const {
    std::vector<ObjectRef> out;
    const package::Package* pkg = view->package();
    if (!pkg) {
        // A legacy deck's OLE frames are listed like any other, but with no
        // part to name: their data is not a package part.
        for (const model::Shape& shape : content.walk())
            if (const auto* ole = std::get_if<model::Ole>(&shape.content))
                out.push_back({shape.id, ole->prog_id, std::nullopt, {}, {}, {}});
        return out;
    }
    auto all = rels();
    if (!all) return fail(all.error());
    Linker linker(**all, *pkg, part, true, call_allowance(*view->shared()));
    for (const model::Shape& shape : content.walk()) {
        const auto* ole = std::get_if<model::Ole>(&shape.content);
        if (!ole) continue;
        ObjectRef ref;
        ref.shape_id = shape.id;
        ref.prog_id = ole->prog_id;
        ref.rel_id = ole->rel_id;
        if (ole->rel_id) linker.link(ref, *ole->rel_id);
        out.push_back(std::move(ref));
    }
    return out;
}

Result<bytes::Buffer> Slide::image_bytes(const ImageRef& image) const {
    const package::Package* pkg = view->package();
    if (const auto& legacy = view->shared()->legacy; !pkg && legacy && image.part) {
        const auto pib = legacy->pib_of(*image.part);
        if (!pib) return fail(Error::missing_part(*image.part));
        return legacy->picture_bytes(*pib);
    }
    if (!pkg) return fail(Error::unsupported("a legacy binary presentation has no package parts"));
    if (!image.part) return fail(Error::other("image " + image.rel_id + " is not stored in the package"));
    bytes::Buffer out;
    if (auto r = pkg->read_part_bytes(*image.part, out); !r) return fail(r.error());
    return out;
}

Error object_not_stored(const ObjectRef& object, bool legacy) {
    if (!legacy) return Error::other("object " + object.rel_id.value_or("") + " is not stored in the package");
    std::string what = "the bytes of the object of shape " + std::to_string(object.shape_id);
    if (object.prog_id) what += " (" + *object.prog_id + ")";
    return Error::unsupported(std::move(what) +
                              ": a legacy binary presentation keeps its objects inside its document stream, "
                              "not as package parts");
}

Result<bytes::Buffer> Slide::object_bytes(const ObjectRef& object) const {
    const package::Package* pkg = view->package();
    if (!object.part) return fail(object_not_stored(object, !pkg));
    if (!pkg) return fail(Error::unsupported("a legacy binary presentation has no package parts"));
    bytes::Buffer out;
    if (auto r = pkg->read_part_bytes(*object.part, out); !r) return fail(r.error());
    return out;
}

} // namespace vantrell_core::document

namespace vantrell_core {

bool ready_thread_data() noexcept { return document::thread_ready(); }

} // namespace vantrell_core
