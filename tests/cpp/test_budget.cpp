#include "core/budget.h"
#include "core/once.h"
#include "core/package.h"

#include "testkit.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace budget = vantrell_core::budget;
namespace once = vantrell_core::once;
namespace pkg = vantrell_core::package;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Yields until `n` charges wait on `b`, or until `gone` shows that a charge
// which should have waited went ahead instead.
void until_waiting(budget::Budget& b, std::size_t n, const std::atomic<int>& gone, int gone_before) {
    while (b.waiting() < n && gone.load() == gone_before) std::this_thread::yield();
}

// Ends the run with a message once `seconds` have passed (0: never), so
// that a wait that never ends fails instead of hanging.
void watchdog(unsigned seconds) {
    std::signal(SIGALRM, [](int) {
        static const char message[] = "a charge still waited when the watchdog ended the run\n";
        std::_Exit(::write(2, message, sizeof message - 1) < 0 ? 2 : 1);
    });
    ::alarm(seconds);
}

// Waits for a fork() child, which must have exited with 0.
void expect_clean_exit(pid_t child) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace

TEST(Budget, ChargesThatNeedNotWaitGoStraightThrough) {
    budget::Budget b(100); // small room 25
    {
        budget::Ledger a(b), c(b), d(b);
        a.charge(60);
        c.charge(20); // a small step beside a large one
        a.charge(100); // a was let in first: it overdraws rather than wait
        EXPECT_EQ(b.in_flight(), 180u);
        {
            const budget::NoWait no_wait(&d);
            d.charge(50); // would wait for a otherwise
        }
        EXPECT_EQ(b.in_flight(), 230u);
        c.settle();
        c.settle();
        EXPECT_EQ(b.in_flight(), 210u);
        EXPECT_EQ(c.held(), 0u);
        EXPECT_EQ(a.held(), 160u);
        a.refund(100);
        a.refund(1000); // no more than it holds
        EXPECT_EQ(a.held(), 0u);
        EXPECT_EQ(b.in_flight(), 50u);
    } // settled as they go
    EXPECT_EQ(b.in_flight(), 0u);

    // A charge larger than the whole budget, with nothing else held.
    budget::Ledger big(b);
    big.charge(UINT64_MAX);
    big.charge(1); // saturates
    EXPECT_EQ(b.in_flight(), UINT64_MAX);
    big.settle();
    EXPECT_EQ(b.in_flight(), 0u);
    const budget::NoWait none(nullptr);
}

// First charges asked one after another, each on a thread of its own, while
// this thread holds `held` (one ledger each, none of them waiting): which go
// straight in, and, where all of them wait in one lane, whether they go in
// in the order they asked once the first of `held` is settled. Each settles
// as soon as it is in.
TEST(Budget, FirstChargesWaitOnlyForTheirOwnLane) {
    struct Row {
        const char* what;
        std::vector<std::uint64_t> held;
        std::vector<std::uint64_t> asks;
        std::vector<bool> straight;
        bool ordered;
        bool emptied = false; // the steps of `held` give back all they hold, staying let in
    };
    const Row rows[] = {
        {"a small step goes ahead of a large one that waits", {80}, {50, 10}, {false, true}, false},
        {"small steps go ahead of one that must run alone", {60}, {500, 5, 5}, {false, true, true}, false},
        {"a large step goes in beside small ones", {20}, {500}, {true}, false},
        {"large steps go in one at a time", {30}, {26}, {false}, false},
        {"small steps use the whole budget while no large one waits", {60, 20}, {10}, {true}, false},
        {"small steps keep to their room while a large one waits", {60, 20}, {500, 5, 10}, {false, true, false}, false},
        {"a large step waits for the small ones to be back in their room", {20, 10}, {40}, {false}, false},
        {"small steps go in the order they asked", {20, 75}, {15, 15, 15}, {false, false, false}, true},
        {"large steps go in the order they asked", {80}, {50, 70, 30}, {false, false, false}, true},
        {"nothing held: anything goes", {}, {UINT64_MAX}, {true}, false},
        {"a large step asking past the large room goes in beside a large step holding nothing", {40}, {80},
         {true}, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        budget::Budget b(100); // small room 25
        std::vector<std::unique_ptr<budget::Ledger>> held;
        for (const std::uint64_t n : row.held) {
            held.push_back(std::make_unique<budget::Ledger>(b));
            held.back()->charge(n);
            if (row.emptied) held.back()->refund(n);
        }
        std::atomic<int> gone{0};
        std::atomic<bool> release{false};
        std::vector<int> admitted(row.asks.size(), -1);
        std::vector<std::thread> threads;
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < row.asks.size(); ++i) {
            const int before = gone.load();
            threads.emplace_back([&, i] {
                budget::Ledger l(b);
                l.charge(row.asks[i]);
                admitted[i] = gone.fetch_add(1);
                while (!release.load()) std::this_thread::yield();
            });
            until_waiting(b, waiting + 1, gone, before);
            const bool went = gone.load() != before;
            EXPECT_EQ(went, row.straight[i]) << "ask " << i;
            if (!went) ++waiting;
        }
        release.store(true);
        if (!held.empty()) held.front()->settle();
        for (auto& t : threads) t.join();
        for (auto& l : held) l->settle();
        if (row.ordered) { EXPECT_TRUE(std::is_sorted(admitted.begin(), admitted.end())); }
        EXPECT_EQ(b.in_flight(), 0u);
        EXPECT_EQ(b.waiting(), 0u);
    }
}

