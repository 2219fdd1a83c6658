// "DATA" packets out of the library, and the messages around an utterance:
// the window's way, which tessary-cli follows so that a server sees the same
// stream from either.
#pragma once

#include "packet/packet.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tessary {

// The library's functions a drain calls, as the caller binds them (the
// window by name, tessary-cli linked): GetParam and the head codec.
struct ParameterSource {
    std::int32_t (*getParam)(std::uint8_t *packet, std::int32_t size) = nullptr;
    packet::HeadCodec codec;
};

struct Drained {
    std::int32_t packets = 0;  // handed on
    std::int32_t floats = 0;   // in those packets
    std::int32_t waiting = 0;  // what the library's last GetParam returned (-1: nothing was waiting)
};

// Takes `floats` waiting floats out of the library as "DATA" packets and
// hands each on to send: its head and exactly the payload the head
// announces, in buffer. The packet size, in 32-bit slots with the head's 3,
// is floats + 3 when that is below capture::kParamSlots, else
// capture::kParamSlots: at most 509 floats a packet. buffer (the window's
// bufData) is made that size, all zero, once for the drain and reused for
// each packet; with floats below 1 nothing is called and buffer is left
// alone. The library numbers the packets, counting on from its last one.
//
// A live drain passes what GetBufLen() returned, and everything waiting
// leaves; an offline one (Test analysed a whole recording) passes the floats
// of one capture tick, and no more than those are taken.
Drained DrainPackets(const ParameterSource &library, std::int32_t floats, std::vector<std::uint8_t> &buffer,
                     const std::function<void(std::span<const std::uint8_t> packet)> &send);

// The start of an utterance: "SRCG", number 0, no text (a bare head).
std::vector<std::uint8_t> UtteranceStart(const packet::HeadCodec &codec);
// The end of an utterance, which asks the server for its answer: "REST",
// number 0, the text CR LF.
std::vector<std::uint8_t> UtteranceEnd(const packet::HeadCodec &codec);

}  // namespace tessary
