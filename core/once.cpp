#include "core/once.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantrell_core::once {

namespace {

std::atomic<std::uint32_t> generation{0};

// Registered when the library is loaded, before any thread can use a cell.
const bool counting_forks =
    ::pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1, std::memory_order_relaxed); }) == 0;

long futex(const std::atomic<std::uint32_t>& word, int op, std::uint32_t value) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return ::syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), op, value, nullptr, nullptr, 0);
}

} // namespace

std::uint32_t fork_generation() noexcept {
    (void)counting_forks;
    return generation.load(std::memory_order_relaxed);
}

namespace detail {

void wait(const std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept {
    futex(word, FUTEX_WAIT_PRIVATE, seen);
}

void wake_all(std::atomic<std::uint32_t>& word) noexcept { futex(word, FUTEX_WAKE_PRIVATE, INT32_MAX); }

} // namespace detail

} // namespace vantrell_core::once
