// tessary-server: isolated-word recognition for the Tessary client.
//
//   tessary-server [--listen ADDRESS] [--port N] [--data DIR] [--seed FILE] [--phones FILE|none]
//                  [--reject-margin X|off] [--threads N] [--timeout S]
//                  [--enrol-from CIDR[,CIDR...]] [--max-sessions-per-address N] [--max-adds-per-minute N]
//                  [--max-words N] [--max-recorded-frames N] [--database CONNINFO] [--proxy-protocol]
//                  [--verbose] [--version]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "admission.h"
#include "packet/code_page.h"
#include "log.h"
#include "server.h"
#include "tessary_version.h"
#include "postgres_store.h"
#include "vocabulary.h"

namespace {

constexpr const char *kUsage =
    "usage: tessary-server [--listen ADDRESS] [--port N] [--data DIR] [--seed FILE] [--phones FILE|none]\n"
    "                      [--reject-margin X|off] [--threads N] [--timeout S]\n"
    "                      [--enrol-from CIDR[,CIDR...]] [--max-sessions-per-address N]\n"
    "                      [--max-adds-per-minute N] [--max-words N] [--max-recorded-frames N]\n"
    "                      [--database CONNINFO] [--proxy-protocol] [--verbose] [--version]\n"
    "  --listen ADDRESS  address to listen on (default: all interfaces)\n"
    "  --port N          TCP port (default: 105, the client's default)\n"
    "  --data DIR        folder of the vocabulary (default: ./tessary-data)\n"
    "  --database CONNINFO\n"
    "                    keep the added words and recordings in this PostgreSQL database\n"
    "                    (a libpq connection string or URI) instead of DIR, shared with\n"
    "                    every server started with the same database\n"
    "  --seed FILE       vocabulary file or word list (UTF-8, a word a line) to start\n"
    "                    from when DIR has none (default: seed-vocabulary.tsv beside\n"
    "                    the program, or the installed one)\n"
    "  --phones FILE     phone models that words are spelled with (default:\n"
    "                    phone-models.tsv beside the program, or the installed one);\n"
    "                    none: words are recognised by their recordings alone (words\n"
    "                    that are not Czech)\n"
    "  --reject-margin X how far (log probability a second of speech) the best word\n"
    "                    may score below the phone loop and still be recognised (default 3.5;\n"
    "                    smaller rejects more; off: never \"Not recognised.\")\n"
    "  --threads N       threads serving the sessions (default: the number of cores)\n"
    "  --timeout S       seconds a begun packet has to arrive whole, and a client to\n"
    "                    take waiting answers, before its session is closed (default: 30)\n"
    "  --enrol-from CIDR[,CIDR...]\n"
    "                    the networks from which clients may add words (ADDW), such as\n"
    "                    127.0.0.0/8,::1,192.168.1.0/24, or none (default: 127.0.0.0/8,::1)\n"
    "  --max-sessions-per-address N\n"
    "                    sessions one client address may hold open (default: 32; 0: no limit)\n"
    "  --max-adds-per-minute N\n"
    "                    words one client address may add within a minute (default: 30; 0: no limit)\n"
    "  --max-words N     words the vocabulary may grow to by adds (default: 10000)\n"
    "  --max-recorded-frames N\n"
    "                    frames (100 a second) all recordings of added words may hold together\n"
    "                    (default: 1000000, 10000 s of speech)\n"
    "  --proxy-protocol  every connection comes through a proxy (HAProxy's send-proxy-v2)\n"
    "                    and begins with its PROXY protocol version 2 header: the client\n"
    "                    it names is the one the limits and the log see; a connection\n"
    "                    without a good header is closed\n"
    "  --verbose         log a time-stamped line for every packet in and out\n"
    "  --version         print the version and exit\n";

struct Options {
    std::string listen;
    unsigned short port = 105;
    std::filesystem::path data = "tessary-data";
    std::string database;  // a libpq connection string; empty: the vocabulary file in data
    std::filesystem::path seed;
    std::filesystem::path phones;
    float rejectionMargin = tessary::kDefaultRejectionMargin;
    unsigned threads = 0;
    std::chrono::milliseconds timeout{30000};
    tessary::AdmissionRules admission;
    tessary::VocabularyBounds bounds;
    bool proxyProtocol = false;
    bool verbose = false;
};

bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &value) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && value >= low && value <= high;
}

