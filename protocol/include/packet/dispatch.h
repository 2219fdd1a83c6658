// What a client does with a whole packet received from the server: the kind
// of the packet, read from its decoded head, and the answer it owes the
// server. The window and tessary-cli act on the same kinds.
#pragma once

#include "packet/packet.h"

#include <cstdint>
#include <span>
#include <vector>

namespace tessary {

enum class PacketKind {
    Other,  // any other type, or "DMSG" numbered 1: nothing is shown, nothing answered
    Text,   // "UMSG", "DMSG": text for the log
    News,   // "NEWS": text for the log, answered with "OSVF" "demo" numbered 1
    Ping,   // "PING": answered with "PONG", the same payload, numbered 0
    Pong,   // "PONG": the echo of our "PING"
};

// The type is compared exactly, case-sensitive, over its four bytes; the
// number counts only for "DMSG".
PacketKind KindOf(const packet::Head &head);

// The packet the client sends back for a packet of this kind and payload
// ("OSVF" to a "NEWS", "PONG" to a "PING"); empty for the other kinds.
std::vector<std::uint8_t> AnswerTo(const packet::HeadCodec &codec, PacketKind kind,
                                   std::span<const std::uint8_t> payload);

}  // namespace tessary
