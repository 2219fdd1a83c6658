#include "core/capture_engine.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/packet_head.h"

namespace vantrel {

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// Length of the run of non-zero samples that marks recorded data.
constexpr int kRecordedRun = 11;

}  // namespace

CaptureEngine::CaptureEngine(CaptureDeviceFactory makeDevice) : makeDevice_(std::move(makeDevice)) {}

// The host may be gone when the library unloads: only the device, which
// writes into the buffer about to be freed, is stopped.
CaptureEngine::~CaptureEngine() { CloseCapture(); }

int CaptureEngine::Init(CaptureHost *host, std::int32_t timerPeriod, std::int32_t ncep,
                        std::int32_t windowLength, std::int32_t frameShift,
                        std::int32_t captureMs) {
    Dealloc();
    host_ = host;
    packetCounter_ = 0;
    analysedPos_ = 1;
    recordedPos_ = 1;
    paramFill_ = 0;

    const bool usable = timerPeriod >= 1 && ncep >= 1 && windowLength >= 2 && frameShift >= 1 &&
                        frameShift <= windowLength && captureMs >= 1 && ncep <= kInt32Max - 5;
    if (!usable) return -1;
    const std::int64_t captureLength = std::int64_t{captureMs} * kSamplesPerMs;
    const std::int64_t periodFloats = std::int64_t{timerPeriod} * (std::int64_t{ncep} + 1);
    if (captureLength > kInt32Max || periodFloats > kInt32Max) return -1;
    const std::int64_t paramCapacity = periodFloats * 80 / frameShift + 1;
    if (paramCapacity > kInt32Max) return -1;

    try {
        captureBuffer_.assign(static_cast<std::size_t>(captureLength), 0);
        paramBuffer_.assign(static_cast<std::size_t>(paramCapacity), 0.0f);
    } catch (const std::bad_alloc &) {
        ReleaseBuffers();
        return -1;
    } catch (const std::length_error &) {
        ReleaseBuffers();
        return -1;
    }
    if (analyzer_.Configure(windowLength, frameShift, ncep + 5, ncep + 4, ncep) != 0) {
        ReleaseBuffers();
        return -1;
    }
    timerPeriod_ = timerPeriod;
    numCep_ = ncep;
    windowLength_ = windowLength;
    frameShift_ = frameShift;
    captureLength_ = static_cast<std::int32_t>(captureLength);
    paramCapacity_ = static_cast<std::int32_t>(paramCapacity);
    return 0;
}

int CaptureEngine::Dealloc() {
    KillTimer();
    const int closed = CloseCapture();
    ReleaseBuffers();
    return closed;
}

void CaptureEngine::ReleaseBuffers() {
    captureBuffer_ = {};
    paramBuffer_ = {};
    captureLength_ = 0;
    paramCapacity_ = 0;
    paramFill_ = 0;
}

int CaptureEngine::StartRecord() {
    if (host_ == nullptr || captureBuffer_.empty() || paramBuffer_.empty()) return -1;
    if (Recording() || DeviceOpen()) StopRecord();
    timerId_ = host_->SetTimer(timerPeriod_);
    if (timerId_ == 0) return -1;
    if (OpenCapture() != 0) {
        KillTimer();
        return -1;
    }
    return 0;
}

int CaptureEngine::StopRecord() {
    KillTimer();
    CloseCapture();
    return 0;
}

void CaptureEngine::KillTimer() {
    if (timerId_ != 0 && host_ != nullptr) host_->KillTimer(timerId_);
    timerId_ = 0;
}

int CaptureEngine::OpenCapture() {
    // Frames still waiting from an earlier recording are discarded.
    analysedPos_ = 1;
    recordedPos_ = 1;
    paramFill_ = 0;
    // The scan for the end of the recorded data relies on the zeros.
    std::fill(captureBuffer_.begin(), captureBuffer_.end(), std::int16_t{0});
    if (!makeDevice_) return -1;
    std::unique_ptr<CaptureDevice> device = makeDevice_();
    if (device == nullptr) return -1;
    if (device->Open(captureBuffer_.data(), captureLength_) != 0) return -1;
    device_ = std::move(device);
    return 0;
}

