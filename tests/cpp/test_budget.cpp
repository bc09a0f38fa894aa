#include "core/budget.h"
#include "core/package.h"

#include "testkit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace budget = vantrell_core::budget;
namespace pkg = vantrell_core::package;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Yields until `n` charges wait on `b`, or until `gone` shows that a charge
// which should have waited went ahead instead.
void until_waiting(budget::Budget& b, std::size_t n, const std::atomic<int>& gone, int gone_before) {
    while (b.waiting() < n && gone.load() == gone_before) std::this_thread::yield();
}

} // namespace

TEST(Budget, ChargesThatNeedNotWaitGoStraightThrough) {
    budget::Budget b(100);
    {
        budget::Ledger a(b), c(b), d(b);
        a.charge(60);
        c.charge(30); // fits beside a
        a.charge(100); // a was let in first: it overdraws rather than wait for c
        EXPECT_EQ(b.in_flight(), 190u);
        {
            const budget::NoWait no_wait(&d);
            d.charge(50); // would wait for a and c otherwise
        }
        EXPECT_EQ(b.in_flight(), 240u);
        c.settle();
        c.settle();
        EXPECT_EQ(b.in_flight(), 210u);
        EXPECT_EQ(c.held(), 0u);
        EXPECT_EQ(a.held(), 160u);
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

TEST(Budget, FirstChargesWaitInTurnForRoom) {
    budget::Budget b(100);
    budget::Ledger a(b);
    a.charge(80);
    std::atomic<int> gone{0};
    std::vector<int> order(2, -1);
    // `late` would fit beside a, but asks after `first`, which does not.
    std::thread first([&] {
        budget::Ledger l(b);
        l.charge(50);
        order[0] = gone.fetch_add(1);
        l.settle();
    });
    until_waiting(b, 1, gone, 0);
    std::thread late([&] {
        budget::Ledger l(b);
        l.charge(10);
        order[1] = gone.fetch_add(1);
    });
    until_waiting(b, 2, gone, 0);
    EXPECT_EQ(gone.load(), 0) << "a charge went ahead of the budget";
    a.settle();
    first.join();
    late.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    EXPECT_EQ(b.in_flight(), 0u);
}

TEST(Budget, AnOverrunWaitsOnlyForStepsLetInEarlier) {
    budget::Budget b(100);
    budget::Ledger a(b), c(b);
    a.charge(50);
    c.charge(40);
    std::atomic<int> gone{0};
    std::thread younger([&] {
        c.charge(30); // does not fit, and a was let in first
        gone.fetch_add(1);
    });
    until_waiting(b, 1, gone, 0);
    EXPECT_EQ(gone.load(), 0);
    // The earliest never waits, however much it asks for: waiting here
    // would never end.
    a.charge(500);
    EXPECT_EQ(gone.load(), 0);
    a.settle();
    younger.join();
    EXPECT_EQ(c.held(), 70u);
    c.settle();
    EXPECT_EQ(b.in_flight(), 0u);
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