TEST(Budget, AnOverrunWaitsOnlyForStepsOfItsLaneLetInEarlier) {
    budget::Budget b(100); // small room 25
    budget::Ledger big(b), a(b), c(b);
    big.charge(75);
    a.charge(10);
    c.charge(10);
    std::atomic<int> gone{0};
    std::thread younger([&] {
        c.charge(10); // fits neither the small room nor the budget, and a was let in first
        gone.fetch_add(1);
    });
    until_waiting(b, 1, gone, 0);
    EXPECT_EQ(gone.load(), 0);
    // The earliest small step never waits for another: waiting here would
    // never end.
    a.charge(15);
    EXPECT_EQ(gone.load(), 0);
    EXPECT_EQ(b.in_flight(), 110u);
    a.settle();
    younger.join();
    EXPECT_EQ(c.held(), 20u);
    c.settle();

    // A small step grows within its room whatever large steps hold.
    budget::Ledger small(b);
    small.charge(10);
    small.charge(10);
    EXPECT_EQ(b.in_flight(), 95u);
    big.settle();
    small.settle();
    EXPECT_EQ(b.in_flight(), 0u);

    // A small step outgrowing the small room goes on as a large one: it
    // waits for the large step let in before it, and new small steps do
    // not wait for it.
    budget::Ledger grows(b), first_large(b), newcomer(b);
    grows.charge(10);
    first_large.charge(70);
    std::thread grower([&] {
        grows.charge(30);
        gone.fetch_add(1);
    });
    until_waiting(b, 1, gone, 1);
    EXPECT_EQ(gone.load(), 1);
    newcomer.charge(20);
    EXPECT_EQ(b.in_flight(), 100u);
    first_large.settle();
    grower.join();
    EXPECT_EQ(grows.held(), 40u);
    grows.settle();
    newcomer.settle();
    EXPECT_EQ(b.in_flight(), 0u);
}

