// The library's exported C functions. Each one catches everything: no C++
// exception crosses into the caller.
#include "vantrel.h"

#include "core/packet_head.h"

namespace {

template <typename F>
std::int32_t Guarded(F &&body, std::int32_t onFailure = -1) noexcept {
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

extern "C" {

VANTREL_API int32_t SetPacketHead(uint8_t *packet, const char *type, const int32_t *number,
                                  const int32_t *length) {
    vantrel::PacketHead head;
    for (int i = 0; i < 4; ++i) head.type[i] = type[i];
    head.number = *number;
    head.length = *length;
    vantrel::EncodePacketHead(head, packet);
    return 0;
}

VANTREL_API int32_t GetPacketHead(const uint8_t *packet, char *type, int32_t *number,
                                  int32_t *length) {
    const vantrel::PacketHead head = vantrel::DecodePacketHead(packet);
    for (int i = 0; i < 4; ++i) type[i] = head.type[i];
    *number = head.number;
    *length = head.length;
    return 0;
}

}  // extern "C"
