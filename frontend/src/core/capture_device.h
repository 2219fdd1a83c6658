// The two seams of the capture engine: the device that records into the
// library's buffer, and the host that runs the capture tick and receives the
// notifications. The engine pulls from these interfaces and makes no platform
// call itself; the adapters live one per file in src/platform/, and the tests
// drive the engine with in-memory ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vantrel {

// An input that records 8000 Hz, 16-bit mono into one buffer that the engine
// owns. All three operations are called on the tick's thread.
class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;

    // Starts recording into buffer[0], buffer[1], ... up to buffer[length - 1]
    // and never beyond. The engine has zeroed the buffer and keeps it alive
    // until Close has returned. Returns 0, or -1 when recording cannot start
    // (then nothing is left running).
    virtual int Open(std::int16_t *buffer, std::int32_t length) = 0;

    // Stores in *samples the number of samples recorded since Open. Every
    // sample below that position is in the buffer when this returns. Returns
    // 0, or -1 when the position cannot be had (*samples is then unchanged).
    virtual int Position(std::int32_t *samples) = 0;

    // Stops recording and closes; the device writes nothing afterwards.
    // Returns 0, or -1 when closing failed.
    virtual int Close() = 0;
};

// Makes the device for the next recording; may return null when none can be
// made (StartRecord then fails).
using CaptureDeviceFactory = std::function<std::unique_ptr<CaptureDevice>()>;

// The window that owns the recording. Called only on the tick's thread.
class CaptureHost {
public:
    virtual ~CaptureHost() = default;

    // Starts a periodic timer of periodMs that calls the engine's Tick on this
    // thread, from the host's event loop. Returns a nonzero identifier, or 0.
    virtual std::uint32_t SetTimer(std::int32_t periodMs) = 0;
    virtual void KillTimer(std::uint32_t timerId) = 0;

    // Queues the code for the window, to be handled after Tick has returned.
    virtual void PostNotify(std::int32_t code) = 0;
};

}  // namespace vantrel