// A small step outgrows its room (`grows` on top of `first`) while a large
// step (`large`) waits for what this thread holds (`held`): the
// bytes counted once both asked, once `held` is settled, then once the
// large step is. Whoever frees room lets the next in line in before it
// returns, so the figures are exact once no step is left to wake.
TEST(Budget, AStepOutgrowingTheSmallRoomQueuesBehindAWaitingLargeOne) {
    struct Row {
        const char* what;
        std::uint64_t held, first, large, grows, in_flight[3];
    };
    const Row rows[] = {
        {"it goes in after the large step, not before", 60, 10, 50, 30, {70, 60, 40}},
        {"its bytes leave the small lane and let the large step in", 10, 20, 50, 10, {80, 70, 30}},
        {"it goes in beside the large step where the large room allows", 60, 5, 30, 30, {65, 65, 35}},
    };
    watchdog(60);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        budget::Budget b(100); // small room 25, large room 75
        budget::Ledger held(b), grower(b), large(b);
        held.charge(row.held);
        grower.charge(row.first);
        std::atomic<std::size_t> asked{0}, in{0};
        std::atomic<bool> large_in{false};
        const auto quiet = [&] {
            while (b.waiting() + in.load() != asked.load()) std::this_thread::yield();
        };
        std::vector<std::thread> threads;
        const auto ask = [&](budget::Ledger& l, std::uint64_t n) {
            asked.fetch_add(1);
            threads.emplace_back([&, n] {
                l.charge(n);
                if (&l == &large) large_in.store(true);
                in.fetch_add(1);
            });
            quiet();
        };
        ask(large, row.large);
        ask(grower, row.grows);
        EXPECT_EQ(b.in_flight(), row.in_flight[0]);
        held.settle();
        quiet();
        EXPECT_EQ(b.in_flight(), row.in_flight[1]);
        if (large_in.load()) large.settle();
        quiet();
        EXPECT_EQ(b.in_flight(), row.in_flight[2]);
        for (auto& t : threads) t.join();
    }
    watchdog(0);
}

// A later charge of a small step waits for room and for an older small
// step, which then outgrows the small room (going on beside the large step
// this thread holds, or queuing behind one that waits): the younger step is
// the earliest of its lane then, and goes on at once.
TEST(Budget, AStepLeavingTheSmallLaneLetsTheWaitsItHeldUpGoOn) {
    watchdog(60);
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued behind a waiting large step" : "gone on as a large step");
        budget::Budget b(100); // small room 25
        budget::Ledger large(b), waiting_large(b), grows(b), younger(b);
        large.charge(70);
        grows.charge(20);
        younger.charge(5);
        std::atomic<int> gone{0};
        std::vector<std::pair<std::thread, budget::Ledger*>> asked;
        const auto ask = [&](budget::Ledger& l, std::uint64_t n) {
            const std::size_t waits = b.waiting() + 1;
            const int before = gone.load();
            std::thread t([&, n] {
                l.charge(n);
                gone.fetch_add(1);
            });
            asked.emplace_back(std::move(t), &l);
            until_waiting(b, waits, gone, before);
        };
        if (queued) ask(waiting_large, 30);
        ask(younger, 10); // fits neither the small room nor the budget
        ask(grows, 30);
        asked[queued ? 1 : 0].first.join(); // the younger step's
        EXPECT_EQ(b.in_flight(), 105u);
        large.settle();
        for (auto& [t, l] : asked) {
            if (t.joinable()) t.join();
            l->settle();
        }
        EXPECT_EQ(b.in_flight(), 0u);
        EXPECT_EQ(b.waiting(), 0u);
    }
    watchdog(0);
}

// One large step asks while 8 threads keep running steps of the given kinds
// (first charge, later charge; taken in turn), each holding its charges a
// moment: it must be let in.
TEST(Budget, AWaitingLargeStepIsLetInWhateverKeepsArriving) {
    struct Row {
        const char* what;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> kinds;
    };
    const Row rows[] = {
        {"steps that outgrow the small room", {{100, 200}}},
        {"steps within the small room, beyond it together", {{100, 50}}},
        {"other large steps", {{300, 0}}},
        {"all of these at once", {{100, 200}, {100, 50}, {300, 0}, {10, 10}}},
    };
    watchdog(60);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        budget::Budget b(1000); // small room 250
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> steps{0};
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < 8; ++t)
            threads.emplace_back([&, kind = row.kinds[t % row.kinds.size()]] {
                for (budget::Ledger l(b); !stop.load(); l.settle(), steps.fetch_add(1)) {
                    l.charge(kind.first);
                    l.charge(kind.second);
                    std::this_thread::sleep_for(std::chrono::microseconds(100)); // holds overlap
                }
            });
        while (steps.load() < 200) std::this_thread::yield();
        budget::Ledger(b).charge(600);
        stop.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(b.in_flight(), 0u);
    }
    watchdog(0);
}

