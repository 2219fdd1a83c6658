// The figures of several tessary-server programs sharing one vocabulary:
// a throwaway PostgreSQL, three instances started with --database and
// --proxy-protocol, and HAProxy with the shipped configuration, all on
// loopback, as scripts/cluster runs them. Prints a markdown table:
//   1. REST to answer through HAProxy and directly to the same instance;
//   2. the time from an add's answer until both other instances list the word;
//   3. an add's REST to answer at 1,000 words, PostgreSQL and the file store
//      (a fourth server without --database);
//   4. another session's "PING" round trips while 4 clients add words;
//   5. sessions lost when one instance is killed, and new sessions served;
//   6. added words lost across a restart of PostgreSQL.
// The vocabularies are filled to --words words by adds over the protocol
// (one recording of a made-up word each), as users would.
//   tessary-cluster-run [--repeat N] [--words N] [--sessions N]
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cluster_processes.h"
#include "test_client.h"
#include "test_support.h"

namespace tessary::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kInstances = 3;


double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Word k of the run: letters only, all different.
std::string WordName(int k) {
    std::string name = "slovo";
    for (int i = 0; i < 4; ++i, k /= 26) name += static_cast<char>('a' + k % 26);
    return name;
}

// Sends an utterance's "SRCG" and "DATA", then its "REST": the time from
// "REST" to the answer, and the answer.
double RestToAnswer(TestClient &client, const std::vector<float> &floats, std::string &answer) {
    client.Speak(floats);
    const auto rest = Encode("REST", 0, "\r\n");
    const auto start = Clock::now();
    client.Send(rest);
    answer = client.ReadMessage();
    return Milliseconds(Clock::now() - start);
}

// Adds word k as a user does ("ADDW", then the word said): REST to answer;
// negative when the word was not added.
double AddWord(TestClient &client, int k) {
    const std::string word = WordName(k);
    client.Send("ADDW", 0, word);
    client.ReadMessage();
    std::string answer;
    const double ms = RestToAnswer(client, Utterance(10 + k % 5000, 40), answer);
    return answer == "Added the word " + word + " to the vocabulary.\r\n" ? ms : -1;
}

// The words a GETV lists.
std::vector<std::string> Listed(TestClient &client) {
    client.Send("GETV");
    std::istringstream in(client.ReadMessage());
    std::vector<std::string> words;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) words.push_back(line);
    }
    return words;
}

// Whether a recognition was answered (at 1,000 made-up words the seed's
// words may be heard as one of them).
bool Served(const std::string &answer) {
    return answer.starts_with("Recognised: ") || answer.starts_with("Not recognised");
}

bool Lists(TestClient &client, const std::string &word) {
    const auto words = Listed(client);
    return std::find(words.begin(), words.end(), word) != words.end();
}

struct Figures {
    std::vector<double> direct, proxied, seen, addPostgres, addFile, pingPostgres, pingFile;
    double allListedAfterSeconds = 0, fillPostgresSeconds = 0, fillFileSeconds = 0, downAfterSeconds = 0;
    int sessions = 0, onKilled = 0, failed = 0, failedElsewhere = 0, later = 0, laterServed = 0;
    int toldAdded = 0, lostWords = 0, refusedWhileDown = 0;
};

class Cluster {
public:
    explicit Cluster(int repeat, int words, int sessions) : repeat_(repeat), words_(words), sessions_(sessions) {
        cluster_ = std::make_unique<ClusterProcesses>(dir_.Path(), seed_, kInstances,
                                                      std::vector<std::string>{"--max-adds-per-minute", "0"});
    }

