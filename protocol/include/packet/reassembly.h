// Receive reassembly: turns the server's byte stream, cut into chunks wherever
// the network cut it, back into whole packets, handed on decoded and in
// stream order.
//
// Each arrival puts the leftover of the previous one in front of the new
// bytes (rcvBufB), walks them packet by packet (12-byte head, then `length`
// payload bytes), hands every complete packet on, and keeps the unfinished
// tail (a partial head, or a head and part of its payload) in rcvRest until
// the next arrival. The leftover always begins at a packet boundary of the
// stream. Each head is decoded once, here, also when its packet takes
// several arrivals; what is handed on is the decoded head and the span of
// its payload.
//
// Heads are read with the codec given (the library's GetPacketHead, as the
// program binds it). No Qt: any caller that holds a byte stream may use it.
//
// A head whose length is negative or above packet::kMaxPayload ends the walk
// with WalkResult::BadLength: the packets before it have been handed on, the
// leftover is dropped, BadHead() keeps the head's 12 bytes for the log line,
// and the caller ends the connection.
#pragma once

#include "packet/packet.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace tessary {

// One whole packet as it arrived: its head, decoded, and its payload, which
// lies in the reassembly's buffer and is valid for the call it is handed to.
struct ReceivedPacket {
    packet::Head head;
    std::span<const std::uint8_t> payload;  // exactly head.length bytes
};

struct PacketRest {
    std::vector<std::uint8_t> restBufB;  // the leftover bytes at 0 .. nRestB - 1
    std::int32_t packetSize = 0;         // 12 + length of the head read last
    std::int32_t nRestB = 0;             // leftover count; -1 none; 0 not set up yet
    std::int32_t iRestB = 0;             // copy index into restBufB
};

enum class WalkResult { Ok, BadLength };

class ReceiveReassembly {
public:
    // Called once per complete packet, in stream order.
    using OnPacket = std::function<void(const ReceivedPacket &packet)>;

    explicit ReceiveReassembly(const packet::HeadCodec &codec) : codec_(codec) {}

    // Takes one received chunk and hands on every packet it completes.
    WalkResult Arrive(std::span<const std::uint8_t> chunk, const OnPacket &onPacket);

    // Drops the leftover: the next byte received starts a packet.
    void DropLeftover();

    const PacketRest &Rest() const { return rcvRest_; }
    // Bytes held over for the next chunk (an unfinished packet).
    std::size_t Pending() const { return rcvRest_.nRestB > 0 ? static_cast<std::size_t>(rcvRest_.nRestB) : 0; }
    // After WalkResult::BadLength: the offending head, as read and as received.
    const packet::Head &BadHead() const { return badHead_; }
    const std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> &BadHeadBytes() const { return badHeadBytes_; }

private:
    void KeepLeftover(std::int64_t pos, std::int64_t n);
    void ReleaseLargeBuffers();

    packet::HeadCodec codec_;
    std::vector<std::uint8_t> rcvBufB_;
    PacketRest rcvRest_;
    std::optional<packet::Head> heldHead_;  // the decoded head at the start of the leftover
    packet::Head badHead_;
    std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> badHeadBytes_{};
};

}  // namespace tessary
