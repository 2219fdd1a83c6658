#include "postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "frame_features.h"
#include "packet/code_page.h"

namespace tessary {
namespace {

constexpr const char *kChannel = "tessary_vocabulary";
// Held while the schema is made or migrated: "tessary" and a 1.
constexpr std::int64_t kMigrationLock = 0x7465737361727901;
constexpr std::chrono::milliseconds kFirstBackOff{250};
constexpr std::chrono::milliseconds kLastBackOff{8000};
constexpr int kFrameBytes = kFrameFloats * 4;

constexpr const char *kUnreachable = "the word cannot be added now: the vocabulary database cannot be reached";
constexpr const char *kRefused = "the word cannot be added now: the vocabulary database refused it";

// The migrations, in order: migration i brings the schema to version i + 1.
// A migration only adds; it never drops or rewrites words or recordings.
static_assert(kFrameBytes == 36, "the schema's frames are 9 floats of 4 bytes");
const std::vector<std::string> &Migrations() {
    static const std::vector<std::string> migrations = {
        R"(CREATE TABLE tessary_words (
               id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
               name text NOT NULL UNIQUE CHECK (name <> ''),
               added timestamptz NOT NULL DEFAULT now());
           COMMENT ON TABLE tessary_words IS 'words of the vocabulary added by users, by their trimmed names';
           CREATE TABLE tessary_recordings (
               id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
               word bigint NOT NULL REFERENCES tessary_words (id),
               frame_count integer NOT NULL CHECK (frame_count > 0),
               frames bytea NOT NULL CHECK (octet_length(frames) = frame_count * 36),
               added timestamptz NOT NULL DEFAULT now());
           CREATE INDEX tessary_recordings_word ON tessary_recordings (word);
           COMMENT ON COLUMN tessary_recordings.frames IS
               'frames of speech, 9 little-endian IEEE floats of 4 bytes a frame';)",
    };
    return migrations;
}

struct ResultClear {
    void operator()(PGresult *result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

struct ConninfoFree {
    void operator()(PQconninfoOption *options) const { PQconninfoFree(options); }
};

void IgnoreNotice(void *, const char *) {}

StoreChange Reload() {
    StoreChange change;
    change.reloadEverything = true;
    return change;
}

// text with what stands between double quotes left out.
std::string WithoutQuoted(std::string_view text) {
    std::string out;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            out += quoted ? "...\"" : "\"";
            quoted = !quoted;
        } else if (!quoted) {
            out += c;
        }
    }
    return out;
}

// libpq's messages end with a line end, and some span lines.
std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
    return text;
}

bool Ok(const PGresult *result) {
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Why(pg_conn *connection, const PGresult *result) {
    const char *message = result ? PQresultErrorMessage(result) : "";
    if (!*message) message = PQerrorMessage(connection);
    return OneLine(message);
}

Result Exec(pg_conn *connection, const std::string &sql) { return Result(PQexec(connection, sql.c_str())); }

std::int64_t BigInt(const PGresult *result, int row, int column) {  // a binary int8
    std::uint64_t value = 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(PQgetvalue(result, row, column));
    for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
    return static_cast<std::int64_t>(value);
}

std::string FramesToBytes(std::span<const float> frames) {
    std::string bytes(frames.size() * 4, '\0');
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(frames[i]);
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<char>(bits >> (8 * b) & 0xFF);
    }
    return bytes;
}

std::vector<float> BytesToFrames(const char *bytes, int length) {
    std::vector<float> frames(static_cast<std::size_t>(length) / 4);
    const auto *in = reinterpret_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::uint32_t bits = 0;
        for (int b = 3; b >= 0; --b) bits = bits << 8 | in[i * 4 + b];
        frames[i] = std::bit_cast<float>(bits);
    }
    return frames;
}