// A charge waiting in a stopped pass ends refused, counting nothing: woken
// by whoever polled the stop, or polling it itself. A check that unwinds the
// polling thread (the interpreter ending it) ends the wait the same way, as
// it unwinds, and stops the pass. A check that charges on the polling thread
// (a signal handler reading a deck) goes straight in, though the lanes are
// held and lined up by steps waiting for that thread.
TEST(Budget, AStopEndsWaits) {
    struct Row {
        const char* what;
        std::uint64_t first; // 0: the wait is for a later charge
        bool polls;
        bool behind_large = false; // in line behind a large step that waits
        bool unwinds = false;
        std::uint64_t nested = 0; // charged by the check, the first time
    };
    const Row rows[] = {
        {"first charge, stop polled elsewhere", 50, false},
        {"first charge, polling itself", 50, true},
        {"later charge, stop polled elsewhere", 0, false},
        {"later charge, polling itself", 0, true},
        {"later charge in line behind a large step", 0, true, true},
        {"first charge, its check unwinds the thread", 50, true, false, true},
        {"later charge, its check unwinds the thread", 0, true, false, true},
        {"in line behind a large step, its check unwinds the thread", 0, true, true, true},
        {"first charge, its check charging a large step", 50, true, false, false, 60},
        {"in line behind a large step, its check charging a large step", 0, true, true, false, 30},
    };
    struct Unwound {};
    watchdog(60);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        budget::Budget b(100);
        budget::Ledger a(b);
        a.charge(90); // large
        std::atomic<bool> say_stop{false};
        std::atomic<int> checks{0};
        struct Context {
            std::atomic<bool>* say;
            std::atomic<int>* checks;
            bool unwinds;
            budget::Budget* b;
            std::uint64_t nested;
            bool nested_in = false;
        } context{&say_stop, &checks, row.unwinds, &b, row.nested};
        budget::Stop stop(
            [](void* p) {
                auto* c = static_cast<Context*>(p);
                if (c->checks->fetch_add(1) == 0 && c->nested)
                    c->nested_in = budget::Ledger(*c->b).charge(c->nested);
                if (c->unwinds && c->say->load()) throw Unwound{};
                return c->say->load();
            },
            &context, b);
        budget::Ledger other(b);
        if (row.first == 0) other.charge(4); // small, to outgrow its room below
        std::atomic<int> gone{0};
        std::thread large([&] {
            if (row.behind_large) budget::Ledger(b).charge(50);
        });
        until_waiting(b, row.behind_large ? 1 : 0, gone, 0);
        bool charged = true, unwound = false;
        std::thread t([&] {
            other.watch(&stop, row.polls);
            try {
                charged = other.charge(row.first ? row.first : 200);
            } catch (const Unwound&) {
                charged = false;
                unwound = true;
            }
            gone.fetch_add(1);
        });
        until_waiting(b, row.behind_large ? 2 : 1, gone, 0);
        say_stop.store(true);
        if (!row.polls) { EXPECT_TRUE(stop.poll()); }
        t.join();
        EXPECT_FALSE(charged);
        EXPECT_EQ(unwound, row.unwinds);
        EXPECT_TRUE(stop.requested());
        EXPECT_EQ(b.in_flight(), row.first ? 90u : 94u);
        if (row.polls) { EXPECT_GE(checks.load(), 1); }
        EXPECT_EQ(context.nested_in, row.nested != 0);
        other.settle();
        a.settle();
        large.join();
        EXPECT_EQ(b.in_flight(), 0u);
        EXPECT_EQ(b.waiting(), 0u);
        // Nobody is left in line: the next large step goes straight in.
        budget::Ledger next(b);
        next.charge(90);
        EXPECT_EQ(b.in_flight(), 90u);
    }
    watchdog(0);
}

