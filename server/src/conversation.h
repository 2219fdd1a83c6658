// What one client and the server say to each other: the server's side of the
// packet protocol for one connection, apart from the socket. The session
// hands it every whole packet in stream order; it answers with packets.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "packet/packet.h"
#include "recognizer.h"
#include "vocabulary.h"

namespace tessary {

// Longest utterance kept: a minute of frames. The client stops at 20 s.
inline constexpr std::size_t kMaxUtteranceFloats = 60 * 100 * 9;

struct OutPacket {
    std::string type;     // four letters
    std::int32_t number = 0;
    std::string payload;  // bytes, Windows-1250 text for the text types
};

// Head and payload as they go on the wire (the packet module's framing).
std::vector<std::uint8_t> EncodePacket(const OutPacket &packet);

// Counters over all sessions, for the log and the load run.
struct ServerStats {
    std::atomic<std::uint64_t> sessions{0};
    std::atomic<std::uint64_t> packetsIn{0};
    std::atomic<std::uint64_t> dataPackets{0};
    std::atomic<std::uint64_t> dataNumbersSkipped{0};
    std::atomic<std::uint64_t> dataNumbersRepeated{0};
    std::atomic<std::uint64_t> utterances{0};
    std::atomic<std::uint64_t> badLengths{0};
};

// Who may add words, and how often: asked on every "ADDW" of a session.
// The server's gate is the admission of the session's client address; the
// default lets every add through.
struct AddGate {
    // Whether the client's address may add words at all.
    bool mayAdd = true;
    // Counts one add against the client's address, or, when that would pass
    // its rate, counts nothing and says why in plain words. Empty: no rate.
    std::function<std::optional<std::string>()> takeAdd;
};

class Conversation {
public:
    Conversation(Vocabulary &vocabulary, Log &log, ServerStats &stats, std::string peer);

    // Acts on one whole packet and appends the answers to out. Types the
    // server does not handle are ignored.
    void Handle(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);

    // Whether packets of this type are acted on (others may be skipped
    // without keeping their payload).
    static bool Handles(std::string_view type);
    // The types acted on, in the order of the dispatch table.
    static std::vector<std::string_view> HandledTypes();

    const std::string &Peer() const { return peer_; }

    // The gate every "ADDW" passes.
    void SetAddGate(AddGate gate) { addGate_ = std::move(gate); }

    // Matching an utterance against the vocabulary takes time in proportion
    // to the vocabulary's size, and adding a recording waits for the disk or
    // the database. When deferred, Handle leaves them undone for the caller
    // to run elsewhere: after each Handle, TakeMatch gives the match to run,
    // if any, and FinishMatch, called with its result, appends the answers;
    // so do TakeAdd and FinishAdd for an add, which the caller runs with
    // Vocabulary::AddRecording. Until then the conversation must be handed
    // no further packet.
    void DeferMatching(bool defer) { deferMatching_ = defer; }
    struct MatchJob {
        std::vector<float> frames;  // the whole utterance
        std::shared_ptr<const VocabularyState> vocabulary;
    };
    std::optional<MatchJob> TakeMatch();
    void FinishMatch(Recognition recognition, std::vector<OutPacket> &out);
    struct AddJob {
        std::string word;           // Windows-1250
        std::vector<float> speech;  // the utterance's speech only
    };
    std::optional<AddJob> TakeAdd();
    void FinishAdd(const std::string &word, const Vocabulary::AddResult &result, std::vector<OutPacket> &out);

private:
    // One entry of the dispatch table: a type and what the server does with it.
    using Handler = void (Conversation::*)(const packet::Head &head, std::span<const std::uint8_t> payload,
                                           std::vector<OutPacket> &out);
    struct Route {
        std::string_view type;
        Handler handler;
    };
    static const Route kRoutes[];
    static const Route *Find(std::string_view type);

    void Data(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void Start(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void Rest(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void Ping(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void Greet(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void GreetingAnswered(const packet::Head &head, std::span<const std::uint8_t> payload,
                          std::vector<OutPacket> &out);
    void ListVocabulary(const packet::Head &head, std::span<const std::uint8_t> payload,
                        std::vector<OutPacket> &out);
    void BestWords(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void AddWord(const packet::Head &head, std::span<const std::uint8_t> payload, std::vector<OutPacket> &out);
    void Note(std::string_view text);

    Vocabulary &vocabulary_;
    Log &log_;
    ServerStats &stats_;
    std::string peer_;

    bool inUtterance_ = false;
    std::vector<float> floats_;
    bool overflowLogged_ = false;
    std::optional<std::int32_t> lastDataNumber_;
    std::optional<std::string> pendingWord_;
    std::vector<Scored> lastRanking_;
    bool hasLastRanking_ = false;  // the last utterance was recognised
    std::uint64_t utterancesEnded_ = 0;
    bool deferMatching_ = false;
    std::optional<MatchJob> pendingMatch_;
    std::optional<AddJob> pendingAdd_;
    AddGate addGate_;
    bool addsRefusedLogged_ = false;  // by the gate: one line a session
};

}  // namespace tessary
