#include "core/budget.h"

#include <pthread.h>

#include <algorithm>
#include <new>

namespace vantrell_core::budget {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t s;
    return __builtin_add_overflow(a, b, &s) ? UINT64_MAX : s;
}

constexpr std::uint8_t SMALL = 0;
constexpr std::uint8_t LARGE = 1;

// The stop checks this thread is running, one inside another's nested call.
thread_local unsigned checks_running = 0;

// Counts a check as running while it lives, also when the check unwinds.
struct Running {
    Running() noexcept { ++checks_running; }
    ~Running() { --checks_running; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
};

// Made when the library is loaded, before any pass can run, rather than on
// first use: a fork() child must never find it half made by another thread.
alignas(Budget) unsigned char process_storage[sizeof(Budget)];

} // namespace

struct ProcessBudget {
    static Budget* make() noexcept {
        Budget* b = ::new (process_storage) Budget(PROCESS_NBYTES);
        ::pthread_atfork(nullptr, nullptr, [] { std::launder(reinterpret_cast<Budget*>(process_storage))->start_afresh(); });
        return b;
    }
};

namespace {
// Never destroyed: a pass still running while the process exits keeps
// charging it.
Budget* const process_budget = ProcessBudget::make();
} // namespace

Budget& Budget::process() noexcept { return *process_budget; }

std::uint64_t Budget::in_flight() noexcept {
    const std::lock_guard lock(mutex_);
    return in_flight_;
}

std::size_t Budget::waiting() noexcept {
    const std::lock_guard lock(mutex_);
    return waiting_;
}

void Budget::wake_all() noexcept {
    const std::lock_guard lock(mutex_);
    settled_.notify_all();
}

void Budget::start_afresh() noexcept {
    // Only the thread that called fork() runs in the child, and not in here:
    // whatever the old lock and waits were, nobody is left to use them.
    ::new (&mutex_) std::mutex;
    ::new (&settled_) std::condition_variable;
    in_flight_ = 0;
    waiting_ = 0;
    lanes_[SMALL] = Lane{};
    lanes_[LARGE] = Lane{};
    generation_.fetch_add(1, std::memory_order_relaxed);
}

bool Budget::enters(const Ledger& ledger, std::uint64_t nbytes) const noexcept {
    const Lane& small = lanes_[SMALL];
    const Lane& large = lanes_[LARGE];
    if (ledger.lane_ == SMALL) {
        if (saturating_add(small.held, nbytes) <= small_room_) return true;
        // A large step waiting for the small ones to shrink must not be
        // kept waiting by new ones.
        return !large.oldest_waiting && saturating_add(in_flight_, nbytes) <= limit_;
    }
    if (large.held == 0 && (ledger.parked_ || small.held <= small_room_)) return true;
    // A step that outgrew the small room goes on beside large ones as it
    // would have, had it not queued.
    return ledger.parked_ && saturating_add(large.held, saturating_add(ledger.held_, nbytes)) <= limit_ - small_room_;
}

bool Budget::fits_later(const Ledger& ledger, std::uint64_t nbytes) const noexcept {
    if (ledger.lane_ == LARGE) return saturating_add(lanes_[LARGE].held, nbytes) <= limit_ - small_room_;
    // Later charges of a small step never wait for a large one.
    return saturating_add(lanes_[SMALL].held, nbytes) <= small_room_ || saturating_add(in_flight_, nbytes) <= limit_;
}

void Budget::wait(const Ledger& ledger, std::unique_lock<std::mutex>& lock) {
    if (ledger.stop_ && ledger.polls_) {
        settled_.wait_for(lock, Stop::POLL_INTERVAL);
        // The check may take other locks (the interpreter's): not under ours.
        lock.unlock();
        try {
            ledger.stop_->poll();
        } catch (...) {
            // The thread is unwound: the caller leaves the budget as a
            // refused charge does, under the lock.
            lock.lock();
            throw;
        }
        lock.lock();
    } else {
        settled_.wait(lock);
    }
}

bool nested() noexcept { return checks_running != 0; }

bool Budget::take(Ledger& ledger, std::uint64_t nbytes) {
    std::unique_lock lock(mutex_);
    const bool may_wait = ledger.no_wait_ == 0 && !nested();
    if (!ledger.listed_) {
        ledger.lane_ = nbytes <= small_room_ ? SMALL : LARGE;
        if (may_wait && (lanes_[ledger.lane_].oldest_waiting || !enters(ledger, nbytes)))
            return wait_in_line(ledger, nbytes, lock);
        // In: the wait below is for later charges only.
        list(ledger);
        count(ledger, nbytes);
        return true;
    }
    if (may_wait && ledger.lane_ == SMALL && saturating_add(ledger.held_, nbytes) > small_room_) {
        // Outgrown the small room: the step goes on as a large one.
        unlist(ledger);
        lanes_[SMALL].held -= ledger.held_;
        ledger.lane_ = LARGE;
        if (lanes_[LARGE].oldest_waiting) {
            // Behind the large steps that wait, or it could keep them
            // waiting for ever.
            ledger.parked_ = true;
            return wait_in_line(ledger, nbytes, lock);
        }
        lanes_[LARGE].held = saturating_add(lanes_[LARGE].held, ledger.held_);
        list(ledger);
        // Small steps waiting for room, or for this one to end, may go now.
        changed();
    }
    const Lane& lane = lanes_[ledger.lane_];
    const auto must_wait = [&] { return lane.oldest != &ledger && !fits_later(ledger, nbytes); };
    if (may_wait && must_wait()) {
        ++waiting_;
        bool refused = false;
        try {
            while (must_wait() && !(refused = ledger.stop_requested())) wait(ledger, lock);
        } catch (...) {
            --waiting_;
            throw;
        }
        --waiting_;
        if (refused) return false;
    }
    count(ledger, nbytes);
    return true;
}