    Figures Run() {
        Figures f;
        Latency(f);
        Propagation(f);
        std::fprintf(stderr, "filling the shared vocabulary to %d words...\n", words_);
        {
            auto client = Direct(0);
            f.fillPostgresSeconds = Fill(*client, words_ - 2 - next_);
            // Every instance has every word before the adds are timed.
            const std::string last = WordName(next_ - 1);
            for (int i = 1; i < kInstances; ++i) {
                auto other = Direct(i);
                const auto until = Clock::now() + 30s;
                while (!Lists(*other, last) && Clock::now() < until) std::this_thread::sleep_for(50ms);
            }
            Adds(*client, f.addPostgres);
        }
        f.pingPostgres = PingWhileAdding([this](int) { return Direct(0); });
        FileStore(f);
        Kill(f);
        DatabaseRestart(f);
        return f;
    }

private:
    static std::string ServerName(int i) { return ClusterProcesses::ServerName(i); }
    std::unique_ptr<TestClient> Direct(int i) { return cluster_->Direct(i); }
    int InstanceOf(const TestClient &client) { return cluster_->InstanceOf(client); }

    // 1: one session through HAProxy, one straight to the instance it went
    // to, taken in turns.
    void Latency(Figures &f) {
        std::fprintf(stderr, "REST to answer, through HAProxy and directly...\n");
        TestClient proxied(cluster_->haproxy->Port());
        std::string answer;
        RestToAnswer(proxied, Utterance(0, 40), answer);
        const int i = InstanceOf(proxied);
        auto direct = Direct(std::max(i, 0));
        RestToAnswer(*direct, Utterance(0, 40), answer);
        for (int n = 0; n < repeat_ * 2; ++n) {
            f.proxied.push_back(RestToAnswer(proxied, Utterance(n % 2, 40), answer));
            f.direct.push_back(RestToAnswer(*direct, Utterance(n % 2, 40), answer));
        }
    }

    // 2: adds through the first instance; the time from each add's answer
    // until both others list the word.
    void Propagation(Figures &f) {
        std::fprintf(stderr, "a word added through one instance, listed by the others...\n");
        auto adder = Direct(0);
        std::vector<std::unique_ptr<TestClient>> others;
        for (int i = 1; i < kInstances; ++i) others.push_back(Direct(i));
        for (int n = 0; n < repeat_; ++n) {
            const std::string word = WordName(next_);
            if (AddWord(*adder, next_++) < 0) continue;
            told_.push_back(word);
            const auto added = Clock::now();
            std::vector<bool> seen(others.size(), false);
            while (std::count(seen.begin(), seen.end(), false) > 0 && Clock::now() - added < 10s) {
                for (std::size_t o = 0; o < others.size(); ++o)
                    if (!seen[o]) seen[o] = Lists(*others[o], word);
                if (std::count(seen.begin(), seen.end(), false) > 0) std::this_thread::sleep_for(1ms);
            }
            f.seen.push_back(Milliseconds(Clock::now() - added));
        }
    }