// A recording row of a result, or nullopt when the name is no
// Windows-1250 text or the frames are not whole frames.
std::optional<StoredRecording> RecordingOf(const PGresult *result, int row, int nameColumn, int framesColumn) {
    std::optional<std::string> name =
        Utf8ToCp1250(std::string_view(PQgetvalue(result, row, nameColumn), PQgetlength(result, row, nameColumn)));
    const int length = PQgetlength(result, row, framesColumn);
    if (!name || length == 0 || length % kFrameBytes != 0) return std::nullopt;
    return StoredRecording{std::move(*name), BytesToFrames(PQgetvalue(result, row, framesColumn), length)};
}

std::string RandomToken() {
    std::random_device device;
    std::uniform_int_distribution<std::uint64_t> any;
    const std::uint64_t value = any(device) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
    char text[17];
    for (int i = 0; i < 16; ++i) text[i] = "0123456789abcdef"[value >> (60 - 4 * i) & 0xF];
    text[16] = '\0';
    return text;
}

}  // namespace

void PostgresStore::ConnectionClose::operator()(pg_conn *connection) const { PQfinish(connection); }

PostgresStore::PostgresStore(const std::string &conninfo) : conninfo_(conninfo), token_(RandomToken()) {
    char *parseError = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(conninfo.c_str(), &parseError));
    if (!options) {
        std::string why = parseError ? OneLine(parseError) : "out of memory";
        PQfreemem(parseError);
        // The message may quote a piece of the string, which may be the
        // password's.
        if (conninfo.find("password") != std::string::npos || conninfo.find('@') != std::string::npos)
            why = WithoutQuoted(why);
        throw std::runtime_error("the database connection string is not valid: " + why);
    }
    std::unordered_map<std::string_view, std::string_view> given;
    for (const PQconninfoOption *o = options.get(); o->keyword; ++o)
        if (o->val && *o->val) given.emplace(o->keyword, o->val);
    if (auto it = given.find("password"); it != given.end()) password_ = it->second;
    if (auto it = given.find("connect_timeout"); it != given.end()) {
        int seconds = 0;
        std::from_chars(it->second.data(), it->second.data() + it->second.size(), seconds);
        if (seconds > 0) connectTimeout_ = std::chrono::seconds(std::max(seconds, 2));
    }
    description_ = "PostgreSQL";
    for (const std::string_view keyword : {"host", "hostaddr", "port", "dbname", "user"})
        if (auto it = given.find(keyword); it != given.end())
            description_.append(" ").append(keyword).append("=").append(it->second);
    if (description_ == "PostgreSQL") description_ += " (libpq's defaults)";

    std::string error;
    Connection connection = Connect(error);
    if (!connection)
        throw std::runtime_error("cannot connect to the vocabulary database " + description_ + ": " + error);
    Migrate(connection.get());
    writer_ = std::move(connection);
}

PostgresStore::~PostgresStore() {
    stop_.Raise();
    if (watcher_.joinable()) watcher_.join();
}

PostgresStore::Signal::Signal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::runtime_error("cannot make an eventfd: " + std::string(std::strerror(errno)));
}

PostgresStore::Signal::~Signal() { ::close(fd_); }

void PostgresStore::Signal::Raise() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

bool PostgresStore::Signal::Take() {
    std::uint64_t count = 0;
    return ::read(fd_, &count, sizeof count) == sizeof count && count > 0;
}

std::string PostgresStore::Describe() const { return description_; }

std::string PostgresStore::Scrub(std::string message) const {
    message = OneLine(std::move(message));
    if (!password_.empty())
        for (std::size_t at; (at = message.find(password_)) != std::string::npos;)
            message.replace(at, password_.size(), "***");
    return message;
}

bool PostgresStore::WaitForStop(std::chrono::milliseconds wait) const {
    pollfd stop{stop_.Fd(), POLLIN, 0};
    return ::poll(&stop, 1, static_cast<int>(wait.count())) > 0;
}

