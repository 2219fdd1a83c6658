// Three tessary-server instances sharing one vocabulary in a real PostgreSQL,
// behind a real HAProxy started with the shipped configuration, as
// scripts/cluster runs them: sessions spread over every instance, a word
// added through one is heard through the others, and the cluster rides out
// an instance killed, the database restarted and an instance drained.
// Skipped, in one line, where PostgreSQL or HAProxy is not installed.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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


// A word the seed does not have, spoken as the made-up word 4.
constexpr const char *kNewWord = "slovo";

class Cluster : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = PostgresProcess::Unavailable(); !why.empty())
            GTEST_SKIP() << "no PostgreSQL for the cluster tests: " << why;
        if (HaproxyProcess::Program().empty())
            GTEST_SKIP() << "haproxy not found (scripts/install-deps installs it): the cluster tests are skipped";
        try {
            cluster_ = std::make_unique<ClusterProcesses>(dir_.Path(), seed_, kInstances);
        } catch (const std::exception &e) {
            FAIL() << e.what();
        }
    }

    static std::string ServerName(int i) { return ClusterProcesses::ServerName(i); }
    std::unique_ptr<TestClient> Direct(int i) { return cluster_->Direct(i); }
    int InstanceOf(const TestClient &client) { return cluster_->InstanceOf(client); }

    // Adds kNewWord through a session, as a user does: "ADDW", then the word said.
    static std::string AddWord(TestClient &client, const std::string &word, int id) {
        client.Send("ADDW", 0, word);
        client.ReadMessage();
        return client.Utter(Utterance(id, 40));
    }

    // Whether instance i lists the word, asked until the wait is over.
    bool Lists(int i, const std::string &word, std::chrono::milliseconds wait) {
        const auto until = Clock::now() + wait;
        auto client = Direct(i);
        do {
            client->Send("GETV");
            if (client->ReadMessage().find("\r\n" + word + "\r\n") != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        } while (Clock::now() < until);
        return false;
    }

    TempDir dir_;
    std::filesystem::path seed_ = WriteSeedFile(dir_.Path());
    std::unique_ptr<ClusterProcesses> cluster_;
};

TEST_F(Cluster, SessionsSpreadOverEveryInstanceAndAWordAddedThroughOneIsHeardThroughEveryOther) {
    // 300 sessions held at once, from 50 addresses (each instance lets one
    // address hold 32): leastconn gives every instance its share.
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int n = 0; n < 300; ++n) {
        clients.push_back(std::make_unique<TestClient>(cluster_->haproxy->Port(), "127.0.0." + std::to_string(2 + n % 50)));
        clients.back()->Send("PING", n, "x");
        const auto pong = clients.back()->Read();
        ASSERT_TRUE(pong && pong->type == "PONG" && pong->number == n) << "session " << n;
    }
    int share[kInstances] = {};
    for (const auto &client : clients) {
        const int i = InstanceOf(*client);
        ASSERT_NE(i, -1) << client->Name() << " is in no instance's log";
        ++share[i];
    }
    for (int i = 0; i < kInstances; ++i) EXPECT_GE(share[i], 300 / 5) << ServerName(i);
    clients.clear();

    // A word added through the first instance: the others list it and hear
    // it within a second.
    auto adder = Direct(0);
    ASSERT_EQ(AddWord(*adder, kNewWord, 4), std::string("Added the word ") + kNewWord + " to the vocabulary.\r\n");
    for (int i = 1; i < kInstances; ++i) {
        EXPECT_TRUE(Lists(i, kNewWord, 1s)) << ServerName(i);
        EXPECT_EQ(Direct(i)->Utter(Utterance(4, 40)), std::string("Recognised: ") + kNewWord + "\r\n") << ServerName(i);
    }

    // The same word added through two instances at once: one word holding
    // both recordings, everywhere.
    auto a = Direct(1), b = Direct(2);
    a->Send("ADDW", 0, "kocka");
    b->Send("ADDW", 0, "kocka");
    a->ReadMessage();
    b->ReadMessage();
    std::thread other([&] { EXPECT_NE(b->Utter(Utterance(5, 40)).find("kocka"), std::string::npos); });
    EXPECT_NE(a->Utter(Utterance(5, 42)).find("kocka"), std::string::npos);
    other.join();
    for (int i = 0; i < kInstances; ++i) {
        ASSERT_TRUE(Lists(i, "kocka", 1s)) << ServerName(i);
        auto client = Direct(i);
        client->Send("GETV");
        const std::string list = client->ReadMessage();
        EXPECT_EQ(list.find("\r\nkocka\r\n"), list.rfind("\r\nkocka\r\n")) << ServerName(i) << ": " << list;
    }
}