    // Adds count words one after another; the seconds it took.
    double Fill(TestClient &client, int count) {
        const auto start = Clock::now();
        for (int n = 0; n < count; ++n) {
            const std::string word = WordName(next_);
            if (AddWord(client, next_++) >= 0) told_.push_back(word);
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // 3: adds one after another, each REST to answer.
    void Adds(TestClient &client, std::vector<double> &into) {
        for (int n = 0; n < std::max(1, repeat_ / 2); ++n) {
            const std::string word = WordName(next_);
            const double ms = AddWord(client, next_++);
            if (ms >= 0) {
                into.push_back(ms);
                told_.push_back(word);
            }
        }
    }

    // 4: a session sends a "PING" every millisecond while 4 clients add
    // words; its round trips.
    template <typename Connect>
    std::vector<double> PingWhileAdding(Connect connect) {
        std::fprintf(stderr, "PING while 4 clients add words...\n");
        auto pinger = connect(4);
        std::vector<std::unique_ptr<TestClient>> adders;
        for (int c = 0; c < 4; ++c) adders.push_back(connect(c));
        const int each = std::max(1, repeat_ / 2);
        const int first = next_;
        next_ += 4 * each;
        std::atomic<int> running = 4;
        std::vector<std::vector<std::string>> added(4);
        std::vector<std::thread> threads;
        for (int c = 0; c < 4; ++c)
            threads.emplace_back([&, c] {
                for (int n = 0; n < each; ++n) {
                    const int k = first + c * each + n;
                    if (AddWord(*adders[static_cast<std::size_t>(c)], k) >= 0)
                        added[static_cast<std::size_t>(c)].push_back(WordName(k));
                }
                --running;
            });
        std::vector<double> pings;
        for (int n = 0; running > 0; ++n) {
            const auto start = Clock::now();
            pinger->Send("PING", n, "x");
            pinger->Read();
            pings.push_back(Milliseconds(Clock::now() - start));
            std::this_thread::sleep_until(start + 1ms);
        }
        for (auto &t : threads) t.join();
        for (auto &words : added) told_.insert(told_.end(), words.begin(), words.end());
        return pings;
    }

    // 3 and 4 with the file store: a server of its own without --database,
    // filled the same way.
    void FileStore(Figures &f) {
        std::fprintf(stderr, "the same with the file store, filling it to %d words...\n", words_);
        Process server({"--listen", "127.0.0.1", "--port", "0", "--data", (dir_.Path() / "file-store").string(),
                        "--seed", seed_.string(), "--threads", "2", "--max-adds-per-minute", "0"});
        const std::uint16_t port = server.ListeningPort();
        if (port == 0) throw std::runtime_error("the file store's server did not start");
        const int saved = next_, savedTold = static_cast<int>(told_.size());
        next_ = 0;
        {
            TestClient client(port);
            f.fillFileSeconds = Fill(client, words_ - 2);
            Adds(client, f.addFile);
        }
        f.pingFile = PingWhileAdding([port](int) { return std::make_unique<TestClient>(port); });
        next_ = std::max(saved, next_);
        told_.resize(static_cast<std::size_t>(savedTold));  // the file store's words are not the cluster's
    }

    // 5: sessions through HAProxy, one instance killed; how many fail and
    // whether every new session is served.
    void Kill(Figures &f) {
        std::fprintf(stderr, "%d sessions through HAProxy, one instance killed...\n", sessions_);
        std::vector<std::unique_ptr<TestClient>> clients;
        std::string answer;
        for (int n = 0; n < sessions_; ++n) {
            clients.push_back(std::make_unique<TestClient>(cluster_->haproxy->Port(), "127.0.0." + std::to_string(2 + n % 20)));
            RestToAnswer(*clients.back(), Utterance(0, 40), answer);
        }
        constexpr int kKilled = 2;
        std::vector<int> where;
        for (auto &client : clients) where.push_back(InstanceOf(*client));
        const auto killed = Clock::now();
        cluster_->instances[kKilled]->Signal(SIGKILL);
        cluster_->instances[kKilled]->Wait();
        f.sessions = sessions_;
        // Every session speaks at once, then the answers are read: a session
        // that gets none costs the client's wait once, not once each.
        for (auto &client : clients) {
            client->Speak(Utterance(1, 40));
            client->Send("REST", 0, "\r\n");
        }
        for (std::size_t n = 0; n < clients.size(); ++n) {
            answer = clients[n]->ReadMessage();
            const bool failed = !Served(answer);
            f.onKilled += where[n] == kKilled;
            f.failed += failed;
            f.failedElsewhere += failed && where[n] != kKilled;
        }
        clients.clear();
        // New sessions at once, before the health check has marked it down.
        for (int n = 0; n < sessions_; ++n) {
            TestClient client(cluster_->haproxy->Port(), "127.0.0." + std::to_string(2 + n % 20));
            RestToAnswer(client, Utterance(1, 40), answer);
            ++f.later;
            f.laterServed += Served(answer);
        }
        if (cluster_->haproxy->WaitForServerState(ServerName(kKilled), 0))
            f.downAfterSeconds = std::chrono::duration<double>(Clock::now() - killed).count();
        // Back on its port, for the database's restart.
        cluster_->instances[kKilled] = cluster_->StartInstance(kKilled, cluster_->ports[kKilled]);
        if (cluster_->instances[kKilled]->ListeningPort() == 0)
            throw std::runtime_error("the killed instance did not restart");
        cluster_->haproxy->WaitForServerState(ServerName(kKilled), 2);
    }

    // 6: words added before PostgreSQL stops and after it is back; every
    // word a client was told was added, on every instance.
    void DatabaseRestart(Figures &f) {
        std::fprintf(stderr, "PostgreSQL stopped and started again...\n");
        const int each = std::max(1, repeat_ / 5);
        {
            auto client = Direct(0);
            Fill(*client, each);
        }
        cluster_->database->Stop();
        for (int i = 0; i < kInstances; ++i) {
            auto client = Direct(i);
            const auto until = Clock::now() + 5s;
            std::string refused;
            do {
                client->Send("ADDW", 0, WordName(next_));
                refused = client->ReadMessage();
                if (refused.starts_with("Cannot add")) break;
                std::string answer;
                RestToAnswer(*client, Utterance(10 + next_, 40), answer);
                if (answer.starts_with("Added")) told_.push_back(WordName(next_));
                ++next_;
            } while (Clock::now() < until);
            f.refusedWhileDown += refused.starts_with("Cannot add");
        }
        cluster_->database->Start();
        for (int i = 0; i < kInstances; ++i) {
            auto client = Direct(i);
            const auto until = Clock::now() + 30s;
            int added = 0;
            while (added < (i == 0 ? each : 1) && Clock::now() < until) {
                const std::string word = WordName(next_);
                if (AddWord(*client, next_++) >= 0) {
                    told_.push_back(word);
                    ++added;
                } else {
                    std::this_thread::sleep_for(200ms);
                }
            }
        }
        // Notifications sent while an instance was away are lost: it reloads
        // once it has reconnected, with back-off; a word it does not list
        // after 30 s counts as lost.
        f.toldAdded = static_cast<int>(told_.size());
        const auto back = Clock::now();
        for (int i = 0; i < kInstances; ++i) {
            auto client = Direct(i);
            const auto until = back + 30s;
            int missing = 0;
            do {
                auto words = Listed(*client);
                std::sort(words.begin(), words.end());
                missing = static_cast<int>(std::count_if(told_.begin(), told_.end(), [&](const std::string &w) {
                    return !std::binary_search(words.begin(), words.end(), w);
                }));
                if (missing > 0) std::this_thread::sleep_for(100ms);
            } while (missing > 0 && Clock::now() < until);
            f.lostWords += missing;
            f.allListedAfterSeconds = std::chrono::duration<double>(Clock::now() - back).count();
            if (missing == 0) continue;
            for (const std::string &w : told_)
                if (!Lists(*client, w)) std::fprintf(stderr, "%s does not list %s\n", ServerName(i).c_str(), w.c_str());
            for (int o = 0; o < kInstances; ++o) {
                const auto log = cluster_->instances[static_cast<std::size_t>(o)]->LinesWith("");
                std::fprintf(stderr, "the log of %s, its last lines:\n", ServerName(o).c_str());
                for (std::size_t l = log.size() > 12 ? log.size() - 12 : 0; l < log.size(); ++l)
                    std::fprintf(stderr, "  %s\n", log[l].c_str());
            }
        }
    }

    int repeat_, words_, sessions_;
    int next_ = 0;                   // the next word's number
    std::vector<std::string> told_;  // words the cluster answered "Added" for
    TempDir dir_;
    std::filesystem::path seed_ = WriteSeedFile(dir_.Path());
    std::unique_ptr<ClusterProcesses> cluster_;
};

// The test client's complaints (a session whose instance died gets no
// answer) go to standard error, one line each, not among the figures.
class ClientComplaints : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &result) override {
        std::fprintf(stderr, "client: %s\n", result.message());
    }
};

