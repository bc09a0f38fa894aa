// Values made once, on first use, that a fork() child can still use.
//
// A child of fork() keeps only the thread that called it. A once-only
// initialisation (std::call_once, or a function-local static with a dynamic
// initialiser) that another thread had begun stays "in progress" in the
// child for ever, and the child's first use of it waits for ever. A
// `OnceCell` records the fork() generation its run began in: a run begun
// before a fork the child descends from is abandoned there, and the child's
// first caller begins it afresh. Waiting is a futex on the state word, which
// holds no lock a fork could leave taken.
//
// `OnceTable` holds a cell per index of a table whose size its first user
// gives, made without a lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace vantrell_core::once {

// The fork() children this process descends from: 0 in a process not made
// by fork() since the library was loaded.
std::uint32_t fork_generation() noexcept;

namespace detail {
// Waits while `word` holds `seen` (or until woken; callers check again).
void wait(const std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept;
void wake_all(std::atomic<std::uint32_t>& word) noexcept;
} // namespace detail

template <class T>
class OnceCell {
public:
    OnceCell() = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    bool done() const noexcept { return state_.load(std::memory_order_acquire) == DONE; }

    // Runs `make` (returning std::optional<T>) unless a call ran it to the
    // end already; concurrent calls wait for the one running. True when
    // this call ran it. If `make` throws, the next call runs it again.
    template <class Make>
    bool call(Make&& make) {
        for (;;) {
            std::uint32_t seen = state_.load(std::memory_order_acquire);
            if (seen == DONE) return false;
            const std::uint32_t mine = running_state();
            if (seen == mine) {
                detail::wait(state_, seen);
                continue;
            }
            // Not begun, or begun by a thread that a fork() left behind.
            if (!state_.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) continue;
            // A run cut short by a fork may have left anything in the value;
            // start over from an empty one (what it had allocated stays).
            if (seen != IDLE) std::construct_at(&value_);
            try {
                value_ = std::forward<Make>(make)();
            } catch (...) {
                state_.store(IDLE, std::memory_order_release);
                detail::wake_all(state_);
                throw;
            }
            state_.store(DONE, std::memory_order_release);
            detail::wake_all(state_);
            return true;
        }
    }

    // What the finished run made; null before, or when it made nothing.
    const T* get() const noexcept { return done() && value_ ? &*value_ : nullptr; }

private:
    static constexpr std::uint32_t IDLE = 0;
    static constexpr std::uint32_t DONE = 1;
    // Running, begun in the current fork() generation.
    static std::uint32_t running_state() noexcept { return 2 + fork_generation() % (UINT32_MAX - 2); }

    std::atomic<std::uint32_t> state_{IDLE};
    std::optional<T> value_;
};

template <class T>
class OnceTable {
public:
    OnceTable() = default;
    OnceTable(const OnceTable&) = delete;
    OnceTable& operator=(const OnceTable&) = delete;
    ~OnceTable() {
        // Adopted back to be freed: the slots and the cells they hold.
        std::unique_ptr<Slots> slots(slots_.load(std::memory_order_acquire));
        if (!slots) return;
        for (std::size_t i = 0; i < slots->count; ++i)
            std::unique_ptr<OnceCell<T>>(slots->cells[i].load(std::memory_order_acquire)).reset();
    }

    // The cell at `index` of a table of `count`; every caller gives the same
    // count, and index < count.
    OnceCell<T>& at(std::size_t index, std::size_t count) {
        Slots* slots = slots_.load(std::memory_order_acquire);
        if (!slots) {
            auto fresh = std::make_unique<Slots>(count);
            if (slots_.compare_exchange_strong(slots, fresh.get(), std::memory_order_acq_rel))
                slots = fresh.release();
        }
        std::atomic<OnceCell<T>*>& slot = slots->cells[index];
        OnceCell<T>* cell = slot.load(std::memory_order_acquire);
        if (!cell) {
            auto fresh = std::make_unique<OnceCell<T>>();
            if (slot.compare_exchange_strong(cell, fresh.get(), std::memory_order_acq_rel)) cell = fresh.release();
        }
        return *cell;
    }

private:
    struct Slots {
        explicit Slots(std::size_t n) : count(n), cells(std::make_unique<std::atomic<OnceCell<T>*>[]>(n)) {}
        std::size_t count;
        std::unique_ptr<std::atomic<OnceCell<T>*>[]> cells;
    };
    std::atomic<Slots*> slots_{nullptr};
};

} // namespace vantrell_core::once
