// What the PostgreSQL vocabulary store costs: an add at 1,000 words, a Load
// of them, and how long an add by one store takes to reach another store's
// Watch. Runs against a throwaway PostgreSQL of its own (synchronous commit,
// fsync on), or against the database given:
//   tessary-database-run [--database CONNINFO] [--words N] [--adds N]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame_features.h"
#include "postgres_process.h"
#include "postgres_store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The q-quantile of values (sorted in place).
double Quantile(std::vector<double> &values, double q) {
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()));
    return values[at];
}

void Print(const char *what, std::vector<double> values) {
    const double median = Quantile(values, 0.5), p99 = Quantile(values, 0.99);
    std::printf("%-52s median %8.3f ms   p99 %8.3f ms   max %8.3f ms   (%zu)\n", what, median, p99, values.back(),
                values.size());
}

// A recording of about a word's length: 80 frames, 0.8 s.
std::vector<float> Recording(int seed) {
    std::vector<float> frames(80 * tessary::kFrameFloats);
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i] = static_cast<float>((seed * 7919 + static_cast<int>(i) * 104729) % 1000) / 100.0f;
    return frames;
}

}  // namespace

int main(int argc, char **argv) {
    std::string conninfo;
    int words = 1000, adds = 100;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--database" && i + 1 < argc) conninfo = argv[++i];
        else if (arg == "--words" && i + 1 < argc) words = std::atoi(argv[++i]);
        else if (arg == "--adds" && i + 1 < argc) adds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "Usage: tessary-database-run [--database CONNINFO] [--words N] [--adds N]\n");
            return 2;
        }
    }
    std::unique_ptr<tessary::test::PostgresProcess> server;
    if (conninfo.empty()) {
        if (const std::string why = tessary::test::PostgresProcess::Unavailable(); !why.empty()) {
            std::fprintf(stderr, "tessary-database-run: %s\n", why.c_str());
            return 1;
        }
        server = std::make_unique<tessary::test::PostgresProcess>();
        server->Sql("CREATE DATABASE benchmark");
        conninfo = server->ConnInfo("benchmark");
    }
    try {
        tessary::PostgresStore a(conninfo), b(conninfo);
        std::printf("database: %s\n", a.Describe().c_str());

        const auto filling = Clock::now();
        for (int w = 0; w < words; ++w)
            if (auto error = a.AddRecording("slovo" + std::to_string(w), Recording(w), {})) {
                std::fprintf(stderr, "%s\n", error->detail.c_str());
                return 1;
            }
        std::printf("filled %d words of one recording in %.1f s\n", words,
                    std::chrono::duration<double>(Clock::now() - filling).count());

        std::vector<double> loads;
        for (int i = 0; i < 5; ++i) {
            const auto start = Clock::now();
            const auto loaded = b.Load({});
            loads.push_back(Milliseconds(Clock::now() - start));
            if (static_cast<int>(loaded.size()) < words) std::fprintf(stderr, "Load lost words\n");
        }
        Print(("Load of " + std::to_string(words) + " words").c_str(), loads);

        // B watches; every add of A is timed to its return and to B's callback.
        std::mutex mutex;
        std::condition_variable arrived;
        int seen = 0;
        Clock::time_point seenAt;
        b.Watch([&](tessary::StoreChange change) {
            std::lock_guard lock(mutex);
            seen += static_cast<int>(change.addedRecordings.size());
            seenAt = Clock::now();
            arrived.notify_all();
        });
        std::vector<double> addTimes, delays, afterCommit;
        for (int i = 0; i < adds; ++i) {
            // Half to words that exist, half new words.
            const std::string word = i % 2 ? "slovo" + std::to_string(i * 7 % words) : "nove" + std::to_string(i);
            const auto start = Clock::now();
            if (auto error = a.AddRecording(word, Recording(words + i), {})) {
                std::fprintf(stderr, "%s\n", error->detail.c_str());
                return 1;
            }
            const auto committed = Clock::now();
            std::unique_lock lock(mutex);
            if (!arrived.wait_for(lock, std::chrono::seconds(10), [&] { return seen == i + 1; })) {
                std::fprintf(stderr, "add %d never reached the watching store\n", i);
                return 1;
            }
            addTimes.push_back(Milliseconds(committed - start));
            delays.push_back(Milliseconds(seenAt - start));
            afterCommit.push_back(Milliseconds(seenAt - committed));
        }
        Print(("AddRecording at " + std::to_string(words) + " words").c_str(), addTimes);
        Print("add by A until B's Watch reports it", delays);
        Print("  of which after A's commit returned", afterCommit);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tessary-database-run: %s\n", e.what());
        return 1;
    }
    return 0;
}
