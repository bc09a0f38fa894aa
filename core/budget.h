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
// Steps go in one of two lanes by their first charge. A small step (first
// charge within a quarter of the budget, the small room) waits only for
// other small steps: it goes in once its charge fits in the small room
// beside the small steps held, or in the whole budget beside everything held
// while no large step is waiting. A large step waits only for large steps,
// and for the small ones to be back within the small room: it goes in once
// the large lane holds nothing, so large steps go in one at a time, as one
// thread would read them, however large (a part larger than the whole
// budget is still read). A first charge that goes in is counted at once;
// only later charges wait for the steps let in before (below). So one huge
// deck never holds up an ordinary one: its steps queue among themselves
// while small steps keep a room of their own. Together they hold at most
// the budget, or about the largest part plus the small room, besides what
// steps waiting in the large line (below) held before they queued.
//
// Each lane has a line of the steps waiting to go in, let in in the order
// they asked; a step is let in by whoever makes the change that lets it fit,
// so no change that would let it in goes by unseen. A later charge of a step
// already let in does not fit only when the step overran its first
// estimate; it waits until it fits or no step of its lane let in earlier is
// left, and the earliest of each lane never waits (it may overdraw). Every
// change of the lanes that may end such a wait (bytes given back, a step
// leaving a lane or a line) wakes it to look again.
//
// A small step whose charges outgrow the small room (a huge layout, say)
// goes on as a large one. While no large step waits, it is let in at once
// after every large step let in so far, so that the small steps it would
// crowd out need not wait for it. While one waits, it joins the end of the
// large line instead, as a large step that asks afresh. The bytes it holds
// leave the small lane and count in neither lane until it is let in: a
// large step ahead of it waits for the large lane to empty and the small
// one to be back within its room, and must not wait for bytes whose holder
// waits for it. It goes in once it is first in line and the large lane
// holds nothing, or has room beside it for all it will then hold. If its
// pass is stopped meanwhile, it goes back, refused, to the end of the small
// lane with what it held.
//
// Waits thus point from steps in a line to steps ahead of them in that
// line, from small steps in line to the large line, from steps in a line to
// steps let in, and from a step let in to one let in earlier in its lane;
// never from a step let in to one in a line, nor from the large line to the
// small one: they cannot form a cycle. A step in a line holds no part of a
// lane that any step let in waits for.
//
// So a waiting large step is let in in bounded time whatever asks after
// it: no step enters the large lane ahead of it but the fewer than T steps
// in line ahead of it (T the threads that charge; charges under NoWait or
// nested(), which never wait, aside). Once every large step let in before
// it, those included, has ended, only the small lane can keep it out, and
// only by later charges of small steps let in already: no new small step
// goes in while the small lane is beyond its room, and the first change
// that brings the lane back within it lets the large step in. Ordinary decks never come
// near the budget and never wait.
//
// A step must not wait while it holds something an older step may wait
// for, such as a once-only parse of a part that all slides share: it
// charges that part before it enters the parse (and gets the charge back if
// another step parsed it meanwhile), and charges made inside never wait
// (`NoWait`).
//
// A pass may carry a `Stop`: its calling thread polls it, and once it says
// stop, charges of the pass's steps stop waiting and are refused instead.
// The check may end the calling thread by unwinding it (the interpreter
// does so to a thread that asks for its lock while it exits): the unwind
// passes through poll() and the waits, which leave the budget as if the
// charge had been refused, and the stop is then set for the pass's other
// threads. Only the process's first thread polls (signals are handled
// there), and the interpreter is shut down from that thread as a rule, so
// this is reached only when an embedder shuts it down from another thread
// while the first one is in a pass; the tests whose check unwinds the
// thread cover it.
//
// The check runs code the library does not control (the interpreter's
// signal handlers), which may call the library again on the polling thread
// while the pass that polled is suspended there, holding what it charged (a
// check keeps parts for all its stages; a step polls while it waits for a
// later charge, or in a line with what it held as a small step). A charge of
// that nested call that waited could wait for those very charges, which only
// the suspended pass can give back: the thread would wait for itself. So
// while a thread runs a stop's check (`nested()`), its charges never wait,
// as under NoWait, and a pass begun there runs its steps on that thread
// alone (core/document.h), so that every charge of the nested call is made
// there. The nested call thus waits for nothing in the budget: it ends, and
// the pass it interrupted goes on. Steps of other threads may wait for its
// charges as for any step's, and it waits for none of theirs, so no cycle of
// waits passes through it. It may hold, beyond the budget, what one of its
// steps holds, and as much again for each call nested in its own polls.
// (Running the handlers only where the pass holds nothing would leave a
// check, which holds parts from its first stage to its last, deaf to Ctrl-C
// until it ends.)
//
// A child of fork() may have been made while another thread held the
// budget's lock or a charge that will never be settled; the process budget
// starts afresh there (a new lock, nothing held), and ledgers listed before
// the fork are forgotten rather than settled.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

