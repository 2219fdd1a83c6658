// A throwaway PostgreSQL server for tests: a cluster made by initdb in a
// temporary folder, listening on a Unix socket in that folder and on a free
// loopback port, never the system's cluster. Its programs are taken from
// /usr/lib/postgresql/<newest>/bin, or else from PATH. PostgreSQL refuses to
// run as root: run by root, the cluster belongs to the user "postgres" (or
// else "nobody"), and its programs run as that user.
//
// The server runs as a child of the test process: the object ends it when
// it goes (also when a test fails), and the server follows the thread that
// started it when that dies (PR_SET_PDEATHSIG), so construct and Start it
// on a thread that outlives it, such as the test's own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::test {

class PostgresProcess {
public:
    // Why no throwaway PostgreSQL can be run here, in one line, or "" when
    // one can: for GTEST_SKIP().
    static std::string Unavailable();

    // Makes the cluster and starts the server; returns once it accepts
    // connections. Throws std::runtime_error with the server's last log lines
    // when it cannot.
    PostgresProcess();
    // Stops the server (fast shutdown, then SIGKILL) and removes the folder.
    ~PostgresProcess();
    PostgresProcess(const PostgresProcess &) = delete;
    PostgresProcess &operator=(const PostgresProcess &) = delete;

    // A libpq connection string for database (by the Unix socket; user
    // "tessary", no password needed).
    std::string ConnInfo(std::string_view database = "postgres") const;
    // The same over TCP to 127.0.0.1.
    std::string TcpConnInfo(std::string_view database = "postgres") const;
    std::uint16_t Port() const { return port_; }

    // Stops the server (fast shutdown: sessions are ended) and waits for it.
    void Stop();
    // Starts it again on the same data and port; returns once it accepts
    // connections.
    void Start();
    bool Running() const { return pid_ > 0; }

    // Runs sql (one or more statements) on database, as psql -c would;
    // the rows of the last statement, each value as text ("" for NULL).
    // Throws std::runtime_error with the server's message.
    std::vector<std::vector<std::string>> Sql(std::string_view sql, std::string_view database = "postgres") const;

private:
    // The server's log file, its last lines.
    std::string LogTail() const;

    std::filesystem::path bin_;   // the folder of initdb and postgres
    std::filesystem::path root_;  // data/, the socket, postgres.log
    uid_t uid_ = 0;               // whom the server runs as
    gid_t gid_ = 0;
    bool switchUser_ = false;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace tessary::test
