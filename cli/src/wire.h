// The wire as tessary-cli sees it: packets framed and checked by the packet
// module, cut out of the byte stream by the client's reassembly, heads
// written and read by the library's exported codec, text in Windows-1250
// through the client's code page. Nothing here frames or cuts on its own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "packet/packet.h"

namespace tessary::cli {

inline constexpr std::size_t kHeadSize = packet::kHeadSize;
using Head = packet::Head;

// libvantrel's SetPacketHead and GetPacketHead.
const packet::HeadCodec &Codec();

// Reads the head at packet[0..11] (the library's codec).
Head ReadHead(const std::uint8_t *packet);
// Overwrites the number of the head at packet[0..11].
void Renumber(std::uint8_t *packet, std::int32_t number);

// One whole packet: the head and the payload bytes.
std::vector<std::uint8_t> Frame(std::string_view type, std::int32_t number,
                                std::span<const std::uint8_t> payload);
// A text message: the UTF-8 text in Windows-1250, CR LF appended when asked.
std::vector<std::uint8_t> FrameText(std::string_view type, std::int32_t number, std::string_view utf8,
                                    bool crlf = false);

// Windows-1250 bytes to UTF-8, every byte one character.
std::string DecodeText(std::span<const std::uint8_t> bytes);
// UTF-8 to Windows-1250; a character outside the code page becomes '?'.
std::string EncodeText(std::string_view utf8);
// The characters of a UTF-8 text that Windows-1250 cannot carry.
std::string Unrepresentable(std::string_view utf8);
// Number of characters of a UTF-8 text.
std::size_t CharacterCount(std::string_view utf8);

// Whole packets out of a byte stream cut anywhere. A head whose length is
// negative or beyond the packet module's limit stops the reader for good.
class PacketReader {
public:
    using OnPacket = std::function<void(const Head &head, std::span<const std::uint8_t> payload)>;

    PacketReader();
    ~PacketReader();
    PacketReader(const PacketReader &) = delete;
    PacketReader &operator=(const PacketReader &) = delete;

    // Hands every packet the chunk completes to onPacket, in stream order.
    // Returns false at a bad head; BadHead() then holds its 12 bytes.
    bool Feed(std::span<const std::uint8_t> chunk, const OnPacket &onPacket);
    // Bytes held over for the next chunk (an unfinished packet).
    std::size_t Pending() const;
    const std::optional<std::array<std::uint8_t, kHeadSize>> &BadHead() const { return badHead_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::optional<std::array<std::uint8_t, kHeadSize>> badHead_;
};

// "UMSG" number 0 length 12 (55 4D 53 47 00 00 00 00 0C 00 00 00): a head
// for a message.
std::string DescribeHead(std::span<const std::uint8_t, kHeadSize> head);

// What the window does with a received packet.
enum class Received { Text, News, Ping, Pong, Other };
Received Classify(const Head &head);

}  // namespace tessary::cli
