// Receive reassembly: turns the server's byte stream, cut into chunks wherever
// the network cut it, back into whole packets, handed on in stream order.
//
// Each arrival puts the leftover of the previous one in front of the new
// bytes (rcvBufB), walks them packet by packet (12-byte head, then `length`
// payload bytes), hands every complete packet to the dispatcher, and keeps
// the unfinished tail (a partial head, or a head and part of its payload) in
// rcvRest until the next arrival. The leftover always begins at a packet
// boundary of the stream.
//
// Heads are read with the codec given (the library's GetPacketHead, as the
// program binds it). No Qt: any caller that holds a byte stream may use it.
//
// A head whose length is negative or above packet::kMaxPayload ends the walk
// with WalkResult::BadLength: the packets before it have been dispatched, the
// leftover is dropped, and the caller ends the connection.
#pragma once

#include "packet/packet.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tessary {

struct PacketRest {
    std::vector<std::uint8_t> restBufB;  // the leftover bytes at 0 .. nRestB - 1
    std::int32_t packetSize = 0;         // 12 + length of the head read last
    std::int32_t nRestB = 0;             // leftover count; -1 none; 0 not set up yet
    std::int32_t iRestB = 0;             // copy index into restBufB
};

enum class WalkResult { Ok, BadLength };

class ReceiveReassembly {
public:
    // Called once per complete packet: the packet starts at bufB[startBufB]
    // and lies wholly below nBufB, the count of valid bytes in bufB.
    using DetectPacket = std::function<void(const std::vector<std::uint8_t> &bufB,
                                            std::int32_t startBufB, std::int32_t nBufB)>;

    explicit ReceiveReassembly(const packet::HeadCodec &codec) : codec_(codec) {}

    // Takes one received chunk and dispatches every packet it completes.
    WalkResult Arrive(std::span<const std::uint8_t> chunk, const DetectPacket &detect);

    // Drops the leftover: the next byte received starts a packet.
    void DropLeftover();

    const PacketRest &Rest() const { return rcvRest_; }
    // The offending length after WalkResult::BadLength.
    std::int32_t BadLength() const { return badLength_; }

private:
    void KeepLeftover(std::int64_t pos, std::int64_t n);

    packet::HeadCodec codec_;
    std::vector<std::uint8_t> rcvBufB_;
    PacketRest rcvRest_;
    std::int32_t badLength_ = 0;
};

}  // namespace tessary