PostgresStore::Connection PostgresStore::Connect(std::string &error) const {
    // The defaults come before the connection string, so that its own
    // settings win. connect_timeout is left to us when connecting without
    // blocking. Over TCP, a server gone silent is noticed in about 25 s.
    const std::string timeout = std::to_string(connectTimeout_.count());
    const char *keywords[] = {"connect_timeout", "application_name", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "dbname", "client_encoding", nullptr};
    const char *values[] = {timeout.c_str(), "tessary-server", "10", "5", "3", conninfo_.c_str(), "UTF8", nullptr};
    Connection connection(PQconnectStartParams(keywords, values, 1));
    if (!connection) {
        error = "out of memory";
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + connectTimeout_;
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (PQstatus(connection.get()) != CONNECTION_BAD && status != PGRES_POLLING_OK &&
           status != PGRES_POLLING_FAILED) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = "no answer within " + std::to_string(connectTimeout_.count()) + " s (connect_timeout)";
            return nullptr;
        }
        pollfd waits[2] = {{PQsocket(connection.get()),
                            static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0},
                           {stop_.Fd(), POLLIN, 0}};
        const int ready = ::poll(waits, 2, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) {
            error = "poll failed: " + std::string(std::strerror(errno));
            return nullptr;
        }
        if (waits[1].revents) {
            error = "stopping";
            return nullptr;
        }
        if (ready > 0) status = PQconnectPoll(connection.get());
    }
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        error = Scrub(PQerrorMessage(connection.get()));
        return nullptr;
    }
    PQsetNoticeProcessor(connection.get(), IgnoreNotice, nullptr);
    // An add is acknowledged only once it is on disk, whatever the server's default.
    if (Result set = Exec(connection.get(), "SET synchronous_commit TO on"); !Ok(set.get())) {
        error = Scrub(Why(connection.get(), set.get()));
        return nullptr;
    }
    return connection;
}

void PostgresStore::Migrate(pg_conn *connection) {
    auto fail = [&](const std::string &what, const PGresult *result) {
        throw std::runtime_error(what + " in the vocabulary database " + description_ + ": " +
                                 Scrub(Why(connection, result)));
    };
    const std::string lock = std::to_string(kMigrationLock);
    if (Result r = Exec(connection, "SELECT pg_advisory_lock(" + lock + ")"); !Ok(r.get()))
        fail("cannot take the schema lock", r.get());
    struct Unlock {
        pg_conn *connection;
        const std::string &lock;
        ~Unlock() { Exec(connection, "ROLLBACK; SELECT pg_advisory_unlock(" + lock + ")"); }
    } unlock{connection, lock};

    if (Result r = Exec(connection,
                        "CREATE TABLE IF NOT EXISTS tessary_schema ("
                        " version integer NOT NULL CHECK (version >= 0),"
                        " single boolean PRIMARY KEY DEFAULT true CHECK (single));"
                        "INSERT INTO tessary_schema (version) VALUES (0) ON CONFLICT DO NOTHING");
        !Ok(r.get()))
        fail("cannot make the schema's version table", r.get());
    Result r = Exec(connection, "SELECT version FROM tessary_schema");
    if (!Ok(r.get()) || PQntuples(r.get()) != 1) fail("cannot read the schema's version", r.get());
    const int version = std::atoi(PQgetvalue(r.get(), 0, 0));
    const auto &migrations = Migrations();
    static_assert(kSchemaVersion > 0);
    if (migrations.size() != static_cast<std::size_t>(kSchemaVersion))
        throw std::logic_error("the migrations do not lead to schema version " + std::to_string(kSchemaVersion));
    if (version > kSchemaVersion)
        throw std::runtime_error("the vocabulary database " + description_ + " has schema version " +
                                 std::to_string(version) + ", newer than this tessary-server knows (" +
                                 std::to_string(kSchemaVersion) + "): run a newer tessary-server");
    for (std::size_t to = static_cast<std::size_t>(version) + 1; to <= migrations.size(); ++to) {
        Result step = Exec(connection, "BEGIN;" + migrations[to - 1] +
                                           ";UPDATE tessary_schema SET version = " + std::to_string(to) + ";COMMIT");
        if (!Ok(step.get())) fail("cannot migrate the schema to version " + std::to_string(to), step.get());
    }
}

