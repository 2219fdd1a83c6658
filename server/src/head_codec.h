// The server's packet head codec: the library's own, linked in (the same
// functions libvantrel exports as SetPacketHead and GetPacketHead).
#pragma once

#include "core/packet_head.h"
#include "packet/packet.h"

namespace tessary {

inline constexpr packet::HeadCodec kHeadCodec{&vantrel::WritePacketHead, &vantrel::ReadPacketHead};

}  // namespace tessary
