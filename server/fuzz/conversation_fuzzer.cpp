// Any sequence of packets a client may send, whatever their types, numbers
// and payloads, is answered without a crash, and every answer is a packet
// the client can frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "conversation.h"
#include "log.h"
#include "vocabulary.h"

namespace {

std::string &FolderName() {
    static std::string dir;
    return dir;
}

tessary::Vocabulary &SharedVocabulary() {
    static std::unique_ptr<tessary::Vocabulary> vocabulary = [] {
        std::string &dir = FolderName();
        dir = (std::filesystem::temp_directory_path() / "tessary-fuzz.XXXXXX").string();
        if (!::mkdtemp(dir.data())) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(FolderName(), ignored);
        });
        return tessary::Vocabulary::Open(dir, {});
    }();
    return *vocabulary;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Every type the server handles, and one it does not.
    static const std::vector<std::string_view> kTypes = [] {
        auto types = tessary::Conversation::HandledTypes();
        types.push_back("WOUT");
        return types;
    }();
    static tessary::Log log([](std::string_view) {}, false);
    static tessary::ServerStats stats;
    tessary::Conversation conversation(SharedVocabulary(), log, stats, "fuzz");
    std::vector<tessary::OutPacket> answers;
    // Each packet: one byte of type, one of number, one of length, then
    // that many payload bytes (as many as are left).
    std::size_t at = 0;
    while (at + 3 <= size) {
        tessary::packet::Head head;
        head.type = tessary::packet::FitType(kTypes[data[at] % kTypes.size()]);
        head.number = static_cast<std::int8_t>(data[at + 1]);
        std::size_t length = data[at + 2];
        if (head.type[0] == 'D') length *= 4;  // room for whole frames
        at += 3;
        length = std::min(length, size - at);
        head.length = static_cast<std::int32_t>(length);
        conversation.Handle(head, std::span<const std::uint8_t>(data + at, length), answers);
        at += length;
    }
    for (const auto &a : answers) {
        if (a.type.size() != 4 || a.payload.size() > static_cast<std::size_t>(tessary::packet::kMaxPayload)) std::abort();
        if (tessary::EncodePacket(a).size() != VANTREL_PACKET_HEAD_SIZE + a.payload.size()) std::abort();
    }
    return 0;
}
