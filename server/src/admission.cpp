#include "admission.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>

namespace tessary {
namespace {

constexpr auto kAddWindow = std::chrono::seconds(60);
// Every so many sessions let in, the table forgets addresses that hold no
// session and added nothing within the window.
constexpr std::uint64_t kSweepEvery = 256;

std::string_view TrimSpaces(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

[[noreturn]] void Wrong(std::string_view entry, const std::string &why) {
    throw std::invalid_argument("\"" + std::string(entry) + "\" " + why);
}

// One entry of the list: an address, or an address and its prefix length.
void ParseNetwork(std::string_view entry, std::vector<asio::ip::network_v4> &v4,
                  std::vector<asio::ip::network_v6> &v6) {
    const std::size_t slash = entry.find('/');
    const std::string addressText(entry.substr(0, slash));
    if (addressText.find('%') != std::string::npos) Wrong(entry, "names a zone (%...), which no network has");
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(addressText, ec);
    if (ec) Wrong(entry, "is not an IP address or network (such as 192.168.1.0/24, fd00::/8 or 10.1.2.3)");
    const unsigned longest = address.is_v4() ? 32 : 128;
    unsigned prefix = longest;
    if (slash != std::string_view::npos) {
        const std::string_view text = entry.substr(slash + 1);
        const auto r = std::from_chars(text.data(), text.data() + text.size(), prefix);
        if (text.empty() || text.size() > 3 || r.ec != std::errc() || r.ptr != text.data() + text.size() ||
            prefix > longest)
            Wrong(entry, "needs a prefix length from 0 to " + std::to_string(longest) + " after the \"/\"");
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped() && prefix >= 96) {
        // ::ffff:10.0.0.0/104 is 10.0.0.0/8: clients are matched as IPv4.
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        prefix -= 96;
    }
    if (address.is_v4()) {
        const asio::ip::network_v4 network(address.to_v4(), static_cast<unsigned short>(prefix));
        if (network.network() != address.to_v4())
            Wrong(entry, "has bits set past its prefix: did you mean " + network.canonical().to_string() + "?");
        v4.push_back(network);
    } else {
        const asio::ip::network_v6 network(address.to_v6(), static_cast<unsigned short>(prefix));
        if (network.network() != address.to_v6())
            Wrong(entry, "has bits set past its prefix: did you mean " + network.canonical().to_string() + "?");
        v6.push_back(network);
    }
}

// Whether the first prefix bits of a and b are equal.
template <std::size_t N>
bool SamePrefix(const std::array<unsigned char, N> &a, const std::array<unsigned char, N> &b, unsigned prefix) {
    for (std::size_t i = 0; i < N && prefix > 0; ++i, prefix = prefix >= 8 ? prefix - 8 : 0) {
        const unsigned mask = prefix >= 8 ? 0xFFu : (0xFFu << (8 - prefix)) & 0xFFu;
        if ((a[i] & mask) != (b[i] & mask)) return false;
    }
    return true;
}

}  // namespace

asio::ip::address ClientAddress(const asio::ip::address &address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

EnrolmentPolicy::EnrolmentPolicy()
    : v4_{asio::ip::make_network_v4("127.0.0.0/8")}, v6_{asio::ip::make_network_v6("::1/128")} {}

EnrolmentPolicy EnrolmentPolicy::Parse(std::string_view list) {
    EnrolmentPolicy policy;
    policy.v4_.clear();
    policy.v6_.clear();
    list = TrimSpaces(list);
    if (list == "none") return policy;
    if (list.empty()) throw std::invalid_argument("an empty list (\"none\" is no address at all)");
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view entry = TrimSpaces(list.substr(0, comma));
        if (entry.empty()) throw std::invalid_argument("an empty entry between commas");
        ParseNetwork(entry, policy.v4_, policy.v6_);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return policy;
}

bool EnrolmentPolicy::Allows(const asio::ip::address &address) const {
    const asio::ip::address client = ClientAddress(address);
    if (client.is_v4()) {
        const auto bytes = client.to_v4().to_bytes();
        return std::any_of(v4_.begin(), v4_.end(), [&](const asio::ip::network_v4 &n) {
            return SamePrefix(bytes, n.address().to_bytes(), n.prefix_length());
        });
    }
    // The zone of a link-local address is not part of what is compared.
    const auto bytes = client.to_v6().to_bytes();
    return std::any_of(v6_.begin(), v6_.end(), [&](const asio::ip::network_v6 &n) {
        return SamePrefix(bytes, n.address().to_bytes(), n.prefix_length());
    });
}

std::string EnrolmentPolicy::Describe() const {
    std::string text;
    auto add = [&](const std::string &network) {
        if (!text.empty()) text += ", ";
        text += network;
    };
    for (const auto &n : v4_) add(n.is_host() ? n.address().to_string() : n.to_string());
    for (const auto &n : v6_) add(n.is_host() ? n.address().to_string() : n.to_string());
    return text.empty() ? "no address" : text;
}

std::string DescribeRules(const AdmissionRules &rules) {
    auto limit = [](std::size_t n) { return n == 0 ? std::string("any number of") : "at most " + std::to_string(n); };
    return "adding words allowed from " + rules.enrolFrom.Describe() + "; per address " +
           limit(rules.maxSessionsPerAddress) + " sessions and " + limit(rules.maxAddsPerMinute) +
           " added words a minute";
}

struct Admission::Table {
    struct Entry {
        std::size_t sessions = 0;
        std::deque<Clock::time_point> adds;  // accepted within the window, oldest first
        std::size_t refused = 0;             // sessions refused since one was let in
    };

    explicit Table(AdmissionRules r) : rules(std::move(r)) {}

    static void ForgetOldAdds(Entry &entry, Clock::time_point now) {
        while (!entry.adds.empty() && now - entry.adds.front() >= kAddWindow) entry.adds.pop_front();
    }

    const AdmissionRules rules;
    mutable std::mutex mutex;
    std::unordered_map<asio::ip::address, Entry> entries;
    std::uint64_t letIn = 0;
};

Admission::Admission(AdmissionRules rules) : table_(std::make_shared<Table>(std::move(rules))) {}

const AdmissionRules &Admission::Rules() const { return table_->rules; }

std::variant<std::unique_ptr<Admission::Pass>, Admission::Refusal> Admission::Enter(
    const asio::ip::address &address, std::size_t *refusedBefore) {
    const asio::ip::address client = ClientAddress(address);
    const std::size_t most = table_->rules.maxSessionsPerAddress;
    {
        std::lock_guard lock(table_->mutex);
        Table::Entry &entry = table_->entries[client];
        if (most != 0 && entry.sessions >= most) {
            const std::size_t refused = ++entry.refused;
            Refusal refusal;
            refusal.answer = "This address has " + std::to_string(most) +
                             " sessions open, the most one address may have: close one and connect again.\r\n";
            refusal.reason = "refused: " + std::to_string(most) + " sessions of " + client.to_string() +
                             " are open, the most one address may have";
            if (refused > 1) refusal.reason += " (" + std::to_string(refused) + " refused in a row)";
            std::size_t power = 1;
            while (power < refused) power *= 10;
            refusal.logIt = power == refused;
            return refusal;
        }
        ++entry.sessions;
        if (refusedBefore) *refusedBefore = entry.refused;
        entry.refused = 0;
        if (++table_->letIn % kSweepEvery == 0) {
            const auto now = Clock::now();
            for (auto it = table_->entries.begin(); it != table_->entries.end();) {
                Table::ForgetOldAdds(it->second, now);
                it = it->second.sessions == 0 && it->second.adds.empty() ? table_->entries.erase(it) : std::next(it);
            }
        }
    }
    return std::unique_ptr<Pass>(new Pass(table_, client, table_->rules.enrolFrom.Allows(client)));
}

std::size_t Admission::Addresses() const {
    std::lock_guard lock(table_->mutex);
    return table_->entries.size();
}

std::size_t Admission::Sessions() const {
    std::lock_guard lock(table_->mutex);
    std::size_t n = 0;
    for (const auto &item : table_->entries) n += item.second.sessions;
    return n;
}

Admission::Pass::Pass(std::shared_ptr<Table> table, asio::ip::address address, bool mayAdd)
    : table_(std::move(table)), address_(std::move(address)), mayAdd_(mayAdd) {}

Admission::Pass::~Pass() {
    std::lock_guard lock(table_->mutex);
    const auto it = table_->entries.find(address_);
    if (it == table_->entries.end()) return;
    Table::Entry &entry = it->second;
    --entry.sessions;
    Table::ForgetOldAdds(entry, Clock::now());
    if (entry.sessions == 0 && entry.adds.empty()) table_->entries.erase(it);
}

std::optional<std::string> Admission::Pass::TakeAddAt(Clock::time_point now) {
    const std::size_t most = table_->rules.maxAddsPerMinute;
    if (most == 0) return std::nullopt;
    std::lock_guard lock(table_->mutex);
    Table::Entry &entry = table_->entries[address_];
    Table::ForgetOldAdds(entry, now);
    if (entry.adds.size() >= most) {
        const auto wait = std::chrono::ceil<std::chrono::seconds>(entry.adds.front() + kAddWindow - now);
        return std::to_string(most) + (most == 1 ? " word was" : " words were") +
               " added from this address within a minute, the most it may add: try again in " +
               std::to_string(std::max<std::int64_t>(1, wait.count())) + " s";
    }
    entry.adds.push_back(now);
    return std::nullopt;
}

}  // namespace tessary