void Print(const Figures &f, int words, const std::string &loadBefore) {
    const double direct = Percentile(f.direct, 50), proxied = Percentile(f.proxied, 50);
    std::printf("load average before: %s, after: %s\n\n", loadBefore.c_str(), LoadAverage().c_str());
    std::printf("| figure | measured | goal |\n|---|---|---|\n");
    std::printf("| REST → answer, direct / through HAProxy, median (%zu each) | %.3f / %.3f ms: +%.3f ms "
                "(p99 %.3f / %.3f) | ≤ 0.5 ms added |\n",
                f.direct.size(), direct, proxied, proxied - direct, Percentile(f.direct, 99),
                Percentile(f.proxied, 99));
    std::printf("| a word added through one instance listed by both others, from the add's answer (%zu adds) | "
                "median %.1f ms, p99 %.1f ms, max %.1f ms | ≤ 1 s p99 |\n",
                f.seen.size(), Percentile(f.seen, 50), Percentile(f.seen, 99), Percentile(f.seen, 100));
    std::printf("| an add at %d words, REST → answer, PostgreSQL (%zu adds; filled in %.1f s) | median %.2f ms, "
                "p99 %.2f ms | ≤ 10 ms |\n",
                words, f.addPostgres.size(), f.fillPostgresSeconds, Percentile(f.addPostgres, 50),
                Percentile(f.addPostgres, 99));
    std::printf("| the same, file store (%zu adds; filled in %.1f s) | median %.2f ms, p99 %.2f ms | ≤ 10 ms |\n",
                f.addFile.size(), f.fillFileSeconds, Percentile(f.addFile, 50), Percentile(f.addFile, 99));
    std::printf("| another session's PING while 4 clients add at %d words, PostgreSQL (%zu pings) | median %.3f ms, "
                "p99 %.3f ms | ≤ 5 ms p99 |\n",
                words, f.pingPostgres.size(), Percentile(f.pingPostgres, 50), Percentile(f.pingPostgres, 99));
    std::printf("| the same, file store (%zu pings) | median %.3f ms, p99 %.3f ms | ≤ 5 ms p99 |\n",
                f.pingFile.size(), Percentile(f.pingFile, 50), Percentile(f.pingFile, 99));
    std::printf("| sessions lost when 1 of 3 instances is killed | %d of %d failed, %d were on it, %d elsewhere; "
                "%d of %d new sessions served (down in HAProxy after %.1f s) | only its sessions; every later "
                "one served |\n",
                f.failed, f.sessions, f.onKilled, f.failedElsewhere, f.laterServed, f.later, f.downAfterSeconds);
    std::printf("| added words lost across a PostgreSQL restart | %d of %d words told added, on 3 instances "
                "(all listed %.1f s after the last add; ADDW refused while down by %d of 3) | 0 |\n",
                f.lostWords, f.toldAdded, f.allListedAfterSeconds, f.refusedWhileDown);
}

}  // namespace
}  // namespace tessary::test