TEST_F(Cluster, AKilledInstanceLosesOnlyItsSessionsAndNoWord) {
    // A word added through the instance that is about to die.
    auto adder = Direct(1);
    ASSERT_EQ(AddWord(*adder, kNewWord, 4), std::string("Added the word ") + kNewWord + " to the vocabulary.\r\n");
    adder.reset();

    std::vector<std::unique_ptr<TestClient>> clients;
    for (int n = 0; n < 30; ++n) clients.push_back(std::make_unique<TestClient>(cluster_->haproxy->Port()));
    for (auto &client : clients) EXPECT_EQ(client->Utter(Utterance(0, 40)), "Recognised: ano\r\n");

    cluster_->instances[1]->Signal(SIGKILL);
    cluster_->instances[1]->Wait();
    ASSERT_TRUE(cluster_->haproxy->WaitForServerState(ServerName(1), 0)) << cluster_->haproxy->Command("show servers state");

    // The sessions of the others go on; every new session is served.
    for (auto &client : clients) {
        if (InstanceOf(*client) != 1) {
            EXPECT_EQ(client->Utter(Utterance(1, 40)), "Recognised: ne\r\n");
        }
    }
    for (int n = 0; n < 30; ++n) {
        TestClient client(cluster_->haproxy->Port());
        EXPECT_EQ(client.Utter(Utterance(4, 40)), std::string("Recognised: ") + kNewWord + "\r\n") << "session " << n;
        EXPECT_NE(InstanceOf(client), 1);
    }
}

TEST_F(Cluster, RecognitionGoesOnWhileTheDatabaseIsDownAndNoWordIsLost) {
    auto client = Direct(0);
    ASSERT_EQ(AddWord(*client, kNewWord, 4), std::string("Added the word ") + kNewWord + " to the vocabulary.\r\n");
    for (int i = 1; i < kInstances; ++i) ASSERT_TRUE(Lists(i, kNewWord, 1s)) << ServerName(i);

    cluster_->database->Stop();
    for (int i = 0; i < kInstances; ++i)
        EXPECT_EQ(Direct(i)->Utter(Utterance(4, 40)), std::string("Recognised: ") + kNewWord + "\r\n") << ServerName(i);
    // Told at once, before the word is said; the log says why.
    const auto until = Clock::now() + 5s;
    std::string refused;
    do {
        client->Send("ADDW", 0, "kocka");
        refused = client->ReadMessage();
        if (refused.starts_with("Cannot add")) break;
        client->Utter(Utterance(0, 40));  // the database's end not seen yet: the recording is refused instead
    } while (Clock::now() < until);
    EXPECT_EQ(refused, "Cannot add the word: the vocabulary database cannot be reached now.\r\n");
    EXPECT_TRUE(cluster_->instances[0]->WaitForLines("ADDW refused: the vocabulary database cannot be reached now", 1));
    EXPECT_EQ(client->Utter(Utterance(0, 40)), "Recognised: ano\r\n");

    // Back again: adds work once the instance has reconnected.
    cluster_->database->Start();
    const auto back = Clock::now() + 20s;
    std::string answer;
    do {
        client->Send("ADDW", 0, "kocka");
        answer = client->ReadMessage();
        if (!answer.starts_with("Cannot add")) break;
        std::this_thread::sleep_for(200ms);
    } while (Clock::now() < back);
    ASSERT_EQ(client->Utter(Utterance(5, 40)), "Added the word kocka to the vocabulary.\r\n") << answer;
    for (int i = 0; i < kInstances; ++i) {
        EXPECT_TRUE(Lists(i, kNewWord, 1s)) << ServerName(i);
        EXPECT_TRUE(Lists(i, "kocka", 1s)) << ServerName(i);
    }
}

TEST_F(Cluster, ADrainedInstanceFinishesItsSessionsAndGetsNoNewOnes) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int n = 0; n < 6; ++n) {
        clients.push_back(std::make_unique<TestClient>(cluster_->haproxy->Port()));
        EXPECT_EQ(clients.back()->Utter(Utterance(0, 40)), "Recognised: ano\r\n");
    }
    cluster_->haproxy->Command("set server tessary/" + ServerName(0) + " state drain");

    for (int n = 0; n < 12; ++n) {
        TestClient client(cluster_->haproxy->Port());
        EXPECT_EQ(client.Utter(Utterance(1, 40)), "Recognised: ne\r\n");
        EXPECT_NE(InstanceOf(client), 0) << "a new session went to the drained instance";
    }
    int drained = 0;
    for (auto &client : clients) {
        drained += InstanceOf(*client) == 0;
        EXPECT_EQ(client->Utter(Utterance(1, 40)), "Recognised: ne\r\n");
    }
    EXPECT_GT(drained, 0) << "no session was on the drained instance to finish";
}

}  // namespace
}  // namespace tessary::test
