// The admission without sockets: which addresses a policy lets add words,
// the sliding minute of adds, and the per-address counts under threads that
// enter, leave and add at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>
#include <vector>

#include "admission.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;

asio::ip::address Address(const char *text) { return asio::ip::make_address(text); }

std::unique_ptr<Admission::Pass> Enter(Admission &admission, const char *address) {
    auto entered = admission.Enter(Address(address));
    auto *pass = std::get_if<std::unique_ptr<Admission::Pass>>(&entered);
    return pass ? std::move(*pass) : nullptr;
}

TEST(EnrolmentPolicy, MatchesAddressesByPrefixIPv4MappedAsIPv4) {
    struct Case {
        const char *policy;
        const char *address;
        bool allowed;
    };
    const Case cases[] = {
        {"127.0.0.0/8,::1", "127.0.0.1", true},
        {"127.0.0.0/8,::1", "127.255.1.2", true},
        {"127.0.0.0/8,::1", "::ffff:127.0.0.5", true},  // a dual-stack socket's view of 127.0.0.5
        {"127.0.0.0/8,::1", "::1", true},
        {"127.0.0.0/8,::1", "128.0.0.1", false},
        {"127.0.0.0/8,::1", "::2", false},
        {"127.0.0.0/8,::1", "::ffff:10.0.0.1", false},
        {"192.168.1.0/24", "192.168.1.255", true},
        {"192.168.1.0/24", "192.168.2.0", false},
        {"192.168.1.128/25", "192.168.1.127", false},
        {"192.168.1.128/25", "192.168.1.128", true},
        {"10.1.2.3", "10.1.2.3", true},
        {"10.1.2.3", "10.1.2.4", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        {"::/0", "2001:db8::1", true},
        {"::/0", "::ffff:203.0.113.9", false},  // IPv4 clients are IPv4: 0.0.0.0/0 names them
        {"::ffff:10.0.0.0/104", "10.200.0.1", true},
        {"::ffff:10.0.0.0/104", "::ffff:10.200.0.1", true},
        {"fe80::/10", "fe80::1%1", true},  // the zone is not part of the comparison
        {"fd00::/8", "fdff:ffff::1", true},
        {"fd00::/8", "fe00::1", false},
        {"2001:db8:0:2::/63", "2001:db8:0:3:ffff::1", true},
        {"2001:db8:0:2::/63", "2001:db8:0:1::1", false},
        {"none", "127.0.0.1", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(EnrolmentPolicy::Parse(c.policy).Allows(Address(c.address)), c.allowed)
            << c.policy << " " << c.address;
    // The default is loopback only.
    EXPECT_TRUE(EnrolmentPolicy().Allows(Address("127.0.0.2")));
    EXPECT_TRUE(EnrolmentPolicy().Allows(Address("::1")));
    EXPECT_FALSE(EnrolmentPolicy().Allows(Address("192.168.1.10")));
    EXPECT_EQ(EnrolmentPolicy().Describe(), "127.0.0.0/8, ::1");
    EXPECT_EQ(EnrolmentPolicy::Parse("10.1.2.3/32, 0.0.0.0/0,::/0").Describe(), "10.1.2.3, 0.0.0.0/0, ::/0");
    EXPECT_EQ(ClientAddress(Address("::ffff:192.0.2.1")), Address("192.0.2.1"));
    EXPECT_EQ(ClientAddress(Address("2001:db8::1")), Address("2001:db8::1"));
}

TEST(Admission, AddsAreCountedPerAddressOverASlidingMinute) {
    Admission admission({.enrolFrom = {}, .maxSessionsPerAddress = 0, .maxAddsPerMinute = 3});
    const auto t0 = Admission::Clock::now();
    auto first = Enter(admission, "127.0.0.2");
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->MayAdd());
    EXPECT_EQ(first->TakeAddAt(t0), std::nullopt);
    EXPECT_EQ(first->TakeAddAt(t0 + 10s), std::nullopt);
    {
        // Another session of the same address, even a mapped one, shares the count.
        auto second = Enter(admission, "::ffff:127.0.0.2");
        EXPECT_EQ(second->TakeAddAt(t0 + 20s), std::nullopt);
        EXPECT_EQ(second->TakeAddAt(t0 + 21s), "3 words were added from this address within a minute, the most it "
                                                "may add: try again in 39 s");
    }
    // Leaving and coming back does not start the count afresh.
    first.reset();
    EXPECT_EQ(admission.Addresses(), 1u);
    first = Enter(admission, "127.0.0.2");
    EXPECT_EQ(first->TakeAddAt(t0 + 59500ms), "3 words were added from this address within a minute, the most it "
                                              "may add: try again in 1 s");
    EXPECT_EQ(first->TakeAddAt(t0 + 60s), std::nullopt);  // the first add has left the window
    EXPECT_NE(first->TakeAddAt(t0 + 61s), std::nullopt);
    EXPECT_EQ(first->TakeAddAt(t0 + 71s), std::nullopt);
    // Other addresses are not held back; outside the policy nothing may be added.
    auto other = Enter(admission, "127.0.0.3");
    EXPECT_EQ(other->TakeAddAt(t0 + 71s), std::nullopt);
    EXPECT_FALSE(Enter(admission, "192.0.2.1")->MayAdd());
}

TEST(Admission, AnAddressPastItsSessionsIsRefusedAndTheFirstOfARunIsLogged) {
    Admission admission({.enrolFrom = {}, .maxSessionsPerAddress = 2, .maxAddsPerMinute = 0});
    auto a = Enter(admission, "192.0.2.1");
    auto b = Enter(admission, "::ffff:192.0.2.1");
    ASSERT_TRUE(a && b);
    std::vector<bool> logged;
    for (int i = 0; i < 100; ++i) {
        auto entered = admission.Enter(Address("192.0.2.1"));
        const auto *refusal = std::get_if<Admission::Refusal>(&entered);
        ASSERT_TRUE(refusal);
        logged.push_back(refusal->logIt);
        if (i == 0) {
            EXPECT_EQ(refusal->reason, "refused: 2 sessions of 192.0.2.1 are open, the most one address may have");
        }
    }
    EXPECT_EQ(std::count(logged.begin(), logged.end(), true), 3);
    EXPECT_TRUE(logged[0] && logged[9] && logged[99]);
    EXPECT_TRUE(Enter(admission, "192.0.2.2"));
    b.reset();
    std::size_t refusedBefore = 0;
    auto again = admission.Enter(Address("192.0.2.1"), &refusedBefore);
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<Admission::Pass>>(again));
    EXPECT_EQ(refusedBefore, 100u);
}

// Sessions of a few addresses enter, add and leave on many threads at
// once: an address never holds more than its limit, the adds accepted
// within the minute are exactly the limit, and nothing is left counted.
TEST(Admission, CountsHoldUnderThreadsThatEnterAddAndLeaveAtOnce) {
    constexpr std::size_t kMostSessions = 2;  // fewer than the threads that share an address
    constexpr std::size_t kMostAdds = 100;
    Admission admission({.enrolFrom = {}, .maxSessionsPerAddress = kMostSessions, .maxAddsPerMinute = kMostAdds});
    const char *addresses[] = {"127.0.0.2", "::ffff:127.0.0.3", "::1"};
    std::atomic<std::size_t> held[3] = {};
    std::atomic<std::size_t> mostHeld{0};
    std::atomic<std::size_t> adds{0};
    std::atomic<std::size_t> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::size_t k = static_cast<std::size_t>(t + i) % 3;
                auto pass = Enter(admission, addresses[k]);
                if (!pass) {
                    ++refused;
                    continue;
                }
                const std::size_t now = ++held[k];
                for (std::size_t seen = mostHeld; now > seen && !mostHeld.compare_exchange_weak(seen, now);) {
                }
                if (k == 0 && !pass->TakeAdd()) ++adds;
                std::this_thread::yield();  // held while other threads come in
                --held[k];
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_LE(mostHeld.load(), kMostSessions);
    EXPECT_GT(refused.load(), 0u) << "the threads never met at the limit";
    EXPECT_EQ(adds.load(), kMostAdds);
    EXPECT_EQ(admission.Sessions(), 0u);
    EXPECT_EQ(admission.Addresses(), 1u);  // the one that added, for the rest of its minute
    std::cout << "[figures] " << refused.load() << " of 16000 sessions refused at the limit\n";
}

}  // namespace
}  // namespace tessary
