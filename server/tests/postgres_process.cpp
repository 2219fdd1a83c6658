#include "postgres_process.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace tessary::test {
namespace {

constexpr const char *kUser = "tessary";

// The folder holding initdb and postgres: the newest of Debian's versions,
// or the one on PATH.
std::filesystem::path FindPrograms() {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> found;
    for (const auto &version : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const fs::path bin = version.path() / "bin";
        if (fs::exists(bin / "initdb", ec) && fs::exists(bin / "postgres", ec)) found.push_back(bin);
    }
    if (!found.empty()) {
        // Version folders are numbers: the newest is the longest, then the greatest.
        return *std::max_element(found.begin(), found.end(), [](const fs::path &a, const fs::path &b) {
            const std::string x = a.parent_path().filename(), y = b.parent_path().filename();
            return x.size() != y.size() ? x.size() < y.size() : x < y;
        });
    }
    if (const char *path = std::getenv("PATH")) {
        std::stringstream folders(path);
        for (std::string folder; std::getline(folders, folder, ':');)
            if (!folder.empty() && fs::exists(fs::path(folder) / "initdb", ec) &&
                fs::exists(fs::path(folder) / "postgres", ec))
                return folder;
    }
    return {};
}

// The user a root process runs the server as.
const passwd *Unprivileged() {
    if (const passwd *user = ::getpwnam("postgres")) return user;
    return ::getpwnam("nobody");
}

std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "binding a free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

// Starts program with args, as uid/gid when switchUser, in folder, its
// output appended to log; returns its pid.
pid_t Spawn(const std::filesystem::path &program, const std::vector<std::string> &args, bool switchUser, uid_t uid,
            gid_t gid, const std::filesystem::path &folder, const std::filesystem::path &log) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) throw std::system_error(errno, std::generic_category(), "opening " + log.string());
    const std::string dir = folder.string();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(out);
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (pid == 0) {
        if (switchUser && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
        // After the change of user, which clears it: the server follows the
        // test process when that dies.
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (::getppid() != parent) ::_exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out);
    return pid;
}

// Waits up to wait for pid to end; its exit status, or -1 when it has not
// ended or ended by a signal.
int WaitFor(pid_t pid, std::chrono::milliseconds wait, bool *ended) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD)) {
            *ended = true;
            return got == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *ended = false;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Quoted(const std::filesystem::path &path) {
    std::string out = "'";
    for (char c : path.string()) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

std::string PostgresProcess::Unavailable() {
    if (FindPrograms().empty())
        return "PostgreSQL's initdb and postgres were found neither in /usr/lib/postgresql/*/bin nor on PATH "
               "(scripts/install-deps installs the package postgresql)";
    if (::geteuid() == 0 && !Unprivileged())
        return "running as root, and there is no user postgres or nobody to run PostgreSQL as";
    return {};
}

PostgresProcess::PostgresProcess() {
    if (const std::string why = Unavailable(); !why.empty()) throw std::runtime_error(why);
    bin_ = FindPrograms();
    std::string pattern = (std::filesystem::temp_directory_path() / "tessary-postgres.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    root_ = pattern;
    if (::geteuid() == 0) {
        const passwd *user = Unprivileged();
        switchUser_ = true;
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
        if (::chown(root_.c_str(), uid_, gid_) != 0) {
            const int error = errno;
            std::filesystem::remove_all(root_);
            throw std::system_error(error, std::generic_category(), "chown " + root_.string());
        }
    }
    try {
        const pid_t initdb = Spawn(bin_ / "initdb",
                                   {"--pgdata=" + (root_ / "data").string(), "--username=" + std::string(kUser),
                                    "--auth=trust", "--encoding=UTF8", "--locale=C", "--no-sync"},
                                   switchUser_, uid_, gid_, root_, root_ / "initdb.log");
        bool ended = false;
        const int status = WaitFor(initdb, std::chrono::seconds(120), &ended);
        if (!ended) {
            ::kill(initdb, SIGKILL);
            WaitFor(initdb, std::chrono::seconds(10), &ended);
        }
        if (status != 0) {
            std::ifstream log(root_ / "initdb.log");
            std::stringstream text;
            text << log.rdbuf();
            throw std::runtime_error("initdb failed: " + text.str());
        }
        // A port another process takes between the choice and the start is
        // chosen again.
        for (int attempt = 0;; ++attempt) {
            port_ = FreePort();
            try {
                Start();
                break;
            } catch (const std::runtime_error &) {
                if (attempt == 4 || LogTail().find("could not bind") == std::string::npos) throw;
            }
        }
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        throw;
    }
}

PostgresProcess::~PostgresProcess() {
    try {
        Stop();
    } catch (...) {
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::string PostgresProcess::ConnInfo(std::string_view database) const {
    return "host=" + Quoted(root_) + " port=" + std::to_string(port_) + " user=" + kUser + " dbname=" +
           std::string(database);
}

std::string PostgresProcess::TcpConnInfo(std::string_view database) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=" + kUser + " dbname=" + std::string(database);
}

void PostgresProcess::Start() {
    if (pid_ > 0) return;
    pid_ = Spawn(bin_ / "postgres",
                 {"-D", (root_ / "data").string(), "-k", root_.string(), "-p", std::to_string(port_), "-c",
                  "listen_addresses=127.0.0.1"},
                 switchUser_, uid_, gid_, root_, root_ / "postgres.log");
    const std::string conninfo = ConnInfo();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (PQping(conninfo.c_str()) != PQPING_OK) {
        bool ended = false;
        WaitFor(pid_, std::chrono::milliseconds(0), &ended);
        if (ended || std::chrono::steady_clock::now() >= deadline) {
            if (!ended) Stop();
            pid_ = -1;
            throw std::runtime_error("PostgreSQL did not start: " + LogTail());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PostgresProcess::Stop() {
    if (pid_ <= 0) return;
    bool ended = false;
    ::kill(pid_, SIGINT);  // fast shutdown
    WaitFor(pid_, std::chrono::seconds(60), &ended);
    if (!ended) {
        ::kill(pid_, SIGKILL);
        WaitFor(pid_, std::chrono::seconds(10), &ended);
    }
    pid_ = -1;
}

std::string PostgresProcess::LogTail() const {
    std::ifstream log(root_ / "postgres.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    std::string tail;
    for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) tail += lines[i] + " | ";
    return tail.empty() ? "(the log is empty)" : tail;
}

std::vector<std::vector<std::string>> PostgresProcess::Sql(std::string_view sql, std::string_view database) const {
    PGconn *connection = PQconnectdb(ConnInfo(database).c_str());
    struct Finish {
        PGconn *connection;
        ~Finish() { PQfinish(connection); }
    } finish{connection};
    if (PQstatus(connection) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to the test database: " + std::string(PQerrorMessage(connection)));
    PQsetNoticeProcessor(connection, [](void *, const char *) {}, nullptr);
    PGresult *result = PQexec(connection, std::string(sql).c_str());
    struct Clear {
        PGresult *result;
        ~Clear() { PQclear(result); }
    } clear{result};
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(std::string(sql) + ": " + PQresultErrorMessage(result));
    std::vector<std::vector<std::string>> rows(static_cast<std::size_t>(PQntuples(result)));
    for (int row = 0; row < PQntuples(result); ++row)
        for (int column = 0; column < PQnfields(result); ++column)
            rows[row].emplace_back(PQgetvalue(result, row, column), PQgetlength(result, row, column));
    return rows;
}

}  // namespace tessary::test
