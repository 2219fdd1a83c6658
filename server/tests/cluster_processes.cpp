#include "cluster_processes.h"

#include <stdexcept>

namespace tessary::test {

ClusterProcesses::ClusterProcesses(const std::filesystem::path &dir, const std::filesystem::path &seed, int count,
                                   std::vector<std::string> options)
    : dir_(dir), seed_(seed), options_(std::move(options)) {
    database = std::make_unique<PostgresProcess>();
    database->Sql("CREATE DATABASE tessary");
    for (int i = 0; i < count; ++i) {
        instances.push_back(StartInstance(i));
        ports.push_back(instances.back()->ListeningPort());
        if (ports.back() == 0) throw std::runtime_error("instance " + std::to_string(i + 1) + " did not start");
    }
    haproxy = std::make_unique<HaproxyProcess>(TESSARY_HAPROXY_CONFIG, dir_, ports);
    for (int i = 0; i < count; ++i)
        if (!haproxy->WaitForServerState(ServerName(i), 2))
            throw std::runtime_error("HAProxy does not see " + ServerName(i) + " up: " +
                                     haproxy->Command("show servers state"));
}

std::unique_ptr<Process> ClusterProcesses::StartInstance(int i, std::uint16_t port) const {
    std::vector<std::string> args{"--listen", "127.0.0.1", "--port", std::to_string(port), "--data",
                                  (dir_ / ("instance-" + std::to_string(i))).string(), "--seed", seed_.string(),
                                  "--threads", "2", "--proxy-protocol", "--database", database->ConnInfo("tessary")};
    args.insert(args.end(), kRecordingsOnly.begin(), kRecordingsOnly.end());
    args.insert(args.end(), options_.begin(), options_.end());
    return std::make_unique<Process>(std::move(args));
}

}  // namespace tessary::test