int main(int argc, char **argv) {
    int repeat = 100, words = 1000, sessions = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const int value = i + 1 < argc ? std::atoi(argv[i + 1]) : 0;
        if (arg == "--repeat" && value > 0) repeat = value;
        else if (arg == "--words" && value > 2) words = value;
        else if (arg == "--sessions" && value > 0) sessions = value;
        else {
            std::fprintf(stderr, "Usage: tessary-cluster-run [--repeat N] [--words N] [--sessions N]\n"
                                 "  --repeat N    recognitions each way and adds timed (default 100)\n"
                                 "  --words N     words in the vocabulary when adds are timed (default 1000)\n"
                                 "  --sessions N  sessions open when an instance is killed (default 60)\n");
            return 2;
        }
        ++i;
    }
    ::signal(SIGPIPE, SIG_IGN);
    auto &listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new tessary::test::ClientComplaints);
    if (const std::string why = tessary::test::PostgresProcess::Unavailable(); !why.empty()) {
        std::fprintf(stderr, "tessary-cluster-run: %s\n", why.c_str());
        return 1;
    }
    if (tessary::test::HaproxyProcess::Program().empty()) {
        std::fprintf(stderr, "tessary-cluster-run: haproxy not found (scripts/install-deps installs it)\n");
        return 1;
    }
    try {
        const std::string load = tessary::test::LoadAverage();
        tessary::test::Cluster cluster(repeat, words, sessions);
        tessary::test::Print(cluster.Run(), words, load);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tessary-cluster-run: %s\n", e.what());
        return 1;
    }
    return 0;
}