int CaptureEngine::CloseCapture() {
    if (device_ == nullptr) return -1;
    const int closed = device_->Close();
    device_.reset();
    return closed == 0 ? 0 : -1;
}

void CaptureEngine::Tick() {
    if (inTick_) return;
    inTick_ = true;
    std::int32_t code = kNotifyData;

    std::int32_t pos = 0;
    const bool havePosition = device_ != nullptr && device_->Position(&pos) == 0 && pos >= 0;
    if (havePosition) {
        pos = std::min(pos, captureLength_);
        recordedPos_ = pos;

        // End of the capture: the tick stops the device itself, then goes on
        // over what was recorded.
        if (pos > captureLength_ - windowLength_) {
            KillTimer();
            CloseCapture();
            code = kNotifyEnd;
        }

        if (recordedPos_ - analysedPos_ >= frameShift_) {
            // Scan down for the end of the data actually written: one past the
            // highest run of kRecordedRun non-zero samples.
            int run = 0;
            for (std::int32_t i = recordedPos_ - 1; i >= analysedPos_ + 1; --i) {
                run = captureBuffer_[static_cast<std::size_t>(i)] == 0 ? 0 : run + 1;
                if (run >= kRecordedRun) {
                    recordedPos_ = i + kRecordedRun;
                    break;
                }
            }
            if (!AnalyzeUpTo(captureBuffer_.data(), recordedPos_ - windowLength_)) code += 2;
        }
    }

    if (host_ != nullptr) host_->PostNotify(code);
    inTick_ = false;
}

bool CaptureEngine::AnalyzeUpTo(const std::int16_t *samples, std::int32_t limit) {
    if (analysedPos_ >= limit || paramBuffer_.empty()) return true;
    // Frames start at analysedPos_ + k * frameShift_ while below limit.
    const std::int64_t frameFloats = std::int64_t{numCep_} + 1;
    const std::int64_t frames = (std::int64_t{limit} - analysedPos_ + frameShift_ - 1) / frameShift_;
    // A frame is stored only while paramFill_ + frameFloats < paramCapacity_.
    const std::int64_t room =
        std::max<std::int64_t>(0, (std::int64_t{paramCapacity_} - 1 - paramFill_) / frameFloats);
    const std::int64_t count = std::min(frames, room);
    if (count > 0) {
        analyzer_.AnalyzeFrames(samples + analysedPos_, static_cast<int>(count),
                                paramBuffer_.data() + paramFill_);
        analysedPos_ = static_cast<std::int32_t>(analysedPos_ + count * frameShift_);
        paramFill_ = static_cast<std::int32_t>(paramFill_ + count * frameFloats);
    }
    return frames <= room;
}

std::int32_t CaptureEngine::GetParam(std::uint8_t *packet, std::int32_t size) {
    if (paramFill_ < 1 || size < 3 || packet == nullptr) return -1;
    const std::int32_t n = std::min(paramFill_, size - 3);
    EncodePacketHead({{'D', 'A', 'T', 'A'}, packetCounter_, 4 * n}, packet);
    for (std::int32_t i = 0; i < n; ++i) {
        StoreLittleEndian32(packet + VANTREL_PACKET_HEAD_SIZE + 4 * static_cast<std::size_t>(i),
                            std::bit_cast<std::uint32_t>(paramBuffer_[static_cast<std::size_t>(i)]));
    }
    if (paramFill_ > n) {
        std::memmove(paramBuffer_.data(), paramBuffer_.data() + n,
                     static_cast<std::size_t>(paramFill_ - n) * sizeof(float));
    }
    paramFill_ -= n;
    ++packetCounter_;
    return paramFill_;
}

int CaptureEngine::Test(const std::int16_t *samples, std::int32_t count) {
    recordedPos_ = count;
    analysedPos_ = 0;
    paramFill_ = 0;
    if (samples == nullptr || paramBuffer_.empty() || count < frameShift_ || count <= windowLength_) {
        return 0;
    }
    AnalyzeUpTo(samples, count - windowLength_);
    return 0;
}

}  // namespace vantrel
