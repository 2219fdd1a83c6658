// Several tessary-server programs sharing one vocabulary in a throwaway
// PostgreSQL, behind HAProxy started with the shipped configuration, all on
// loopback: what the cluster tests and tessary-cluster-run both start.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "haproxy_process.h"
#include "postgres_process.h"
#include "server_process.h"
#include "test_client.h"

namespace tessary::test {

class ClusterProcesses {
public:
    // Starts the database (with a database "tessary"), count instances with
    // --database and --proxy-protocol and any further options, their data
    // folders in dir, and HAProxy; returns once HAProxy sees every instance
    // up. Throws std::runtime_error naming what did not come up.
    ClusterProcesses(const std::filesystem::path &dir, const std::filesystem::path &seed, int count,
                     std::vector<std::string> options = {});

    // Instance i (from 0) as HAProxy's configuration names it.
    static std::string ServerName(int i) { return "tessary-" + std::to_string(i + 1); }
    // Instance i started again, on port (0: a free one).
    std::unique_ptr<Process> StartInstance(int i, std::uint16_t port = 0) const;
    // A session with instance i itself, not through HAProxy.
    std::unique_ptr<TestClient> Direct(int i) const { return DirectClient(ports[static_cast<std::size_t>(i)]); }
    // Which instance logged the client's session; -1 for none.
    int InstanceOf(const TestClient &client) const { return test::InstanceOf(instances, client); }

    std::unique_ptr<PostgresProcess> database;
    std::vector<std::unique_ptr<Process>> instances;
    std::vector<std::uint16_t> ports;
    std::unique_ptr<HaproxyProcess> haproxy;

private:
    std::filesystem::path dir_, seed_;
    std::vector<std::string> options_;
};

}  // namespace tessary::test