bool Budget::wait_in_line(Ledger& ledger, std::uint64_t nbytes, std::unique_lock<std::mutex>& lock) {
    Lane& lane = lanes_[ledger.lane_];
    ledger.asked_ = nbytes;
    ledger.granted_ = false;
    append(lane.oldest_waiting, lane.newest_waiting, ledger);
    ++waiting_;
    const auto leave_line = [&] {
        remove(lane.oldest_waiting, lane.newest_waiting, ledger);
        --waiting_;
        if (ledger.parked_) {
            // Back where it was, holding what it held, to be settled.
            ledger.parked_ = false;
            ledger.lane_ = SMALL;
            lanes_[SMALL].held = saturating_add(lanes_[SMALL].held, ledger.held_);
            list(ledger);
        }
        // The next in line may go now.
        changed();
    };
    // A step that left the small lane may have let in the one ahead, or
    // this one, and small steps waiting for room or for it may go on. A
    // step that only joined a line changed nothing that lets another in.
    if (ledger.parked_) changed();
    while (!ledger.granted_) {
        if (ledger.stop_requested()) {
            leave_line();
            return false;
        }
        try {
            wait(ledger, lock);
        } catch (...) {
            // Let in meanwhile, it holds its charge as any step let in does,
            // for its ledger to settle; else it leaves the line.
            if (!ledger.granted_) leave_line();
            throw;
        }
    }
    return true;
}

bool Budget::serve() noexcept {
    bool served = false;
    // Large first: letting a small step in never lets a large one in, while
    // the large line emptying lets small steps use the whole budget.
    for (const std::uint8_t which : {LARGE, SMALL}) {
        Lane& lane = lanes_[which];
        while (Ledger* const next = lane.oldest_waiting) {
            if (!enters(*next, next->asked_)) break;
            remove(lane.oldest_waiting, lane.newest_waiting, *next);
            if (next->parked_) {
                next->parked_ = false;
                lane.held = saturating_add(lane.held, next->held_);
            }
            list(*next);
            count(*next, next->asked_);
            next->granted_ = true;
            --waiting_; // its wait is over, whenever its thread wakes
            served = true;
        }
    }
    return served;
}

void Budget::changed() noexcept {
    // A step let in here must be woken, though it no longer counts as
    // waiting.
    if (serve() || waiting_ != 0) settled_.notify_all();
}

void Budget::count(Ledger& ledger, std::uint64_t nbytes) noexcept {
    in_flight_ = saturating_add(in_flight_, nbytes);
    lanes_[ledger.lane_].held = saturating_add(lanes_[ledger.lane_].held, nbytes);
    ledger.held_ = saturating_add(ledger.held_, nbytes);
}

void Budget::give_back(Ledger& ledger, std::uint64_t nbytes) noexcept {
    nbytes = std::min(nbytes, ledger.held_);
    in_flight_ -= nbytes;
    lanes_[ledger.lane_].held -= nbytes;
    ledger.held_ -= nbytes;
    // Steps let in earlier may have ended, or the next in a line may fit.
    changed();
}

void Budget::append(Ledger*& oldest, Ledger*& newest, Ledger& ledger) noexcept {
    ledger.older_ = newest;
    ledger.newer_ = nullptr;
    (newest ? newest->newer_ : oldest) = &ledger;
    newest = &ledger;
}

void Budget::remove(Ledger*& oldest, Ledger*& newest, Ledger& ledger) noexcept {
    (ledger.older_ ? ledger.older_->newer_ : oldest) = ledger.newer_;
    (ledger.newer_ ? ledger.newer_->older_ : newest) = ledger.older_;
    ledger.older_ = ledger.newer_ = nullptr;
}

void Budget::list(Ledger& ledger) noexcept {
    Lane& lane = lanes_[ledger.lane_];
    ledger.listed_ = true;
    ledger.generation_ = generation_.load(std::memory_order_relaxed);
    append(lane.oldest, lane.newest, ledger);
}

void Budget::unlist(Ledger& ledger) noexcept {
    Lane& lane = lanes_[ledger.lane_];
    remove(lane.oldest, lane.newest, ledger);
    ledger.listed_ = false;
}

bool Stop::poll() {
    if (requested()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < POLL_INTERVAL) return false;
    last_ = now;
    const auto stop = [this] {
        stopped_.store(true, std::memory_order_release);
        budget_->wake_all();
    };
    try {
        if (!check_) return false;
        const Running running;
        if (!check_(context_)) return false;
    } catch (...) {
        // The calling thread is being unwound: the pass's other threads
        // must end too.
        stop();
        throw;
    }
    stop();
    return true;
}

bool Ledger::stale() const noexcept {
    return listed_ && generation_ != budget_->generation_.load(std::memory_order_relaxed);
}

bool Ledger::charge(std::uint64_t nbytes) {
    if (stale()) {
        // Listed before the fork, by the one thread the child keeps.
        listed_ = false;
        held_ = 0;
        older_ = newer_ = nullptr;
    }
    return budget_->take(*this, nbytes);
}

void Ledger::refund(std::uint64_t nbytes) noexcept {
    if (!listed_ || stale()) return;
    const std::lock_guard lock(budget_->mutex_);
    budget_->give_back(*this, nbytes);
}

void Ledger::settle() noexcept {
    if (!listed_) return;
    if (stale()) {
        listed_ = false;
        held_ = 0;
        older_ = newer_ = nullptr;
        return;
    }
    const std::lock_guard lock(budget_->mutex_);
    budget_->give_back(*this, held_);
    budget_->unlist(*this);
}

} // namespace vantrell_core::budget
