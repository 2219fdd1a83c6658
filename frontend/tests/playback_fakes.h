// Stand-ins for the playback seam. A ScriptedDevice plays for as long as its
// script says, on a thread of its own, and calls the completion notice from
// that thread when the time is up or when it is stopped, as a sound card
// does. A Ledger counts what the logic did to every device it made, so that
// a release done twice, or never, shows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/playback_device.h"

namespace vantrel::testing {

struct Ledger {
    std::atomic<int> made{0};
    std::atomic<int> closes{0};
    std::atomic<int> doubleCloses{0};     // Close on a device already closed
    std::atomic<int> droppedUnclosed{0};  // destroyed without Close
    std::atomic<int> notices{0};

    // The script for the next device.
    std::atomic<int> failAt{0};  // 1 Open, 2 Prepare, 3 Write fail
    std::atomic<long> playMicroseconds{-1};  // -1: plays until stopped
    std::atomic<bool> endsBeforeWriteReturns{false};
    // Set by the device: the samples it was given, read at Write.
    std::mutex mutex;
    std::vector<std::int16_t> played;
    PlaybackFormat format;
};

class ScriptedDevice final : public PlaybackDevice {
public:
    explicit ScriptedDevice(Ledger *ledger) : ledger_(ledger) { ++ledger_->made; }
    ~ScriptedDevice() override {
        if (!closed_) ++ledger_->droppedUnclosed;
        Stop();
    }

    int Open(const PlaybackFormat &format, PlaybackNotice notice) override {
        {
            std::lock_guard<std::mutex> lock(ledger_->mutex);
            ledger_->format = format;
        }
        if (ledger_->failAt.load() == 1) return 11;
        notice_ = std::move(notice);
        return 0;
    }
    int Prepare(const std::int16_t *samples, std::int32_t count) override {
        if (ledger_->failAt.load() == 2) return 12;
        samples_ = samples;
        count_ = count;
        return 0;
    }
    int Write() override {
        if (ledger_->failAt.load() == 3) return 13;
        {
            std::lock_guard<std::mutex> lock(ledger_->mutex);
            ledger_->played.assign(samples_, samples_ + count_);
        }
        const long playFor = ledger_->playMicroseconds.load();
        start_ = std::chrono::steady_clock::now();
        thread_ = std::thread([this, playFor] {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto stopped = [this] { return stop_; };
            if (playFor < 0) {
                wake_.wait(lock, stopped);
            } else {
                wake_.wait_for(lock, std::chrono::microseconds(playFor), stopped);
            }
            // The buffer is read to its end, or handed back.
            volatile std::int16_t last = samples_[count_ - 1];
            static_cast<void>(last);
            lock.unlock();
            ++ledger_->notices;
            notice_();
            noticed_ = true;
        });
        if (ledger_->endsBeforeWriteReturns.load()) {
            while (!noticed_.load()) std::this_thread::yield();
        }
        return 0;
    }
    int Position(std::int32_t *samples) override {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start_).count();
        *samples = static_cast<std::int32_t>(std::min<long long>(us * 8 / 1000, count_));
        return 0;
    }
    int Close() override {
        if (closed_) ++ledger_->doubleCloses;
        closed_ = true;
        Stop();
        ++ledger_->closes;
        return 0;
    }
    std::string ErrorText(int code) const override { return "scripted failure " + std::to_string(code); }

private:
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    Ledger *ledger_;
    PlaybackNotice notice_;
    const std::int16_t *samples_ = nullptr;
    std::int32_t count_ = 0;
    std::chrono::steady_clock::time_point start_;
    bool closed_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> noticed_{false};
};

inline PlaybackDeviceFactory ScriptedFactory(Ledger *ledger) {
    return [ledger] { return std::make_unique<ScriptedDevice>(ledger); };
}

// Polls until done() holds or the time is up; true when it held.
template <typename Condition>
bool WaitUntil(Condition done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vantrel::testing