namespace vantrell_core::budget {

// The process budget. Real decks hold a few megabytes at once, over all
// their workers, and never reach it; a deck of parts of tens of megabytes
// and more is read about one part at a time, as one thread would.
inline constexpr std::uint64_t PROCESS_NBYTES = std::uint64_t{64} << 20;

class Ledger;
class Stop;

class Budget {
public:
    explicit Budget(std::uint64_t limit_nbytes) noexcept : limit_(limit_nbytes), small_room_(limit_nbytes / 4) {}
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    // The one budget of the process, PROCESS_NBYTES; never torn down.
    static Budget& process() noexcept;

    // The bytes charged and not yet settled, and the charges waiting now.
    std::uint64_t in_flight() noexcept;
    std::size_t waiting() noexcept;

    // Wakes every wait, for charges whose pass was stopped.
    void wake_all() noexcept;

private:
    friend class Ledger;
    friend struct ProcessBudget;
    struct Lane {
        std::uint64_t held = 0;
        // Steps waiting to go in, in the order they asked.
        Ledger* oldest_waiting = nullptr;
        Ledger* newest_waiting = nullptr;
        // Ledgers let in and not settled since, in the order they were let in.
        Ledger* oldest = nullptr;
        Ledger* newest = nullptr;
    };
    bool take(Ledger& ledger, std::uint64_t nbytes);
    bool enters(const Ledger& ledger, std::uint64_t nbytes) const noexcept;
    bool fits_later(const Ledger& ledger, std::uint64_t nbytes) const noexcept;
    bool wait_in_line(Ledger& ledger, std::uint64_t nbytes, std::unique_lock<std::mutex>& lock);
    // Returns with the lock held, also when the stop's check unwinds.
    void wait(const Ledger& ledger, std::unique_lock<std::mutex>& lock);
    // Lets in the heads of the lines that fit now; whether it let any in.
    bool serve() noexcept;
    // After a change of the lanes that may let a wait end: serves the lines
    // and wakes every wait to look again.
    void changed() noexcept;
    void count(Ledger& ledger, std::uint64_t nbytes) noexcept;
    // Lists of ledgers linked through their older_ and newer_.
    static void append(Ledger*& oldest, Ledger*& newest, Ledger& ledger) noexcept;
    static void remove(Ledger*& oldest, Ledger*& newest, Ledger& ledger) noexcept;
    void list(Ledger& ledger) noexcept;
    void unlist(Ledger& ledger) noexcept;
    void give_back(Ledger& ledger, std::uint64_t nbytes) noexcept;
    void start_afresh() noexcept;

    std::mutex mutex_;
    std::condition_variable settled_;
    const std::uint64_t limit_;
    const std::uint64_t small_room_;
    std::uint64_t in_flight_ = 0;
    std::size_t waiting_ = 0;
    Lane lanes_[2]; // small, large
    // Counts the fork() children this budget started afresh in.
    std::atomic<std::uint32_t> generation_{0};
};

// A pass's signal to stop early (an interrupt). Only the thread that runs
// the pass calls poll(); any thread may read requested().
class Stop {
public:
    // Says whether to stop; called with no lock of this library held. It
    // may unwind the thread (see above), so it is not noexcept.
    using Check = bool (*)(void* context);

    Stop(Check check, void* context, Budget& budget = Budget::process()) noexcept
        : check_(check), context_(context), budget_(&budget) {}
    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    // Asks the check, at most once per POLL_INTERVAL; once it says stop,
    // or unwinds, wakes the budget's waits and stays stopped.
    bool poll();
    bool requested() const noexcept { return stopped_.load(std::memory_order_acquire); }

