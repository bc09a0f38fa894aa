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

bool Budget::fits(const Ledger& ledger, std::uint64_t nbytes) const noexcept {
    const Lane& small = lanes_[SMALL];
    const Lane& large = lanes_[LARGE];
    if (ledger.lane_ == SMALL) {
        if (saturating_add(small.held, nbytes) <= small_room_) return true;
        // A large step waiting for the small ones to shrink must not be
        // kept waiting by new ones; later charges of a small step let in
        // never wait for a large one.
        if (!ledger.listed_ && large.oldest_waiting) return false;
        return saturating_add(in_flight_, nbytes) <= limit_;
    }
    if (!ledger.listed_) return small.held <= small_room_ && large.held == 0;
    return saturating_add(large.held, nbytes) <= limit_ - small_room_;
}

bool Budget::take(Ledger& ledger, std::uint64_t nbytes) {
    std::unique_lock lock(mutex_);
    const bool may_wait = ledger.no_wait_ == 0;
    Stop* const stop = ledger.stop_;
    const auto wait = [&] {
        ++waiting_;
        if (stop && ledger.polls_) {
            settled_.wait_for(lock, Stop::POLL_INTERVAL);
            // The check may take other locks (the interpreter's): not under ours.
            lock.unlock();
            try {
                stop->poll();
            } catch (...) {
                // The thread is unwound: the wait ends as a refused one does.
                lock.lock();
                --waiting_;
                throw;
            }
            lock.lock();
        } else {
            settled_.wait(lock);
        }
        --waiting_;
    };
    const auto stopped = [&] { return stop && stop->requested(); };

    if (!ledger.listed_) {
        ledger.lane_ = nbytes <= small_room_ ? SMALL : LARGE;
        Lane& lane = lanes_[ledger.lane_];
        if (may_wait && (lane.oldest_waiting || !fits(ledger, nbytes))) {
            // In line behind those that asked first.
            ledger.older_ = lane.newest_waiting;
            ledger.newer_ = nullptr;
            (lane.newest_waiting ? lane.newest_waiting->newer_ : lane.oldest_waiting) = &ledger;
            lane.newest_waiting = &ledger;
            const auto leave_line = [&] {
                (ledger.older_ ? ledger.older_->newer_ : lane.oldest_waiting) = ledger.newer_;
                (ledger.newer_ ? ledger.newer_->older_ : lane.newest_waiting) = ledger.older_;
                // The next in line may fit as well, and small steps may go on
                // once no large one waits.
                if (waiting_ != 0) settled_.notify_all();
            };
            bool refused = false;
            try {
                while (lane.oldest_waiting != &ledger || !fits(ledger, nbytes)) {
                    if (stopped()) {
                        refused = true;
                        break;
                    }
                    wait();
                }
            } catch (...) {
                leave_line();
                ledger.older_ = ledger.newer_ = nullptr;
                throw;
            }
            leave_line();
            if (refused) {
                ledger.older_ = ledger.newer_ = nullptr;
                return false;
            }
        }
        list(ledger);
    } else {
        if (may_wait && ledger.lane_ == SMALL && saturating_add(ledger.held_, nbytes) > small_room_) {
            // Outgrown the small room (a huge layout, say): the step goes on
            // as a large one, let in after those let in already, so that
            // the small steps it would crowd out need not wait for it.
            unlist(ledger);
            lanes_[SMALL].held -= ledger.held_;
            ledger.lane_ = LARGE;
            lanes_[LARGE].held = saturating_add(lanes_[LARGE].held, ledger.held_);
            list(ledger);
            // A large step waiting for the small room may go now.
            if (waiting_ != 0) settled_.notify_all();
        }
        const Lane& lane = lanes_[ledger.lane_];
        while (may_wait && lane.oldest != &ledger && !fits(ledger, nbytes)) {
            if (stopped()) return false;
            wait();
        }
    }
    in_flight_ = saturating_add(in_flight_, nbytes);
    lanes_[ledger.lane_].held = saturating_add(lanes_[ledger.lane_].held, nbytes);
    ledger.held_ = saturating_add(ledger.held_, nbytes);
    return true;
}

void Budget::give_back(Ledger& ledger, std::uint64_t nbytes) noexcept {
    nbytes = std::min(nbytes, ledger.held_);
    in_flight_ -= nbytes;
    lanes_[ledger.lane_].held -= nbytes;
    ledger.held_ -= nbytes;
    // Every waiter: the first in line or a step now let in earliest may go
    // ahead, and others may fit now.
    if (waiting_ != 0) settled_.notify_all();
}

void Budget::list(Ledger& ledger) noexcept {
    Lane& lane = lanes_[ledger.lane_];
    ledger.listed_ = true;
    ledger.generation_ = generation_.load(std::memory_order_relaxed);
    ledger.older_ = lane.newest;
    ledger.newer_ = nullptr;
    (lane.newest ? lane.newest->newer_ : lane.oldest) = &ledger;
    lane.newest = &ledger;
}

void Budget::unlist(Ledger& ledger) noexcept {
    Lane& lane = lanes_[ledger.lane_];
    (ledger.older_ ? ledger.older_->newer_ : lane.oldest) = ledger.newer_;
    (ledger.newer_ ? ledger.newer_->older_ : lane.newest) = ledger.older_;
    ledger.older_ = ledger.newer_ = nullptr;
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
        if (!check_ || !check_(context_)) return false;
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
