// The vocabulary kept in a PostgreSQL database that several server processes
// share, through libpq.
//
// The schema. Table tessary_schema holds one row, the version of the schema
// the database is at; tessary_words holds one row a word: its id (the order
// words were first added in), its name (trimmed, UTF-8 in the database,
// Windows-1250 in the process) and when it was added; tessary_recordings
// holds one row a recording: its id, its word's id, its frame count and its
// frames as bytea, kFrameFloats little-endian IEEE floats a frame. Bytes
// rather than float4[]: the frames travel and are stored bit for bit (the
// energy of silence is minus infinity), in 4 bytes a float where a binary
// float4[] sends 8, and they are copied in and out whole, never parsed.
// Spellings are not stored: every process spells a word by its own rules.
//
// The seed is not stored: the database holds only what users added. Load
// returns the seed's words first, in the seed's order, then the database's
// words that the seed lacks, in the order first added; a database word whose
// trimmed name equals a seed word's adds its recordings to that word (whose
// model of recordings is then left to be made again), so no word appears
// twice.
//
// Start. The constructor connects and brings the schema to the version this
// program knows, under an advisory lock so that processes starting together
// migrate once: each migration runs in a transaction of its own together
// with the version it reaches, and migrations only add. A database at a
// newer version than this program knows is refused.
//
// Adds. AddRecording is one statement, so one transaction: the word is
// inserted or, when another process has it already, taken (INSERT ... ON
// CONFLICT), the recording inserted, and a notification queued; it returns
// once the commit is on disk (synchronous_commit on). While the database
// cannot be reached, it refuses at once with a plain reason; the writing
// connection is made again at the next add, and after a failed attempt no
// sooner than a back-off of 0.25 s, doubled at every further failure up to
// 8 s. A connection attempt lasts at most connect_timeout seconds (3 when
// the connection string names none).
//
// Changes of other processes. Every add notifies channel tessary_vocabulary
// with "<process token> <recording id>", never the data. Watch starts a
// thread with a connection of its own that LISTENs, fetches the notified
// recordings by id and reports them; notifications bearing this store's
// token are its own adds and are not reported; so when the writing
// connection is lost during an add, which may then have been stored, a
// reload is reported (if watching). When Watch starts, the
// recordings added since Load are reported. When the connection is lost, the
// thread connects again with the back-off above, LISTENs again and reports
// reloadEverything, since notifications sent meanwhile are lost (over TCP,
// keepalives find a server gone silent in about 25 s). Recordings
// that a Load returned are never reported afterwards; to keep a change that
// arrives during a Load from being taken twice, call Load on the thread that
// reports (from the callback), or replace the vocabulary with its result
// before applying later changes.
#pragma once

#include <atomic>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "vocabulary_store.h"

struct pg_conn;

namespace tessary {

class PostgresStore final : public VocabularyStore {
public:
    // The schema version this program makes and reads.
    static constexpr int kSchemaVersion = 1;

    // Connects to conninfo (a libpq connection string or URI) and creates or
    // migrates the schema. Throws std::runtime_error with a one-line reason
    // (without the password) when the string is not valid, the database
    // cannot be reached, or its schema is newer than this program's.
    explicit PostgresStore(const std::string &conninfo);
    // Stops the watching thread (promptly, also while it waits to connect).
    ~PostgresStore() override;
    PostgresStore(const PostgresStore &) = delete;
    PostgresStore &operator=(const PostgresStore &) = delete;

    // "PostgreSQL host=... port=... dbname=... user=...", the settings the
    // connection string gives, never its password.
    std::string Describe() const override;
    std::vector<std::shared_ptr<const Word>> Load(const std::vector<std::shared_ptr<const Word>> &seed) override;
    std::optional<StoreError> AddRecording(std::string_view word, std::span<const float> frames,
                                           const std::vector<std::shared_ptr<const Word>> &after) override;
    // Starts the watching thread; call it once.
    void Watch(std::function<void(StoreChange)> changed) override;
    // While watching, and the watching connection is lost until it is made
    // again: the database cannot be reached.
    std::string WhyCannotAdd() const override;

    struct ConnectionClose {
        void operator()(pg_conn *connection) const;
    };
    using Connection = std::unique_ptr<pg_conn, ConnectionClose>;

private:
    // A connection, or the reason there is none. Waits at most the connect
    // timeout, and returns early when stop_ is signalled.
    Connection Connect(std::string &error) const;
    void Migrate(pg_conn *connection);
    // The writing connection, made when there is none and the back-off
    // allows; null with the reason otherwise. writeMutex_ held.
    pg_conn *Writer(std::string &error);
    // The writing connection was lost; when in the middle of an add, that
    // add may have been stored (and its notification is this store's own).
    void WriterLost(const std::string &error, bool duringAdd);

    void WatchLoop();
    // Reports the recordings of ids not yet known; false when the connection
    // failed.
    bool Report(pg_conn *connection, std::vector<std::int64_t> ids);
    // Waits for the stop signal up to wait; true when stopping.
    bool WaitForStop(std::chrono::milliseconds wait) const;
    // message without the password, on one line.
    std::string Scrub(std::string message) const;

    std::string conninfo_;
    std::string password_;  // only to keep it out of messages
    std::string description_;
    std::chrono::seconds connectTimeout_{3};
    std::string token_;     // names this store's notifications
    // A signal between threads that poll(2) waits for: an eventfd.
    class Signal {
    public:
        Signal();
        ~Signal();
        Signal(const Signal &) = delete;
        Signal &operator=(const Signal &) = delete;
        int Fd() const { return fd_; }
        void Raise();
        // Whether it was raised since the last Take.
        bool Take();

    private:
        int fd_;
    };
    Signal stop_;    // raised by the destructor, never taken
    Signal reload_;  // raised when an add may have been stored although it failed

    std::atomic<bool> watching_{false};
    std::atomic<bool> listening_{false};  // the watching connection listens

    std::mutex writeMutex_;
    Connection writer_;
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::chrono::milliseconds backOff_{0};
    std::string lastError_;

    std::mutex knownMutex_;
    std::unordered_set<std::int64_t> known_;  // recordings loaded, reported or added here
    bool loaded_ = false;

    std::function<void(StoreChange)> changed_;
    std::thread watcher_;
};

}  // namespace tessary