// Parses the command line; on a mistake prints one line and the usage.
bool ParseOptions(int argc, char **argv, Options &options) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        unsigned long n = 0;
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (a == "--version") {
            std::cout << "tessary-server " TESSARY_VERSION "\n";
            std::exit(0);
        } else if (a == "--verbose") {
            options.verbose = true;
        } else if (a == "--proxy-protocol") {
            options.proxyProtocol = true;
        } else if (a == "--listen" && value(v)) {
            options.listen = v;
        } else if (a == "--port" && value(v)) {
            if (!ParseNumber(v, 0, 65535, n)) {
                std::cerr << "tessary-server: --port needs a number from 0 to 65535, not \"" << v << "\"\n";
                return false;
            }
            options.port = static_cast<unsigned short>(n);
        } else if (a == "--threads" && value(v)) {
            if (!ParseNumber(v, 1, 64, n)) {
                std::cerr << "tessary-server: --threads needs a number from 1 to 64, not \"" << v << "\"\n";
                return false;
            }
            options.threads = static_cast<unsigned>(n);
        } else if (a == "--timeout" && value(v)) {
            double seconds = 0;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), seconds);
            if (r.ec != std::errc() || r.ptr != v.data() + v.size() || !(seconds >= 0.05 && seconds <= 86400)) {
                std::cerr << "tessary-server: --timeout needs seconds from 0.05 to 86400, not \"" << v << "\"\n";
                return false;
            }
            options.timeout = std::chrono::milliseconds(std::lround(seconds * 1000));
        } else if (a == "--enrol-from" && value(v)) {
            try {
                options.admission.enrolFrom = tessary::EnrolmentPolicy::Parse(v);
            } catch (const std::invalid_argument &e) {
                std::cerr << "tessary-server: --enrol-from: " << e.what() << "\n";
                return false;
            }
        } else if ((a == "--max-sessions-per-address" || a == "--max-adds-per-minute") && value(v)) {
            if (!ParseNumber(v, 0, 1000000, n)) {
                std::cerr << "tessary-server: " << a << " needs a number from 0 (no limit) to 1000000, not \"" << v
                          << "\"\n";
                return false;
            }
            (a == "--max-adds-per-minute" ? options.admission.maxAddsPerMinute
                                          : options.admission.maxSessionsPerAddress) = n;
        } else if (a == "--max-words" && value(v)) {
            if (!ParseNumber(v, 1, 10000000, n)) {
                std::cerr << "tessary-server: --max-words needs a number from 1 to 10000000, not \"" << v << "\"\n";
                return false;
            }
            options.bounds.maxWords = n;
        } else if (a == "--max-recorded-frames" && value(v)) {
            if (!ParseNumber(v, 1, 1000000000, n)) {
                std::cerr << "tessary-server: --max-recorded-frames needs a number from 1 to 1000000000, not \""
                          << v << "\"\n";
                return false;
            }
            options.bounds.maxRecordedFrames = n;
        } else if (a == "--data" && value(v)) {
            options.data = v;
        } else if (a == "--database" && value(v)) {
            if (v.empty()) {
                std::cerr << "tessary-server: --database needs a connection string, such as "
                             "\"host=/run/postgresql dbname=tessary\"\n";
                return false;
            }
            options.database = v;
        } else if (a == "--seed" && value(v)) {
            options.seed = v;
        } else if (a == "--phones" && value(v)) {
            options.phones = v;
        } else if (a == "--reject-margin" && value(v)) {
            float margin = 0;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), margin);
            if (v == "off") {
                options.rejectionMargin = std::numeric_limits<float>::infinity();
            } else if (r.ec != std::errc() || r.ptr != v.data() + v.size() || !(margin >= 0 && margin <= 100)) {
                std::cerr << "tessary-server: --reject-margin needs a number from 0 to 100 or off, not \"" << v
                          << "\"\n";
                return false;
            } else {
                options.rejectionMargin = margin;
            }
        } else {
            std::cerr << "tessary-server: unknown option or missing value: " << a << "\n" << kUsage;
            return false;
        }
    }
    return true;
}

