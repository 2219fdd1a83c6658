// What one client and the server say to each other: the server's side of the
// packet protocol for one connection, apart from the socket. The session
// hands it every whole packet in stream order; it answers with packets.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/packet_head.h"
#include "log.h"
#include "recognizer.h"
#include "vocabulary.h"

namespace tessary {

// Largest payload a packet may announce; a longer or negative length ends
// the session.
inline constexpr std::int32_t kMaxPayload = 16 * 1024 * 1024;
// Longest utterance kept: a minute of frames. The client stops at 20 s.
inline constexpr std::size_t kMaxUtteranceFloats = 60 * 100 * 9;

struct OutPacket {
    std::string type;     // four letters
    std::int32_t number = 0;
    std::string payload;  // bytes, Windows-1250 text for the text types
};

// Head and payload as they go on the wire.
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

class Conversation {
public:
    Conversation(Vocabulary &vocabulary, Log &log, ServerStats &stats, std::string peer);

    // Acts on one whole packet and appends the answers to out. Types the
    // server does not handle are ignored.
    void Handle(const vantrel::PacketHead &head, std::span<const std::uint8_t> payload,
                std::vector<OutPacket> &out);

    // Whether packets of this type are acted on (others may be skipped
    // without keeping their payload).
    static bool Handles(const std::array<char, 4> &type);

    const std::string &Peer() const { return peer_; }

    // Matching an utterance against the vocabulary takes time in proportion
    // to the vocabulary's size. When deferred, Handle leaves it undone for the
    // caller to run elsewhere: after each Handle, TakeMatch gives the match to
    // run, if any, and FinishMatch, called with its result, appends the
    // answers. Until then the conversation must be handed no further packet.
    void DeferMatching(bool defer) { deferMatching_ = defer; }
    struct MatchJob {
        std::vector<float> frames;  // the whole utterance
        std::shared_ptr<const VocabularyState> vocabulary;
    };
    std::optional<MatchJob> TakeMatch();
    void FinishMatch(Recognition recognition, std::vector<OutPacket> &out);

private:
    void Data(const vantrel::PacketHead &head, std::span<const std::uint8_t> payload);
    void Rest(std::vector<OutPacket> &out);
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
};

}  // namespace tessary
