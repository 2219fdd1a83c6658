// The library's exported C functions. Each one catches everything: no C++
// exception crosses into the caller. The capture side is one engine per
// process, built when the library loads; so is playback.
#include "vantrel.h"

#include <cstring>
#include <memory>

#include "core/capture_engine.h"
#include "core/packet_head.h"
#include "core/playback.h"
#include "platform/capture_devices.h"
#include "platform/playback_devices.h"

namespace {

template <typename F>
std::int32_t Guarded(F &&body, std::int32_t onFailure = -1) noexcept {
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

void CaptureTick() noexcept;

// The caller's host record behind the engine's host interface. The record is
// copied: the caller's functions and context are what count.
class HostAdapter final : public vantrel::CaptureHost {
public:
    explicit HostAdapter(const VantrelHost &host) : host_(host) {}

    std::uint32_t SetTimer(std::int32_t periodMs) override {
        if (host_.set_timer == nullptr) return 0;
        return host_.set_timer(host_.context, periodMs, &CaptureTick);
    }
    void KillTimer(std::uint32_t timerId) override {
        if (host_.kill_timer != nullptr) host_.kill_timer(host_.context, timerId);
    }
    void PostNotify(std::int32_t code) override {
        if (host_.post_notify != nullptr) host_.post_notify(host_.context, code);
    }

private:
    VantrelHost host_;
};

std::unique_ptr<HostAdapter> g_host;
vantrel::CaptureEngine g_engine(&vantrel::MakeCaptureDevice);
vantrel::Playback g_playback(&vantrel::MakePlaybackDevice);

void CaptureTick() noexcept {
    try {
        g_engine.Tick();
    } catch (...) {
    }
}

}  // namespace

extern "C" {

VANTREL_API int32_t SetPacketHead(uint8_t *packet, const char *type, const int32_t *number,
                                  const int32_t *length) {
    return vantrel::WritePacketHead(packet, type, number, length);
}

VANTREL_API int32_t GetPacketHead(const uint8_t *packet, char *type, int32_t *number,
                                  int32_t *length) {
    return vantrel::ReadPacketHead(packet, type, number, length);
}

VANTREL_API int32_t InitClient(const VantrelHost *host, int32_t timerPeriod, int32_t ncep,
                               int32_t windowLength, int32_t frameShift, int32_t captureMs) {
    return Guarded([&] {
        // The old host may still be needed to kill a running timer.
        std::unique_ptr<HostAdapter> adapter;
        if (host != nullptr) adapter = std::make_unique<HostAdapter>(*host);
        const int result =
            g_engine.Init(adapter.get(), timerPeriod, ncep, windowLength, frameShift, captureMs);
        g_host = std::move(adapter);
        return result;
    });
}

VANTREL_API int32_t DeallocEnv(void) {
    return Guarded([] { return g_engine.Dealloc(); });
}

VANTREL_API int32_t StartRecord(void) {
    return Guarded([] { return g_engine.StartRecord(); });
}

VANTREL_API int32_t StopRecord(void) {
    return Guarded([] { return g_engine.StopRecord(); }, 0);
}

VANTREL_API int32_t GetBufLen(void) {
    return Guarded([] { return g_engine.BufLen(); });
}

VANTREL_API int32_t GetParam(uint8_t *packet, int32_t size) {
    return Guarded([&] { return g_engine.GetParam(packet, size); });
}

VANTREL_API int32_t Test(const int16_t *samples, int32_t count) {
    return Guarded([&] { return g_engine.Test(samples, count); }, 0);
}

VANTREL_API int32_t OpenSoundCardOut(const int16_t *samples, int32_t count) {
    return Guarded([&] { return g_playback.Open(samples, count); }, 0);
}

VANTREL_API int32_t CloseSoundCardOut(void) {
    return Guarded([] { return g_playback.Close(); }, 0);
}

}  // extern "C"