// The file of that name beside the program (in a build), or the installed
// one, or nothing.
std::filesystem::path BesideOrInstalled(const char *name, const std::filesystem::path &installed) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto beside = self.parent_path() / name;
        if (std::filesystem::exists(beside, ec)) return beside;
    }
    if (std::filesystem::exists(installed, ec)) return installed;
    return {};
}

// Raises the soft limit of open descriptors to the hard one: each session
// holds one. Returns the line that says what became of it.
std::string RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::string("descriptor limit unknown: ") + std::strerror(errno);
    const rlim_t soft = limit.rlim_cur;
    rlim_t target = limit.rlim_max;
    if (target == RLIM_INFINITY) {
        // The kernel's own ceiling for the descriptors of one process.
        unsigned long ceiling = 1024 * 1024;
        std::ifstream("/proc/sys/fs/nr_open") >> ceiling;
        target = ceiling;
    }
    if (soft == RLIM_INFINITY || soft >= target) return "descriptor limit " + std::to_string(soft) + " (the hard limit)";
    limit.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return "descriptor limit stays " + std::to_string(soft) + ": cannot raise it to " + std::to_string(target) +
               ": " + std::strerror(errno);
    return "descriptor limit raised from " + std::to_string(soft) + " to " + std::to_string(target);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    tessary::Log log(std::cerr, options.verbose);
    // A save that meets a file size limit fails with its reason instead of
    // ending the program; so does a log on a closed pipe.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