// A fork() child starts the process budget afresh: nothing held, whatever
// the parent's threads held or waited for, and a ledger listed before the
// fork is forgotten there rather than settled.
TEST(Budget, AForkChildStartsAfresh) {
    budget::Budget& b = budget::Budget::process();
    budget::Ledger mine;
    mine.charge(budget::PROCESS_NBYTES / 8); // small
    std::atomic<bool> release{false};
    std::atomic<int> gone{0};
    std::thread holder([&] {
        budget::Ledger l;
        l.charge(budget::PROCESS_NBYTES / 2); // large
        gone.fetch_add(1);
        while (!release.load()) std::this_thread::yield();
    });
    while (gone.load() == 0) std::this_thread::yield();
    std::thread waiter([&] {
        budget::Ledger l;
        l.charge(budget::PROCESS_NBYTES); // waits for both
        gone.fetch_add(1);
    });
    until_waiting(b, 1, gone, 1);
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        ::alarm(10); // a hang fails instead
        int code = b.in_flight() == 0 ? 0 : 1;
        mine.settle();
        budget::Ledger fresh;
        fresh.charge(budget::PROCESS_NBYTES);
        if (b.in_flight() != budget::PROCESS_NBYTES) code |= 2;
        mine.charge(10); // a new small step
        fresh.settle();
        mine.settle();
        if (b.in_flight() != 0) code |= 4;
        ::_exit(code);
    }
    expect_clean_exit(child);
    release.store(true);
    mine.settle();
    holder.join();
    waiter.join();
    EXPECT_EQ(b.in_flight(), 0u);
}

// One run of a once-only cell, whatever the callers do.
TEST(Once, RunsOnceForAllCallers) {
    struct Row {
        const char* what;
        int throws_first; // calls that throw before one succeeds
        bool makes;       // whether the run that succeeds makes a value
    };
    const Row rows[] = {
        {"a value", 0, true},
        {"nothing", 0, false},
        {"a throw is run again", 2, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        once::OnceCell<std::string> cell;
        std::atomic<int> runs{0}, threw{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                for (;;) {
                    try {
                        cell.call([&]() -> std::optional<std::string> {
                            if (runs.fetch_add(1) < row.throws_first) throw std::runtime_error("no");
                            if (!row.makes) return std::nullopt;
                            return std::string(64, 'x');
                        });
                        return;
                    } catch (const std::runtime_error&) {
                        threw.fetch_add(1);
                    }
                }
            });
        for (auto& t : threads) t.join();
        EXPECT_TRUE(cell.done());
        EXPECT_EQ(runs.load(), row.throws_first + 1);
        EXPECT_EQ(threw.load(), row.throws_first);
        EXPECT_EQ(cell.get() != nullptr, row.makes);
        EXPECT_FALSE(cell.call([]() -> std::optional<std::string> { return "again"; }));
    }

    once::OnceTable<int> table;
    std::vector<std::thread> threads;
    std::vector<once::OnceCell<int>*> seen(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { seen[t] = &table.at(t % 2 == 0 ? 3 : 5, 10); });
    for (auto& t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(seen[t], seen[t % 2]);
    EXPECT_NE(seen[0], seen[1]);
}

// A run that a thread of the parent had begun when fork() was called is
// begun again in the child, instead of being waited for for ever; one that
// had ended stays done.
TEST(Once, AForkChildRestartsARunItsParentLeftUnfinished) {
    once::OnceCell<std::string> begun, ended;
    ended.call([]() -> std::optional<std::string> { return "parent"; });
    std::atomic<bool> started{false}, release{false};
    std::thread runner([&] {
        begun.call([&]() -> std::optional<std::string> {
            started.store(true);
            while (!release.load()) std::this_thread::yield();
            return "parent";
        });
    });
    while (!started.load()) std::this_thread::yield();
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        ::alarm(10);
        int code = 0;
        if (!begun.call([]() -> std::optional<std::string> { return "child"; })) code |= 1;
        if (!begun.get() || *begun.get() != "child") code |= 2;
        if (ended.call([]() -> std::optional<std::string> { return "child"; })) code |= 4;
        ::_exit(code);
    }
    expect_clean_exit(child);
    release.store(true);
    runner.join();
    ASSERT_NE(begun.get(), nullptr);
    EXPECT_EQ(*begun.get(), "parent");
}

