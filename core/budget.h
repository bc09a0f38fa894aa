// The part bytes that reading passes hold at once, across the process.
//
// One step of a pass (a slide read and rendered) holds memory in proportion
// to the parts it reads, each up to MAX_XML_PART_NBYTES: the inflated bytes,
// then their parse and rendering. Left alone, N workers on N huge slides
// hold N times what one worker does, and a pass that fits in memory on one
// thread runs out of it on many. So every step charges the parts it reads,
// before reading them, to one budget shared by all passes of the process
// (several Python threads may run passes at once), and settles when the step
// ends.
//
// A step's first charge waits its turn: steps are let in one at a time in
// the order they asked, each once its charge fits beside what is held, or
// once nothing is held at all, so a part larger than the whole budget is
// still read, alone. A later charge of a step already let in does not fit
// only when the step overran its first estimate; it waits while a step let
// in earlier still holds a charge, and the earliest never waits (it may
// overdraw). Waits thus point from steps that hold nothing to steps that
// hold something, or from a step let in later to one let in earlier, and
// cannot form a cycle. Ordinary decks never come near the budget and never
// wait.
//
// A step must not wait while it holds a lock that an older step may need,
// such as a once-only parse of a part that all slides share: charges made
// there are counted but never wait (`NoWait`).
//
// A child of fork() may have been made while another thread held the
// budget's lock or a charge that will never be settled; its passes count
// nothing and never wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vantrell_core::budget {

// The process budget. Real decks hold a few megabytes at once, over all
// their workers, and never reach it; a deck of parts of tens of megabytes
// and more is read about one part at a time, as one thread would.
inline constexpr std::uint64_t PROCESS_NBYTES = std::uint64_t{64} << 20;

class Ledger;

class Budget {
public:
    explicit Budget(std::uint64_t limit_nbytes) noexcept : limit_(limit_nbytes) {}
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    // The one budget of the process, PROCESS_NBYTES; never torn down.
    static Budget& process() noexcept;

    // The bytes charged and not yet settled, and the charges waiting now.
    std::uint64_t in_flight() noexcept;
    std::size_t waiting() noexcept;

private:
    friend class Ledger;
    void take(Ledger& ledger, std::uint64_t nbytes) noexcept;
    void give_back(Ledger& ledger) noexcept;
    void forget_after_fork() noexcept { forked_.store(true, std::memory_order_relaxed); }

    std::mutex mutex_;
    std::condition_variable settled_;
    const std::uint64_t limit_;
    std::uint64_t in_flight_ = 0;
    std::size_t waiting_ = 0;
    // First charges wait in the order of their tickets.
    std::uint64_t next_ticket_ = 0;
    std::uint64_t serving_ = 0;
    // Ledgers let in and not settled since, in the order they were let in.
    Ledger* oldest_ = nullptr;
    Ledger* newest_ = nullptr;
    std::atomic<bool> forked_{false};
};

// What one step has charged; one thread uses it. Settles when destroyed.
class Ledger {
public:
    explicit Ledger(Budget& budget = Budget::process()) noexcept : budget_(&budget) {}
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;
    ~Ledger() { settle(); }

    // Counts `nbytes` as held until settle(), having waited as above first
    // unless a NoWait is alive.
    void charge(std::uint64_t nbytes) noexcept;
    // Gives back all that was charged; the next charge starts a new step.
    void settle() noexcept;

    std::uint64_t held() const noexcept { return held_; }

private:
    friend class Budget;
    friend class NoWait;

    Budget* budget_;
    Ledger* older_ = nullptr;
    Ledger* newer_ = nullptr;
    std::uint64_t held_ = 0;
    bool listed_ = false;
    unsigned no_wait_ = 0;
};

// While one lives, charges to the ledger (none: nothing) never wait.
class NoWait {
public:
    explicit NoWait(Ledger* ledger) noexcept : ledger_(ledger) {
        if (ledger_) ++ledger_->no_wait_;
    }
    NoWait(const NoWait&) = delete;
    NoWait& operator=(const NoWait&) = delete;
    ~NoWait() {
        if (ledger_) --ledger_->no_wait_;
    }

private:
    Ledger* ledger_;
};

} // namespace vantrell_core::budget
