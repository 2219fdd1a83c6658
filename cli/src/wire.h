// The wire as tessary-cli sees it: the client layer shared with the window
// (packets framed and checked by the packet module, cut out of the byte
// stream by the receive reassembly, text in Windows-1250 through the one
// code page), with heads written and read by the library's exported codec.
// Nothing here frames, cuts or converts on its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "packet/code_page.h"
#include "packet/packet.h"
#include "packet/reassembly.h"

namespace tessary::cli {

using Head = packet::Head;

// libvantrel's SetPacketHead and GetPacketHead.
const packet::HeadCodec &Codec();

// Reads the head at packet[0..11] of a packet we send.
Head ReadHead(const std::uint8_t *packet);
// Overwrites the number of the head at packet[0..11].
void Renumber(std::uint8_t *packet, std::int32_t number);

// One whole packet: the head and the payload bytes.
std::vector<std::uint8_t> Frame(std::string_view type, std::int32_t number,
                                std::span<const std::uint8_t> payload);
// A text message: the UTF-8 text in Windows-1250, CR LF appended when asked.
std::vector<std::uint8_t> FrameText(std::string_view type, std::int32_t number, std::string_view utf8,
                                    bool crlf = false);

// Number of characters of a UTF-8 text.
std::size_t CharacterCount(std::string_view utf8);

// "UMSG" number 0 length 12 (55 4D 53 47 00 00 00 00 0C 00 00 00): a head
// as read and the bytes it was read from.
std::string DescribeHead(const Head &head, std::span<const std::uint8_t, VANTREL_PACKET_HEAD_SIZE> bytes);
// The head that stopped a reassembly (WalkResult::BadLength).
std::string DescribeBadHead(const ReceiveReassembly &reassembly);

}  // namespace tessary::cli
