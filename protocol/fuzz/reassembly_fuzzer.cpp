// Feeds random packet streams, cut into random chunks, to the receive
// reassembly and checks that it hands on exactly the packets that a plain
// walk over the whole stream finds, in the same order, decoded; that it stops
// at the first head with a bad length and keeps that head's bytes; and that
// its leftover buffer never grows beyond what was received (nothing is sized
// from a length in a head).
#include "core/packet_head.h"
#include "packet/packet.h"
#include "packet/reassembly.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace packet = tessary::packet;

const packet::HeadCodec kCodec{&vantrel::WritePacketHead, &vantrel::ReadPacketHead};
constexpr std::size_t kHead = VANTREL_PACKET_HEAD_SIZE;

std::int32_t LengthAt(const Bytes &bytes, std::size_t at) {
    return packet::DecodeHead(kCodec, std::span(bytes).subspan(at)).head.length;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

Bytes MakeStream(FuzzedDataProvider &data) {
    Bytes stream;
    while (data.remaining_bytes() > 0 && stream.size() < 64 * 1024) {
        const std::uint8_t kind = data.ConsumeIntegral<std::uint8_t>();
        packet::Head head;
        for (char &c : head.type) c = static_cast<char>(data.ConsumeIntegral<std::uint8_t>());
        head.number = data.ConsumeIntegral<std::int32_t>();
        Bytes payload;
        if (kind < 224) {  // a well-formed packet
            payload = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(0, 600));
            head.length = static_cast<std::int32_t>(payload.size());
        } else if (kind < 240) {  // a head whose payload never comes in full
            head.length = data.ConsumeIntegralInRange<std::int32_t>(0, packet::kMaxPayload);
        } else {  // any length at all, bad ones included
            head.length = data.ConsumeIntegral<std::int32_t>();
        }
        const std::size_t at = stream.size();
        stream.resize(at + kHead);
        kCodec.set(stream.data() + at, head.type.data(), &head.number, &head.length);
        stream.insert(stream.end(), payload.begin(), payload.end());
        if (kind == 255) {  // a bare tail: part of a head
            stream.resize(stream.size() - data.ConsumeIntegralInRange<std::size_t>(0, 11));
        }
    }
    return stream;
}

struct Whole {
    std::vector<Bytes> packets;
    bool badLength = false;
};

// The plain splitter: one walk over the whole stream.
Whole SplitWhole(const Bytes &stream) {
    Whole whole;
    std::size_t pos = 0;
    while (pos + kHead <= stream.size()) {
        const std::int32_t length = LengthAt(stream, pos);
        if (!packet::LengthAllowed(length)) {
            whole.badLength = true;
            break;
        }
        const std::size_t size = kHead + static_cast<std::size_t>(length);
        if (stream.size() - pos < size) break;
        whole.packets.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                                   stream.begin() + static_cast<std::ptrdiff_t>(pos + size));
        pos += size;
    }
    return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
    FuzzedDataProvider data(input, size);
    std::minstd_rand chunking(data.ConsumeIntegral<std::uint32_t>());
    const int maxChunk = data.ConsumeIntegralInRange<int>(1, 300);
    const Bytes stream = MakeStream(data);
    const Whole expected = SplitWhole(stream);

    tessary::ReceiveReassembly reassembly(kCodec);
    std::vector<Bytes> got;
    bool badLength = false;
    std::size_t received = 0;
    const auto handle = [&](const tessary::ReceivedPacket &p) {
        Check(p.head.length >= 0 && p.payload.size() == static_cast<std::size_t>(p.head.length));
        Bytes whole(kHead);
        kCodec.set(whole.data(), p.head.type.data(), &p.head.number, &p.head.length);
        whole.insert(whole.end(), p.payload.begin(), p.payload.end());
        got.push_back(std::move(whole));
    };
    while (received < stream.size()) {
        const std::size_t n = std::min<std::size_t>(
            stream.size() - received, std::uniform_int_distribution<int>(1, maxChunk)(chunking));
        // Each chunk in a buffer of exactly its size, so a read past it is caught.
        std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[n]);
        std::memcpy(chunk.get(), stream.data() + received, n);
        received += n;
        const auto result = reassembly.Arrive(std::span<const std::uint8_t>(chunk.get(), n), handle);
        const tessary::PacketRest &rest = reassembly.Rest();
        Check(rest.restBufB.size() <= 2 * received + 2);
        Check(rest.nRestB == -1 || (rest.nRestB >= 1 && static_cast<std::size_t>(rest.nRestB) <= received));
        if (result == tessary::WalkResult::BadLength) {
            badLength = true;
            const auto &bytes = reassembly.BadHeadBytes();
            Check(!packet::LengthAllowed(LengthAt(Bytes(bytes.begin(), bytes.end()), 0)));
            break;  // the window closes the connection here
        }
    }
    Check(badLength == expected.badLength);
    Check(got == expected.packets);
    return 0;
}
