#include "conversation.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "frame_features.h"
#include "head_codec.h"
#include "packet/code_page.h"
#include "packet/message_types.h"

namespace tessary {
namespace {

namespace M = mdlMSGConst;

constexpr std::string_view kCrLf = "\r\n";

std::string Text(std::span<const std::uint8_t> payload) {
    return {reinterpret_cast<const char *>(payload.data()), payload.size()};
}

OutPacket Message(std::string text) { return {std::string(M::UMSG), 0, std::move(text)}; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\r' || s.front() == '\n' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string FormatDistance(float d) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%.3f", static_cast<double>(d));
    return {text, static_cast<std::size_t>(n)};
}

}  // namespace

std::vector<std::uint8_t> EncodePacket(const OutPacket &packet) {
    return packet::Encode(kHeadCodec, packet.type, packet.number, packet.payload);
}

Conversation::Conversation(Vocabulary &vocabulary, Log &log, ServerStats &stats, std::string peer)
    : vocabulary_(vocabulary), log_(log), stats_(stats), peer_(std::move(peer)) {}

const Conversation::Route Conversation::kRoutes[] = {
    {M::DATA, &Conversation::Data},
    {M::SRCG, &Conversation::Start},
    {M::REST, &Conversation::Rest},
    {M::PING, &Conversation::Ping},
    {M::NEWS, &Conversation::Greet},
    {M::OSVF, &Conversation::GreetingAnswered},
    {M::GETV, &Conversation::ListVocabulary},
    {M::GETB, &Conversation::BestWords},
    {M::ADDW, &Conversation::AddWord},
};

const Conversation::Route *Conversation::Find(std::string_view type) {
    for (const Route &route : kRoutes)
        if (route.type == type) return &route;
    return nullptr;
}

bool Conversation::Handles(std::string_view type) { return Find(type) != nullptr; }

std::vector<std::string_view> Conversation::HandledTypes() {
    std::vector<std::string_view> types;
    for (const Route &route : kRoutes) types.push_back(route.type);
    return types;
}

void Conversation::Note(std::string_view text) {
    std::string line = peer_;
    line += ' ';
    line += text;
    log_.Line(line);
}

void Conversation::Handle(const packet::Head &head, std::span<const std::uint8_t> payload,
                          std::vector<OutPacket> &out) {
    if (const Route *route = Find(head.Type())) (this->*route->handler)(head, payload, out);
}

void Conversation::Start(const packet::Head &, std::span<const std::uint8_t>, std::vector<OutPacket> &) {
    if (inUtterance_ && !floats_.empty()) Note("SRCG before REST: the unfinished utterance is dropped");
    inUtterance_ = true;
    floats_.clear();
    overflowLogged_ = false;
}

void Conversation::Ping(const packet::Head &head, std::span<const std::uint8_t> payload,
                        std::vector<OutPacket> &out) {
    out.push_back({std::string(M::PONG), head.number, Text(payload)});
}

void Conversation::Greet(const packet::Head &, std::span<const std::uint8_t>, std::vector<OutPacket> &out) {
    const std::size_t words = vocabulary_.Size();
    out.push_back({std::string(M::NEWS), 0,
                   "Tessary recognition server: " + std::to_string(words) + (words == 1 ? " word" : " words") +
                       " in the vocabulary.\r\n"});
}

void Conversation::GreetingAnswered(const packet::Head &, std::span<const std::uint8_t>, std::vector<OutPacket> &) {
    // The client's answer to our greeting: nothing to do.
}

void Conversation::ListVocabulary(const packet::Head &, std::span<const std::uint8_t>,
                                  std::vector<OutPacket> &out) {
    const auto state = vocabulary_.Snapshot();
    std::string text =
        "Vocabulary, " + std::to_string(state->words.size()) + (state->words.size() == 1 ? " word:" : " words:");
    text += kCrLf;
    for (const auto &w : state->words) {
        text += w->name;
        text += kCrLf;
    }
    out.push_back(Message(std::move(text)));
}

void Conversation::BestWords(const packet::Head &, std::span<const std::uint8_t> payload,
                             std::vector<OutPacket> &out) {
    const std::string text = Text(payload);
    const std::string_view arg = TrimBlanks(text);
    int n = 0;
    const auto r = std::from_chars(arg.data(), arg.data() + arg.size(), n);
    if (r.ec != std::errc() || r.ptr != arg.data() + arg.size() || n < 1) {
        out.push_back(Message("GETB needs a number of words, such as 5.\r\n"));
    } else if (!hasLastRanking_) {
        out.push_back(Message(utterancesEnded_ == 0
                                  ? "No utterance has been recognised yet.\r\n"
                                  : "The last utterance was not recognised (it held no speech, or it became a "
                                    "recording).\r\n"));
    } else {
        const std::size_t count = std::min(static_cast<std::size_t>(n), lastRanking_.size());
        std::string answer = "Best " + std::to_string(count) + " of the last utterance (distance, smaller is closer):";
        answer += kCrLf;
        for (std::size_t i = 0; i < count; ++i) {
            answer += std::to_string(i + 1) + ". " + lastRanking_[i].word + " " +
                      FormatDistance(lastRanking_[i].distance);
            answer += kCrLf;
        }
        out.push_back(Message(std::move(answer)));
    }
}

void Conversation::AddWord(const packet::Head &, std::span<const std::uint8_t> payload,
                           std::vector<OutPacket> &out) {
    // A gate's refusals are logged once a session: a client that repeats
    // them must not fill the log.
    auto refusedByGate = [&](const std::string &why) {
        if (!addsRefusedLogged_)
            Note("ADDW refused: " + why + " (further refusals of this session are not logged)");
        addsRefusedLogged_ = true;
    };
    if (!addGate_.mayAdd) {
        refusedByGate("adding words is not allowed from this address");
        out.push_back(Message("Adding words is not allowed from this address.\r\n"));
        return;
    }
    const std::string word(TrimWord(Text(payload)));
    std::string why = CheckWord(word);
    if (why.empty()) why = vocabulary_.WhyNoRoom(word);
    if (!why.empty()) {
        Note("ADDW refused: " + why);
        out.push_back(Message("Cannot add the word: " + why + ".\r\n"));
        return;
    }
    if (addGate_.takeAdd) {
        if (const auto tooMany = addGate_.takeAdd()) {
            refusedByGate(*tooMany);
            out.push_back(Message("Cannot add the word: " + *tooMany + ".\r\n"));
            return;
        }
    }
    const auto state = vocabulary_.Snapshot();
    const Word *existing = state->Find(word);
    std::string text = "Say the word " + word + " now: your next utterance becomes ";
    if (existing)
        text += "a further recording of it (it has " + std::to_string(existing->recordings.size()) +
                (existing->recordings.size() == 1 ? " recording)." : " recordings).");
    else
        text += "its recording.";
    text += kCrLf;
    pendingWord_ = word;
    out.push_back(Message(std::move(text)));
}

void Conversation::Data(const packet::Head &head, std::span<const std::uint8_t> payload,
                        std::vector<OutPacket> &) {
    stats_.dataPackets.fetch_add(1, std::memory_order_relaxed);
    if (lastDataNumber_) {
        const std::int64_t expected = std::int64_t{*lastDataNumber_} + 1;
        if (head.number > expected) {
            stats_.dataNumbersSkipped.fetch_add(1, std::memory_order_relaxed);
            Note("DATA #" + std::to_string(head.number) + " after #" + std::to_string(*lastDataNumber_) + ": " +
                 std::to_string(head.number - expected) + " packet number(s) skipped");
        } else if (head.number < expected) {
            stats_.dataNumbersRepeated.fetch_add(1, std::memory_order_relaxed);
            Note("DATA #" + std::to_string(head.number) + " after #" + std::to_string(*lastDataNumber_) +
                 ": packet number repeated");
        }
    }
    lastDataNumber_ = head.number;
    if (!inUtterance_) {
        Note("DATA before SRCG: an utterance starts here");
        inUtterance_ = true;
        floats_.clear();
        overflowLogged_ = false;
    }
    if (payload.size() % 4 != 0)
        Note("DATA #" + std::to_string(head.number) + " has " + std::to_string(payload.size()) +
             " bytes, not whole floats: the last " + std::to_string(payload.size() % 4) + " are dropped");
    const std::size_t count = payload.size() / 4;
    const std::size_t room = kMaxUtteranceFloats - floats_.size();
    if (count > room && !overflowLogged_) {
        Note("utterance longer than a minute: later frames are dropped");
        overflowLogged_ = true;
    }
    const std::size_t take = std::min(count, room);
    const std::size_t at = floats_.size();
    floats_.resize(at + take);
    for (std::size_t i = 0; i < take; ++i) {
        const std::uint32_t bits = vantrel::LoadLittleEndian32(payload.data() + 4 * i);
        std::memcpy(&floats_[at + i], &bits, sizeof(float));
    }
}

void Conversation::Rest(const packet::Head &, std::span<const std::uint8_t>, std::vector<OutPacket> &out) {
    if (!inUtterance_) {
        // The client may send a second REST when its stop action runs twice.
        Note("REST with no utterance open: ignored");
        return;
    }
    inUtterance_ = false;
    ++utterancesEnded_;
    hasLastRanking_ = false;
    stats_.utterances.fetch_add(1, std::memory_order_relaxed);
    if (floats_.size() % kFrameFloats != 0)
        Note("utterance ends inside a frame: the last " + std::to_string(floats_.size() % kFrameFloats) +
             " floats are dropped");
    const std::size_t whole = floats_.size() - floats_.size() % kFrameFloats;
    floats_.resize(whole);
    if (const auto bad = FindImplausibleFrame(floats_)) {
        // Infinite or huge cepstra make every distance infinite: no word
        // is nearer than another, and none may be named.
        Note("utterance with a value no recording gives in frame " + std::to_string(*bad) + ": not recognised");
        floats_.clear();
        out.push_back(Message(pendingWord_ ? "Not usable: the utterance holds values no recording gives; say the "
                                             "word " + *pendingWord_ + " again.\r\n"
                                           : "Not recognised: the utterance holds values no recording gives.\r\n"));
        return;
    }
    std::vector<float> frames = std::move(floats_);
    floats_.clear();

    if (pendingWord_) {
        const std::string word = *pendingWord_;
        const Endpoints ends = DetectSpeech(frames);
        if (!ends.speech) {
            out.push_back(Message("Nothing heard: say the word " + word + " again.\r\n"));
            return;
        }
        pendingWord_.reset();
        std::vector<float> speech(frames.begin() + static_cast<std::ptrdiff_t>(ends.first) * kFrameFloats,
                                  frames.begin() + static_cast<std::ptrdiff_t>(ends.last + 1) * kFrameFloats);
        if (deferMatching_) {
            pendingAdd_ = AddJob{word, std::move(speech)};
            return;
        }
        FinishAdd(word, vocabulary_.AddRecording(word, std::move(speech)), out);
        return;
    }
    MatchJob job{std::move(frames), vocabulary_.Snapshot()};
    if (deferMatching_) {
        pendingMatch_ = std::move(job);
        return;
    }
    FinishMatch(Recognise(job.frames, *job.vocabulary), out);
}

std::optional<Conversation::MatchJob> Conversation::TakeMatch() {
    std::optional<MatchJob> job = std::move(pendingMatch_);
    pendingMatch_.reset();
    return job;
}

std::optional<Conversation::AddJob> Conversation::TakeAdd() {
    std::optional<AddJob> job = std::move(pendingAdd_);
    pendingAdd_.reset();
    return job;
}

void Conversation::FinishAdd(const std::string &word, const Vocabulary::AddResult &r, std::vector<OutPacket> &out) {
    if (!r.added) {
        Note("cannot add the word " + Cp1250ToUtf8(word) + ": " + (r.detail.empty() ? r.error : r.detail));
        out.push_back(Message("The word " + word + " was not added: " + r.error + ".\r\n"));
    } else if (r.newWord) {
        Note("added the word " + Cp1250ToUtf8(word));
        out.push_back(Message("Added the word " + word + " to the vocabulary.\r\n"));
    } else {
        Note("added recording " + std::to_string(r.recordings) + " of the word " + Cp1250ToUtf8(word));
        out.push_back(Message("Stored recording " + std::to_string(r.recordings) + " of the word " + word +
                              ".\r\n"));
    }
}

void Conversation::FinishMatch(Recognition recognition, std::vector<OutPacket> &out) {
    if (log_.Verbose()) Note(Describe(recognition));
    if (!recognition.endpoints.speech) {
        out.push_back(Message("Nothing heard.\r\n"));
        return;
    }
    if (recognition.ranking.empty()) {
        out.push_back(Message("The vocabulary is empty: add a word first.\r\n"));
        return;
    }
    lastRanking_ = std::move(recognition.ranking);
    hasLastRanking_ = true;
    if (recognition.rejected) {
        out.push_back(Message("Not recognised.\r\n"));
        return;
    }
    out.push_back(Message("Recognised: " + lastRanking_.front().word + "\r\n"));
}

}  // namespace tessary
