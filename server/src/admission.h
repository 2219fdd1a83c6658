// Who may change the vocabulary, and how much one client address may take.
//
// The enrolment policy names the networks from which "ADDW" is accepted; by
// default loopback only, so that a server reachable from a network is
// read-only to it until its administrator opens it. Per client address the
// server keeps at most maxSessionsPerAddress sessions open and accepts at
// most maxAddsPerMinute "ADDW" in any 60 s (a sliding window of the times of
// the adds accepted). Zero leaves a limit off. An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) is its IPv4 address, for the policy and for the counts.
//
// A session asks for a pass when it begins, with its client's address taken
// from one place (the peer of the accepted socket today, the address a
// proxy's header names once the session reads one); the pass holds one of
// its address's sessions until it is destroyed. Passes of any number of
// sessions, on any threads, share one table under one mutex, held for a
// lookup and a few counts only. A pass keeps the table alive, so sessions
// may outlive the server that made them.
#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/network_v4.hpp>
#include <asio/ip/network_v6.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace tessary {

// The address the limits count: an IPv4-mapped IPv6 address as IPv4.
asio::ip::address ClientAddress(const asio::ip::address &address);

// Networks in CIDR notation: the addresses that may add words.
class EnrolmentPolicy {
public:
    // Loopback only: 127.0.0.0/8 and ::1.
    EnrolmentPolicy();

    // A list of networks separated by commas, each "ADDRESS/PREFIX" or a
    // single address ("192.168.1.0/24,fd00::/8,10.1.2.3"), or "none": no
    // address at all. A network of IPv4-mapped IPv6 addresses is taken as
    // its IPv4 network. Throws std::invalid_argument with a one-line reason
    // naming the wrong entry: not an address, a prefix out of range, bits
    // set past the prefix, a zone, an empty entry.
    static EnrolmentPolicy Parse(std::string_view list);

    bool Allows(const asio::ip::address &address) const;
    // "127.0.0.0/8, ::1", or "no address".
    std::string Describe() const;

private:
    std::vector<asio::ip::network_v4> v4_;
    std::vector<asio::ip::network_v6> v6_;
};

struct AdmissionRules {
    EnrolmentPolicy enrolFrom;
    std::size_t maxSessionsPerAddress = 32;  // 0: no limit
    std::size_t maxAddsPerMinute = 30;       // 0: no limit
};

// The rules in force, in one line for the log at start.
std::string DescribeRules(const AdmissionRules &rules);

class Admission {
public:
    using Clock = std::chrono::steady_clock;

    explicit Admission(AdmissionRules rules);

    // One session's hold on its address, and the gate of its "ADDW".
    class Pass;

    // Why a session was not let in. Of a run of refusals of one address,
    // the 1st, 10th, 100th, ... are worth a line of the log.
    struct Refusal {
        std::string answer;  // for the client, one line ending in CR LF
        std::string reason;  // for the log, without the address
        bool logIt = false;
    };
    // A pass for a session whose client is at address, or the refusal when
    // the address holds its most sessions already. refusedBefore, when a
    // pass is given, is how many sessions of the address were refused
    // since it was last let in (0 mostly), for the log.
    std::variant<std::unique_ptr<Pass>, Refusal> Enter(const asio::ip::address &address,
                                                       std::size_t *refusedBefore = nullptr);

    // Addresses the table holds now, and the sessions it counts: for tests
    // and the log.
    std::size_t Addresses() const;
    std::size_t Sessions() const;

    const AdmissionRules &Rules() const;

private:
    struct Table;
    std::shared_ptr<Table> table_;
};

class Admission::Pass {
public:
    ~Pass();
    Pass(const Pass &) = delete;
    Pass &operator=(const Pass &) = delete;

    const asio::ip::address &Address() const { return address_; }
    // Whether the address may add words at all.
    bool MayAdd() const { return mayAdd_; }
    // Counts one add against the address, or, when that would pass its
    // rate, counts nothing and says why in plain words.
    std::optional<std::string> TakeAdd() { return TakeAddAt(Clock::now()); }
    // TakeAdd as if it were now.
    std::optional<std::string> TakeAddAt(Clock::time_point now);

private:
    friend class Admission;
    Pass(std::shared_ptr<Table> table, asio::ip::address address, bool mayAdd);

    std::shared_ptr<Table> table_;
    asio::ip::address address_;
    bool mayAdd_;
};

}  // namespace tessary