pg_conn *PostgresStore::Writer(std::string &error) {
    if (writer_) {
        // An idle connection is sent nothing; what arrives on it is the
        // server's farewell (a restart) or its end. Found out here, before
        // anything is sent, so that the add can go to a new connection.
        pollfd idle{PQsocket(writer_.get()), POLLIN, 0};
        if (::poll(&idle, 1, 0) == 0 && PQstatus(writer_.get()) == CONNECTION_OK &&
            PQtransactionStatus(writer_.get()) == PQTRANS_IDLE)
            return writer_.get();
        writer_.reset();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAttempt_) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - now);
        error = lastError_ + " (connecting again in " + std::to_string(wait.count()) + " ms)";
        return nullptr;
    }
    writer_ = Connect(error);
    if (!writer_) {
        backOff_ = backOff_.count() == 0 ? kFirstBackOff : std::min(backOff_ * 2, kLastBackOff);
        nextAttempt_ = std::chrono::steady_clock::now() + backOff_;
        lastError_ = error;
        return nullptr;
    }
    backOff_ = {};
    nextAttempt_ = {};
    return writer_.get();
}

void PostgresStore::WriterLost(const std::string &error, bool duringAdd) {
    writer_.reset();
    lastError_ = error;
    if (duringAdd) reload_.Raise();
}

std::vector<std::shared_ptr<const Word>> PostgresStore::Load(const std::vector<std::shared_ptr<const Word>> &seed) {
    Result rows;
    {
        std::lock_guard writing(writeMutex_);
        std::string error;
        pg_conn *connection = Writer(error);
        if (!connection)
            throw std::runtime_error("cannot read the vocabulary database " + description_ + ": " + error);
        // One statement: one snapshot of words and recordings.
        rows.reset(PQexecParams(connection,
                                "SELECT w.id, w.name, r.id, r.frames FROM tessary_words w"
                                " LEFT JOIN tessary_recordings r ON r.word = w.id ORDER BY w.id, r.id",
                                0, nullptr, nullptr, nullptr, nullptr, 1));
        if (!Ok(rows.get())) {
            const std::string why = Scrub(Why(connection, rows.get()));
            if (PQstatus(connection) != CONNECTION_OK) WriterLost(why, false);
            throw std::runtime_error("cannot read the vocabulary database " + description_ + ": " + why);
        }
    }

    std::vector<std::shared_ptr<const Word>> words = seed;
    std::unordered_map<std::string, std::size_t> index;  // trimmed name to its place in words
    for (std::size_t i = 0; i < words.size(); ++i) index.emplace(TrimWord(words[i]->name), i);
    std::vector<std::int64_t> ids;
    std::shared_ptr<Word> word;  // the word being read
    std::int64_t wordId = -1;
    std::size_t place = 0;
    auto finish = [&] {
        if (word) words[place] = std::move(word);
    };
    const int count = PQntuples(rows.get());
    for (int row = 0; row < count; ++row) {
        const std::int64_t id = BigInt(rows.get(), row, 0);
        if (id != wordId) {
            finish();
            wordId = id;
            std::optional<std::string> name =
                Utf8ToCp1250(std::string_view(PQgetvalue(rows.get(), row, 1), PQgetlength(rows.get(), row, 1)));
            if (!name)
                throw std::runtime_error("the vocabulary database " + description_ + " holds word " +
                                         std::to_string(id) + ", whose name is not Windows-1250 text");
            const std::string key(TrimWord(*name));
            if (auto it = index.find(key); it != index.end()) {
                place = it->second;
                word = std::make_shared<Word>(*words[place]);
            } else {
                place = words.size();
                index.emplace(key, place);
                words.push_back(nullptr);
                word = std::make_shared<Word>();
                word->name = key;
            }
        }
        if (PQgetisnull(rows.get(), row, 2)) continue;
        const int length = PQgetlength(rows.get(), row, 3);
        if (length == 0 || length % kFrameBytes != 0)
            throw std::runtime_error("the vocabulary database " + description_ + " holds recording " +
                                     std::to_string(BigInt(rows.get(), row, 2)) + ", which is not whole frames");
        word->recordings.push_back(BytesToFrames(PQgetvalue(rows.get(), row, 3), length));
        word->adapted = {};
        ids.push_back(BigInt(rows.get(), row, 2));
    }
    finish();

    std::lock_guard knowing(knownMutex_);
    known_.insert(ids.begin(), ids.end());
    loaded_ = true;
    return words;
}