// Steps of random sizes, some far over the budget, some charging under
// NoWait, on more threads than cores: every one ends.
TEST(Budget, ManyStepsAtOnceAllEnd) {
    budget::Budget b(1000);
    std::vector<std::thread> threads;
    std::atomic<std::uint64_t> steps{0};
    for (unsigned t = 0; t < 12; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            budget::Ledger l(b);
            for (int i = 0; i < 300; ++i) {
                const int charges = 1 + static_cast<int>(rng() % 4);
                for (int k = 0; k < charges; ++k) {
                    const std::uint64_t n = rng() % 8 == 0 ? 1500 : rng() % 400;
                    if (rng() % 5 == 0) {
                        const budget::NoWait no_wait(&l);
                        l.charge(n);
                    } else {
                        l.charge(n);
                    }
                }
                l.settle();
                steps.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(steps.load(), 12u * 300u);
    EXPECT_EQ(b.in_flight(), 0u);
    EXPECT_EQ(b.waiting(), 0u);
}

// What a view charges for each read that is parsed: the recorded inflated
// size and the stored size; a UTF-16 part's UTF-8 form besides; nothing for
// what its cache serves or a part refused unread.
TEST(Budget, PackageViewsChargeWhatTheyRead) {
    // "<r>", twelve CJK characters and "</r>" in UTF-16 after a mark: 40
    // bytes that become 43.
    const std::u16string chars(12, u'\u4e2d');
    std::string utf8_chars;
    for (int i = 0; i < 12; ++i) utf8_chars += "\xe4\xb8\xad";
    Bytes u16 = {0xFF, 0xFE};
    for (const char16_t c : u"<r>" + chars + u"</r>") {
        u16.push_back(static_cast<std::uint8_t>(c & 0xFF));
        u16.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    const std::string rels = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"/>";
    testkit::Zip z;
    z.add("[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>")
        .add("a.xml", "<a/>")
        .add_bytes("u.xml", u16)
        .add("_rels/.rels", rels);
    auto opened = pkg::Package::from_bytes(z.build());
    ASSERT_TRUE(opened);

    budget::Budget b(1 << 20);
    budget::Ledger ledger(b);
    pkg::Package view(opened->core());
    view.set_ledger(&ledger);
    const auto text = [](const vantrell_core::Result<pkg::Bytes>& r) {
        return r ? std::string(pkg::as_text(**r)) : r.error().message();
    };
    const auto fresh = [&] {
        pkg::Package v(opened->core());
        v.set_ledger(&ledger);
        return v;
    };
    struct Case {
        const char* what;
        std::function<std::string()> read;
        std::string want;
        std::uint64_t charged;
    };
    const Case cases[] = {
        {"read", [&] { return text(view.read_part("/a.xml")); }, "<a/>", 8},
        {"cached", [&] { return text(view.read_part_once("/a.xml")); }, "<a/>", 0},
        {"utf-16", [&] { return text(view.read_part_once("/u.xml")); },
         "<r>" + utf8_chars + "</r>", 40 + 40 + 43},
        {"over the limit", [&] { return text(fresh().read_part("/a.xml", 3)); },
         "unsupported: xml part /a.xml inflates to 4 bytes, over the limit of 3", 0},
        {"utf-8 form over the limit", [&] { return text(fresh().read_part("/u.xml", 42)); },
         "unsupported: xml part /u.xml converts from UTF-16 to 43 bytes, over the limit of 42", 80},
        {"rels", [&] { return std::to_string(view.rels("/").value()->relationships.size()); }, "0",
         2 * rels.size()},
    };
    for (const Case& c : cases) {
        const std::uint64_t before = ledger.held();
        EXPECT_EQ(c.read(), c.want) << c.what;
        EXPECT_EQ(ledger.held() - before, c.charged) << c.what;
    }
}
