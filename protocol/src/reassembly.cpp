#include "packet/reassembly.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tessary {

namespace {
constexpr std::int64_t kHead = VANTREL_PACKET_HEAD_SIZE;
}

WalkResult ReceiveReassembly::Arrive(std::span<const std::uint8_t> chunk,
                                     const OnPacket &onPacket) {
    // First use.
    if (rcvRest_.nRestB == 0) {
        rcvRest_.restBufB.assign(2, 0);
        rcvRest_.nRestB = -1;
    }
    if (chunk.empty()) return WalkResult::Ok;

    // The leftover holds a whole head whose packet this chunk still does not
    // complete: add the bytes to the leftover and wait for more. (The walk
    // would read the same head again and keep the same bytes, only slower.)
    if (rcvRest_.nRestB >= static_cast<std::int32_t>(kHead) &&
        static_cast<std::int64_t>(rcvRest_.nRestB) + static_cast<std::int64_t>(chunk.size()) <
            rcvRest_.packetSize) {
        const auto held = static_cast<std::size_t>(rcvRest_.nRestB);
        if (rcvRest_.restBufB.size() < held + chunk.size()) {
            rcvRest_.restBufB.resize(std::max(held + chunk.size(), rcvRest_.restBufB.size() * 2));
        }
        std::copy(chunk.begin(), chunk.end(), rcvRest_.restBufB.begin() + rcvRest_.nRestB);
        rcvRest_.nRestB += static_cast<std::int32_t>(chunk.size());
        return WalkResult::Ok;
    }

    // rcvBufB: the leftover, then the new bytes.
    if (rcvRest_.nRestB > 0) {
        const auto held = static_cast<std::size_t>(rcvRest_.nRestB);
        rcvBufB_.resize(held + chunk.size());
        std::copy_n(rcvRest_.restBufB.begin(), held, rcvBufB_.begin());
        std::copy(chunk.begin(), chunk.end(), rcvBufB_.begin() + rcvRest_.nRestB);
    } else {
        rcvBufB_.assign(chunk.begin(), chunk.end());
    }
    rcvRest_.nRestB = 0;
    if (rcvBufB_.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("received chunk too large");
    }

    // The walk. The head that starts a leftover was decoded when it first
    // came whole; it is not read again.
    const auto n = static_cast<std::int64_t>(rcvBufB_.size());
    std::int64_t pos = 0;
    packet::Head head;
    while (pos + kHead <= n) {
        const auto at = static_cast<std::size_t>(pos);
        if (pos == 0 && heldHead_) {
            head = *heldHead_;
        } else {
            const packet::DecodedHead decoded = packet::DecodeHead(codec_, std::span(rcvBufB_).subspan(at));
            head = decoded.head;
            if (decoded.status == packet::HeadStatus::BadLength) {
                badHead_ = head;
                std::copy_n(rcvBufB_.begin() + static_cast<std::ptrdiff_t>(at), kHead, badHeadBytes_.begin());
                DropLeftover();
                return WalkResult::BadLength;
            }
        }
        heldHead_.reset();
        rcvRest_.packetSize = head.length + static_cast<std::int32_t>(kHead);
        if (pos + rcvRest_.packetSize <= n) {
            onPacket({head, std::span<const std::uint8_t>(rcvBufB_).subspan(at + static_cast<std::size_t>(kHead),
                                                                         static_cast<std::size_t>(head.length))});
        }
        pos += rcvRest_.packetSize;
    }

    if (pos == n) {
        rcvRest_.nRestB = -1;
        ReleaseLargeBuffers();
        return WalkResult::Ok;
    }
    if (pos > n) {  // back to the start of the incomplete packet, whose head is known
        pos -= rcvRest_.packetSize;
        heldHead_ = head;
    }
    KeepLeftover(pos, n);
    return WalkResult::Ok;
}

void ReceiveReassembly::KeepLeftover(std::int64_t pos, std::int64_t n) {
    rcvRest_.nRestB = static_cast<std::int32_t>(n - pos);
    if (static_cast<std::size_t>(rcvRest_.nRestB) > rcvRest_.restBufB.size()) {
        rcvRest_.restBufB.assign(static_cast<std::size_t>(rcvRest_.nRestB) + 1, 0);
    }
    for (rcvRest_.iRestB = 0; rcvRest_.iRestB < rcvRest_.nRestB; ++rcvRest_.iRestB) {
        rcvRest_.restBufB[static_cast<std::size_t>(rcvRest_.iRestB)] =
            rcvBufB_[static_cast<std::size_t>(pos + rcvRest_.iRestB)];
    }
}

// A large packet leaves large buffers behind; once it is through, they are
// given back, so one big message does not hold its size for good.
void ReceiveReassembly::ReleaseLargeBuffers() {
    constexpr std::size_t kKeep = 64 * 1024;
    if (rcvBufB_.capacity() > kKeep) std::vector<std::uint8_t>().swap(rcvBufB_);
    if (rcvRest_.restBufB.capacity() > kKeep) std::vector<std::uint8_t>(2, 0).swap(rcvRest_.restBufB);
}

void ReceiveReassembly::DropLeftover() {
    heldHead_.reset();
    if (!rcvRest_.restBufB.empty()) rcvRest_.nRestB = -1;
}

}  // namespace tessary