std::optional<StoreError> PostgresStore::AddRecording(std::string_view word, std::span<const float> frames,
                                                      const std::vector<std::shared_ptr<const Word>> &after) {
    (void)after;  // the database keeps its own indexes
    if (frames.empty() || frames.size() % kFrameFloats != 0)
        return StoreError{"no speech to make a recording of",
                          "a recording of " + std::to_string(frames.size()) + " floats is not whole frames"};
    const std::string name = Cp1250ToUtf8(TrimWord(word));
    const std::string frameCount = std::to_string(frames.size() / kFrameFloats);
    const std::string bytes = FramesToBytes(frames);
    const std::string channel = kChannel;
    const char *values[] = {name.c_str(), frameCount.c_str(), bytes.data(), channel.c_str(), token_.c_str()};
    const int lengths[] = {0, 0, static_cast<int>(bytes.size()), 0, 0};
    const int formats[] = {0, 0, 1, 0, 0};

    std::lock_guard writing(writeMutex_);
    std::string error;
    pg_conn *connection = Writer(error);
    if (!connection) return StoreError{kUnreachable, "the database " + description_ + ": " + error};
    // The word is taken with a row lock when another process has it, even
    // one that committed it after this statement began.
    Result result(PQexecParams(connection,
                               "WITH w AS (INSERT INTO tessary_words (name) VALUES ($1)"
                               "  ON CONFLICT (name) DO UPDATE SET name = EXCLUDED.name RETURNING id),"
                               " r AS (INSERT INTO tessary_recordings (word, frame_count, frames)"
                               "  SELECT id, $2::integer, $3::bytea FROM w RETURNING id)"
                               " SELECT id, pg_notify($4, $5 || ' ' || id) FROM r",
                               5, nullptr, values, lengths, formats, 1));
    if (!Ok(result.get()) || PQntuples(result.get()) != 1) {
        const std::string why = Scrub(Why(connection, result.get()));
        if (PQstatus(connection) != CONNECTION_OK) {
            WriterLost(why, true);
            return StoreError{kUnreachable, "the database " + description_ + ": " + why};
        }
        return StoreError{kRefused, "the database " + description_ + " refused the recording: " + why};
    }
    const std::int64_t id = BigInt(result.get(), 0, 0);
    std::lock_guard knowing(knownMutex_);
    known_.insert(id);
    return std::nullopt;
}

void PostgresStore::Watch(std::function<void(StoreChange)> changed) {
    if (watcher_.joinable()) throw std::logic_error("PostgresStore::Watch called twice");
    changed_ = std::move(changed);
    listening_ = true;  // connected a moment ago; the thread finds out otherwise
    watching_ = true;
    watcher_ = std::thread([this] { WatchLoop(); });
}

