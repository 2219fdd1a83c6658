// CaptureEngine: the recording side of the library. It records into one large
// capture buffer, analyses every new whole frame on each capture tick into the
// parameter buffer, posts a notification code after every tick, and hands the
// waiting floats out as "DATA" packets.
//
// Positions and sizes are in samples at 8000 Hz, the parameter buffer is
// counted in floats. A parameter frame is NumCep coefficients followed by the
// frame's log10 energy.
//
//   CaptureLength = captureMs * 8
//   ParamCapacity = timerPeriod * (NumCep + 1) * 80 / FrameShift + 1
//                   (the frames of ten tick periods, plus one float)
//
// The tick reads the device position, scans back from it for the end of the
// data actually written (the last run of at least 11 non-zero samples in the
// new range; the buffer is zeroed before each recording), then analyses the
// frames that start at AnalysedPos, AnalysedPos + FrameShift, ... while a frame
// and the sample just past it are recorded. A frame is stored only while
// ParamFill + NumCep + 1 < ParamCapacity, so one float always stays free; a
// frame without room stays first in line for the next tick. The live analysis
// starts at sample 1, Test at sample 0.
//
// Choices where the recorder's contract leaves room:
// - A failing position query analyses nothing new; the tick still notifies.
// - A position past the end of the capture buffer is taken as its end; a
//   negative one counts as a failing query.
// - Init with unusable parameters (frameShift < 1 or above windowLength,
//   windowLength < 2, ncep < 1, timerPeriod < 1, captureMs < 1, sizes that
//   overflow 32 bits) or when a buffer cannot be had: -1, no buffers, and a
//   later StartRecord fails with -1; Test then analyses nothing.
// - GetParam with size < 3 writes nothing and returns -1.
// - StartRecord when the device cannot be opened kills its timer again and
//   returns -1. StartRecord during a recording first stops that recording.
// - Without a host (offline use) Test and the buffer functions work and
//   StartRecord returns -1.
// - DeallocEnv also kills a running timer, since the buffers the tick reads
//   are gone.
// - StopRecord after the tick closed the device itself is harmless.
//
// Thread: every member function runs on the one thread that runs the host's
// event loop; only the device may write into the capture buffer from its own
// thread, below the position it publishes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/capture_device.h"
#include "core/frame_analyzer.h"

namespace vantrel {

inline constexpr std::int32_t kNotifyData = 550;
inline constexpr std::int32_t kNotifyEnd = 551;
inline constexpr std::int32_t kNotifyDataFull = 552;
inline constexpr std::int32_t kNotifyEndFull = 553;
inline constexpr std::int32_t kSamplesPerMs = 8;

class CaptureEngine {
public:
    explicit CaptureEngine(CaptureDeviceFactory makeDevice);
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine &) = delete;
    CaptureEngine &operator=(const CaptureEngine &) = delete;

    // host may be null (offline use); the engine does not own it and uses it
    // until the next Init or Dealloc. Returns 0 or -1 (see above).
    int Init(CaptureHost *host, std::int32_t timerPeriod, std::int32_t ncep,
             std::int32_t windowLength, std::int32_t frameShift, std::int32_t captureMs);

    // Kills a running timer, releases both buffers, closes the device.
    // Returns the result of closing: -1 when no device was open.
    int Dealloc();

    int StartRecord();
    // Kills the timer and closes the device; waiting frames stay. Returns 0.
    int StopRecord();

    // The capture tick; the host's timer calls it once per period.
    void Tick();

    std::int32_t BufLen() const { return paramFill_; }
    // Writes a "DATA" packet of at most size - 3 floats into packet (size in
    // 32-bit slots, head included). Returns the floats still waiting, or -1
    // when nothing was waiting or size < 3 (packet untouched).
    std::int32_t GetParam(std::uint8_t *packet, std::int32_t size);

    // Analyses count samples offline into the parameter buffer, discarding
    // the frames waiting. Returns 0.
    int Test(const std::int16_t *samples, std::int32_t count);

    // State, for the exported functions' tests and for the curious.
    std::int32_t CaptureLength() const { return captureLength_; }
    std::int32_t ParamCapacity() const { return paramCapacity_; }
    std::int32_t AnalysedPos() const { return analysedPos_; }
    std::int32_t RecordedPos() const { return recordedPos_; }
    std::int32_t PacketCounter() const { return packetCounter_; }
    bool Recording() const { return timerId_ != 0; }
    bool DeviceOpen() const { return device_ != nullptr; }
    const std::int16_t *CaptureBuffer() const { return captureBuffer_.data(); }
    const FrameAnalyzer &Analyzer() const { return analyzer_; }

private:
    int OpenCapture();
    int CloseCapture();
    void KillTimer();
    void ReleaseBuffers();
    // Analyses the frames from analysedPos_ on while a frame starts below
    // limit, as far as they fit. Returns false when a frame found no room.
    bool AnalyzeUpTo(const std::int16_t *samples, std::int32_t limit);

    CaptureDeviceFactory makeDevice_;
    CaptureHost *host_ = nullptr;
    std::int32_t timerPeriod_ = 0;
    std::int32_t numCep_ = 0;
    std::int32_t windowLength_ = 0;
    std::int32_t frameShift_ = 0;
    std::int32_t captureLength_ = 0;
    std::vector<std::int16_t> captureBuffer_;
    std::vector<float> paramBuffer_;
    std::int32_t paramCapacity_ = 0;
    std::int32_t paramFill_ = 0;
    std::int32_t analysedPos_ = 0;
    std::int32_t recordedPos_ = 0;
    std::uint32_t timerId_ = 0;
    bool inTick_ = false;
    std::int32_t packetCounter_ = 0;
    std::unique_ptr<CaptureDevice> device_;
    FrameAnalyzer analyzer_;
};

}  // namespace vantrel