#if defined(__GLIBC__)
    // Large buffers (a 16 MiB payload, a queue of answers) get pages of
    // their own and give them back when freed, whatever sizes came before.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif

    std::unique_ptr<tessary::Vocabulary> vocabulary;
    std::shared_ptr<const tessary::PhoneModels> phones;
    std::string phonesLine;
    try {
        const std::filesystem::path seed =
            options.seed.empty() ? BesideOrInstalled("seed-vocabulary.tsv", TESSARY_SEED_INSTALLED) : options.seed;
        if (!options.seed.empty() && !std::filesystem::exists(options.seed)) {
            log.Line("error: the seed vocabulary " + options.seed.string() + " does not exist");
            return 1;
        }
        const bool phonesOff = options.phones == "none";
        const std::filesystem::path phonesFile =
            phonesOff ? std::filesystem::path()
            : options.phones.empty() ? BesideOrInstalled("phone-models.tsv", TESSARY_PHONES_INSTALLED)
                                     : options.phones;
        if (phonesOff) {
            phonesLine = "phone models off (--phones none): words are recognised by their recordings "
                         "and trained models only, never by spelling";
        } else if (!phonesFile.empty()) {
            phones = tessary::LoadPhoneModelsFile(phonesFile);
            char margin[32];
            std::snprintf(margin, sizeof margin, "%g", static_cast<double>(options.rejectionMargin));
            phonesLine = "phone models from " + phonesFile.string() + ", rejection margin " +
                         (std::isfinite(options.rejectionMargin) ? margin : "off");
        } else {
            phonesLine = "no phone models found (phone-models.tsv): words are recognised by their recordings "
                         "and trained models only, never by spelling";
        }
        if (options.database.empty())
            vocabulary = tessary::Vocabulary::Open(options.data, seed, phones, options.rejectionMargin);
        else
            vocabulary = tessary::Vocabulary::Open(std::make_unique<tessary::PostgresStore>(options.database), seed,
                                                   phones, options.rejectionMargin);
        vocabulary->SetBounds(options.bounds);
        if (const std::size_t stale = vocabulary->StaleFilesRemoved())
            log.Line("removed " + std::to_string(stale) + (stale == 1 ? " temporary file" : " temporary files") +
                     " of an interrupted save from " + options.data.string());
        for (const std::string &note : vocabulary->OpenNotes()) log.Line(note);
        vocabulary->OnChangeApplied([&log](const std::string &note) { log.Line(note); });
    } catch (const std::exception &e) {
        log.Line(std::string("error: ") + e.what());
        return 1;
    }

    asio::io_context io;
    tessary::SessionLimits limits;
    limits.packetTimeout = options.timeout;
    limits.readTimeout = options.timeout;
    limits.proxyProtocol = options.proxyProtocol;
    std::unique_ptr<tessary::Server> server;
    asio::ip::tcp::endpoint endpoint;
    try {
        if (options.listen.empty()) {
            // All interfaces: IPv6 and IPv4 together where the system has IPv6.
            try {
                endpoint = {asio::ip::address_v6::any(), options.port};
                server = std::make_unique<tessary::Server>(io, endpoint, *vocabulary, log, limits, 0, options.admission);
            } catch (const std::system_error &e) {
                if (e.code() == asio::error::address_in_use || e.code() == asio::error::access_denied) throw;
                endpoint = {asio::ip::address_v4::any(), options.port};
                server = std::make_unique<tessary::Server>(io, endpoint, *vocabulary, log, limits, 0, options.admission);
            }
        } else {
            asio::error_code ec;
            const auto address = asio::ip::make_address(options.listen, ec);
            if (ec) {
                log.Line("error: --listen needs an IP address, not \"" + options.listen + "\"");
                return 2;
            }
            endpoint = {address, options.port};
            server = std::make_unique<tessary::Server>(io, endpoint, *vocabulary, log, limits, 0, options.admission);
        }
    } catch (const std::system_error &e) {
        std::string hint;
        if (e.code() == asio::error::access_denied && options.port < 1024)
            hint = " (ports below 1024 need root or CAP_NET_BIND_SERVICE; try --port 10105)";
        log.Line("error: cannot listen on port " + std::to_string(options.port) + ": " + e.code().message() + hint);
        return 1;
    }

    const unsigned threads =
        options.threads ? options.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
    const auto local = server->LocalEndpoint();
    log.Line(RaiseDescriptorLimit());
    log.Line("tessary-server listening on " + local.address().to_string() + " port " + std::to_string(local.port()) +
             ", " + std::to_string(vocabulary->Size()) + " words in " + vocabulary->Where() + ", " +
             std::to_string(threads) + " threads" +
             (options.proxyProtocol ? ", behind a proxy (PROXY protocol version 2 header required)" : "") +
             (options.verbose ? ", verbose" : ""));
    log.Line(phonesLine);
    log.Line(tessary::DescribeRules(options.admission) + "; the vocabulary at most " +
             std::to_string(options.bounds.maxWords) + " words and " +
             std::to_string(options.bounds.maxRecordedFrames) + " recorded frames");

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code &ec, int signal) {
        if (ec) return;
        log.Line(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        server->Stop();
        io.stop();
    });

    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i)
        pool.emplace_back([&io, &log] {
            try {
                io.run();
            } catch (const std::exception &e) {
                log.Line(std::string("error: ") + e.what());
            }
        });
    try {
        io.run();
    } catch (const std::exception &e) {
        log.Line(std::string("error: ") + e.what());
    }
    io.stop();
    for (auto &t : pool) t.join();
    return 0;
}