bool PostgresStore::Report(pg_conn *connection, std::vector<std::int64_t> ids) {
    {
        std::lock_guard knowing(knownMutex_);
        std::erase_if(ids, [&](std::int64_t id) { return known_.contains(id); });
    }
    if (ids.empty()) return true;
    std::string list = "{";
    for (std::int64_t id : ids) list += std::to_string(id) + ",";
    list.back() = '}';
    const char *values[] = {list.c_str()};
    Result rows(PQexecParams(connection,
                             "SELECT r.id, w.name, r.frames FROM tessary_recordings r"
                             " JOIN tessary_words w ON w.id = r.word WHERE r.id = ANY ($1::bigint[]) ORDER BY r.id",
                             1, nullptr, values, nullptr, nullptr, 1));
    if (!Ok(rows.get())) {
        if (PQstatus(connection) != CONNECTION_OK) return false;
        changed_(Reload());
        return true;
    }
    StoreChange change;
    std::vector<std::int64_t> reported;
    const int count = PQntuples(rows.get());
    for (int row = 0; row < count; ++row) {
        const std::int64_t id = BigInt(rows.get(), row, 0);
        std::optional<StoredRecording> recording = RecordingOf(rows.get(), row, 1, 2);
        if (!recording) {
            change.reloadEverything = true;
            continue;
        }
        reported.push_back(id);
        change.addedRecordings.push_back(std::move(*recording));
    }
    {
        // Between the check above and here, a Load may have returned some of
        // these; they are reported all the same (see the header).
        std::lock_guard knowing(knownMutex_);
        known_.insert(reported.begin(), reported.end());
    }
    if (change.reloadEverything || !change.addedRecordings.empty()) changed_(std::move(change));
    return true;
}

void PostgresStore::WatchLoop() {
    bool first = true;
    std::chrono::milliseconds backOff{0};
    while (true) {
        std::string error;
        Connection connection = Connect(error);
        if (connection) {
            Result listen = Exec(connection.get(), std::string("LISTEN ") + kChannel);
            if (!Ok(listen.get())) connection.reset();
        }
        listening_ = connection != nullptr;
        if (!connection) {
            backOff = backOff.count() == 0 ? kFirstBackOff : std::min(backOff * 2, kLastBackOff);
            if (WaitForStop(backOff)) return;
            continue;
        }
        backOff = {};
        bool live = true;
        reload_.Take();  // what an add lost meanwhile may have stored is read below, either way
        if (first) {
            // What was added between Load and LISTEN.
            first = false;
            bool loaded;
            {
                std::lock_guard knowing(knownMutex_);
                loaded = loaded_;
            }
            if (loaded) {
                std::vector<std::int64_t> all;
                bool read;
                {
                    // This store's own adds are known once they let go of
                    // the writer: none is read here between its commit and
                    // then.
                    std::lock_guard writing(writeMutex_);
                    Result ids(PQexecParams(connection.get(), "SELECT id FROM tessary_recordings", 0, nullptr,
                                            nullptr, nullptr, nullptr, 1));
                    read = Ok(ids.get());
                    for (int row = 0; read && row < PQntuples(ids.get()); ++row)
                        all.push_back(BigInt(ids.get(), row, 0));
                }
                live = read && Report(connection.get(), std::move(all));
            }
        } else {
            changed_(Reload());
        }

        while (live && PQsocket(connection.get()) >= 0) {
            // Notifications libpq has read already are taken before waiting:
            // those that came while a query of Report ran on this connection
            // were read with its result and would not wake the poll.
            std::vector<std::int64_t> ids;
            bool unreadable = false;
            while (PGnotify *notify = PQnotifies(connection.get())) {
                const std::string_view payload = notify->extra;
                const std::size_t blank = payload.find(' ');
                std::int64_t id = 0;
                if (blank == std::string_view::npos ||
                    std::from_chars(payload.data() + blank + 1, payload.data() + payload.size(), id).ec != std::errc())
                    unreadable = true;
                else if (payload.substr(0, blank) != token_)
                    ids.push_back(id);
                PQfreemem(notify);
            }
            if (unreadable) changed_(Reload());
            if (unreadable || !ids.empty()) {
                live = Report(connection.get(), std::move(ids));
                continue;
            }
            pollfd waits[3] = {{PQsocket(connection.get()), POLLIN, 0}, {stop_.Fd(), POLLIN, 0},
                               {reload_.Fd(), POLLIN, 0}};
            if (::poll(waits, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (waits[1].revents) return;
            if (waits[2].revents && reload_.Take()) changed_(Reload());
            if (!PQconsumeInput(connection.get())) break;
        }
        listening_ = false;
    }
}

std::string PostgresStore::WhyCannotAdd() const {
    if (watching_ && !listening_) return "the vocabulary database cannot be reached now";
    return {};
}

}  // namespace tessary
