#include "core/budget.h"

#include <pthread.h>

#include <new>

namespace vantrell_core::budget {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t s;
    return __builtin_add_overflow(a, b, &s) ? UINT64_MAX : s;
}

} // namespace

Budget& Budget::process() noexcept {
    // Never destroyed: a pass still running while the process exits keeps
    // charging it.
    alignas(Budget) static unsigned char storage[sizeof(Budget)];
    static Budget* const budget = [] {
        Budget* b = ::new (storage) Budget(PROCESS_NBYTES);
        ::pthread_atfork(nullptr, nullptr, [] { process().forget_after_fork(); });
        return b;
    }();
    return *budget;
}

std::uint64_t Budget::in_flight() noexcept {
    const std::lock_guard lock(mutex_);
    return in_flight_;
}

std::size_t Budget::waiting() noexcept {
    const std::lock_guard lock(mutex_);
    return waiting_;
}

void Budget::take(Ledger& ledger, std::uint64_t nbytes) noexcept {
    std::unique_lock lock(mutex_);
    const bool may_wait = ledger.no_wait_ == 0;
    const auto fits = [&] { return saturating_add(in_flight_, nbytes) <= limit_; };
    if (!ledger.listed_) {
        if (may_wait) {
            const std::uint64_t ticket = next_ticket_++;
            while (ticket != serving_ || (in_flight_ != 0 && !fits())) {
                ++waiting_;
                settled_.wait(lock);
                --waiting_;
            }
            ++serving_;
            // The next in line may fit as well.
            if (waiting_ != 0) settled_.notify_all();
        }
        ledger.listed_ = true;
        ledger.older_ = newest_;
        ledger.newer_ = nullptr;
        (newest_ ? newest_->newer_ : oldest_) = &ledger;
        newest_ = &ledger;
    } else {
        while (may_wait && oldest_ != &ledger && !fits()) {
            ++waiting_;
            settled_.wait(lock);
            --waiting_;
        }
    }
    in_flight_ = saturating_add(in_flight_, nbytes);
    ledger.held_ = saturating_add(ledger.held_, nbytes);
}

void Budget::give_back(Ledger& ledger) noexcept {
    const std::lock_guard lock(mutex_);
    in_flight_ -= ledger.held_;
    ledger.held_ = 0;
    (ledger.older_ ? ledger.older_->newer_ : oldest_) = ledger.newer_;
    (ledger.newer_ ? ledger.newer_->older_ : newest_) = ledger.older_;
    ledger.older_ = ledger.newer_ = nullptr;
    ledger.listed_ = false;
    // Every waiter: the first in line or a step now let in earliest may go
    // ahead, and others may fit now.
    if (waiting_ != 0) settled_.notify_all();
}

void Ledger::charge(std::uint64_t nbytes) noexcept {
    if (budget_->forked_.load(std::memory_order_relaxed)) return;
    budget_->take(*this, nbytes);
}

void Ledger::settle() noexcept {
    if (!listed_) return;
    if (budget_->forked_.load(std::memory_order_relaxed)) {
        // Listed before the fork, by the one thread the child keeps: the
        // lock may be held by a thread that no longer exists.
        listed_ = false;
        held_ = 0;
        return;
    }
    budget_->give_back(*this);
}

} // namespace vantrell_core::budget