    static constexpr std::chrono::milliseconds POLL_INTERVAL{50};

private:
    Check check_;
    void* context_;
    Budget* budget_;
    std::atomic<bool> stopped_{false};
    std::chrono::steady_clock::time_point last_{};
};

// Whether this thread is running a stop's check now: what it begins there
// is nested in a pass that may hold charges, and must not wait for them.
bool nested() noexcept;

// Thrown by a pass that its stop ended early.
struct Stopped : std::exception {
    const char* what() const noexcept override { return "stopped"; }
};

// What one step has charged; one thread uses it. Settles when destroyed.
class Ledger {
public:
    explicit Ledger(Budget& budget = Budget::process()) noexcept : budget_(&budget) {}
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;
    ~Ledger() { settle(); }

    // Charges of this ledger end their waits, refused, once `stop` is
    // requested; the thread that polls it says so, and polls while it waits.
    void watch(Stop* stop, bool polls) noexcept {
        stop_ = stop;
        polls_ = polls;
    }

    // Counts `nbytes` as held until settle(), having waited as above first
    // unless a NoWait is alive or the thread is nested(). False, with nothing counted, when the pass
    // was stopped. Throws only what the stop's check unwinds with.
    bool charge(std::uint64_t nbytes);
    // Gives back `nbytes` of what was charged (no more than is held),
    // keeping the step let in.
    void refund(std::uint64_t nbytes) noexcept;
    // Gives back all that was charged; the next charge starts a new step.
    void settle() noexcept;

    std::uint64_t held() const noexcept { return held_; }

private:
    friend class Budget;
    friend class NoWait;

    // Listed in a budget that has since started afresh in a fork() child.
    bool stale() const noexcept;
    bool stop_requested() const noexcept { return stop_ && stop_->requested(); }

    Budget* budget_;
    Stop* stop_ = nullptr;
    Ledger* older_ = nullptr;
    Ledger* newer_ = nullptr;
    std::uint64_t held_ = 0;
    // While in a lane's line: the charge it waits to make.
    std::uint64_t asked_ = 0;
    std::uint32_t generation_ = 0;
    std::uint8_t lane_ = 0;
    bool listed_ = false;
    // In the large line with what it held as a small step.
    bool parked_ = false;
    // Let in from the line by another thread, its charge made.
    bool granted_ = false;
    bool polls_ = false;
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

// A charge given back when it ends, for bytes a step lets go of before the
// step ends; it moves along with them.
class Held {
public:
    Held() noexcept = default;
    Held(Held&& o) noexcept : ledger_(o.ledger_), nbytes_(o.nbytes_) { o.nbytes_ = 0; }
    Held& operator=(Held&& o) noexcept {
        if (this != &o) {
            give_back();
            ledger_ = o.ledger_;
            nbytes_ = o.nbytes_;
            o.nbytes_ = 0;
        }
        return *this;
    }
    ~Held() { give_back(); }

    // Charges `nbytes` to `ledger` (none: nothing), giving back what this
    // held before. False, holding nothing, when the pass was stopped.
    bool take(Ledger* ledger, std::uint64_t nbytes) {
        give_back();
        ledger_ = ledger;
        if (!ledger_ || nbytes == 0) return true;
        if (!ledger_->charge(nbytes)) return false;
        nbytes_ = nbytes;
        return true;
    }
    void give_back() noexcept {
        if (nbytes_ != 0) ledger_->refund(nbytes_);
        nbytes_ = 0;
    }

private:
    Ledger* ledger_ = nullptr;
    std::uint64_t nbytes_ = 0;
};

// Gives back, when it ends, what the ledger (none: nothing) was charged
// while it lived, keeping the step let in: a step that reads parts one
// after another, each let go of before the next, holds one at a time, not
// their sum. Charges given back meanwhile must have been made meanwhile.
class Refunding {
public:
    explicit Refunding(Ledger* ledger) noexcept : ledger_(ledger), held_(ledger ? ledger->held() : 0) {}
    Refunding(const Refunding&) = delete;
    Refunding& operator=(const Refunding&) = delete;
    ~Refunding() {
        if (ledger_ && ledger_->held() > held_) ledger_->refund(ledger_->held() - held_);
    }

private:
    Ledger* ledger_;
    std::uint64_t held_;
};

} // namespace vantrell_core::budget
