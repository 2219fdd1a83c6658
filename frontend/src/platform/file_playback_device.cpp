#include "platform/file_playback_device.h"

#include "core/messages.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace vantrel {

namespace {

// The writer's pace: it wakes this often and writes what has become due.
constexpr auto kStep = std::chrono::milliseconds(5);

}  // namespace

FilePlaybackDevice::FilePlaybackDevice(std::string path) : path_(std::move(path)) {}

FilePlaybackDevice::~FilePlaybackDevice() { Close(); }

int FilePlaybackDevice::Open(const PlaybackFormat &format, PlaybackNotice notice) {
    if (open_) return kNotOpen;
    if (format.formatTag != 1 || format.channels != 1 || format.bitsPerSample != 16 ||
        format.samplesPerSecond < 1) {
        error_ = "only 16-bit mono PCM can be played";
        return kBadFormat;
    }
    SF_INFO info{};
    info.samplerate = format.samplesPerSecond;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(path_.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        const int code = sf_error(nullptr);
        error_ = "cannot write VANTREL_PLAYBACK_FILE \"" + path_ + "\": " + sf_strerror(nullptr);
        return code != 0 ? code : kNotOpen;
    }
    rate_ = format.samplesPerSecond;
    notice_ = std::move(notice);
    open_ = true;
    return 0;
}

int FilePlaybackDevice::Prepare(const std::int16_t *samples, std::int32_t count) {
    if (!open_ || writer_.joinable()) return kNotOpen;
    if (samples == nullptr || count < 1) {
        error_ = "no samples to play";
        return kBadBuffer;
    }
    samples_ = samples;
    count_ = count;
    return 0;
}

int FilePlaybackDevice::Write() {
    if (!open_ || samples_ == nullptr || writer_.joinable()) return kNotOpen;
    start_ = Clock::now();
    written_ = 0;
    stop_ = false;
    try {
        writer_ = std::thread(&FilePlaybackDevice::Run, this);
    } catch (const std::system_error &e) {
        error_ = std::string("cannot start the writer: ") + e.what();
        return kThreadFailed;
    }
    return 0;
}

std::int32_t FilePlaybackDevice::Due(Clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count();
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(elapsed * rate_ / 1000000, 0, count_));
}

int FilePlaybackDevice::Position(std::int32_t *samples) {
    if (!open_) return kNotOpen;
    *samples = writer_.joinable() ? Due(Clock::now()) : 0;
    return 0;
}

bool FilePlaybackDevice::WriteUpTo(std::int32_t end) {
    if (end <= written_) return true;
    const sf_count_t n = end - written_;
    if (sf_write_short(file_, samples_ + written_, n) != n) return false;
    written_ = end;
    return true;
}

void FilePlaybackDevice::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool stopped = wake_.wait_for(lock, kStep, [this] { return stop_; });
        // What has been played up to now goes into the file, also when
        // stopped: the file holds at least what Position reported.
        if (!WriteUpTo(Due(Clock::now()))) {
            Report("writing VANTREL_PLAYBACK_FILE \"" + path_ + "\" failed: " + sf_strerror(file_));
            break;  // the buffer is given back, as a failing card does
        }
        if (stopped) {
            // A stopped card hands the buffer back with its notice too; the
            // file stays open until Close.
            lock.unlock();
            notice_();
            return;
        }
        if (written_ == count_) break;
    }
    // Played to its end (or given back): the file is complete before the
    // notice says so.
    lock.unlock();
    sf_close(file_);
    file_ = nullptr;
    notice_();
}

int FilePlaybackDevice::Close() {
    if (writer_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        writer_.join();
    }
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    samples_ = nullptr;
    count_ = 0;
    notice_ = nullptr;
    const bool wasOpen = std::exchange(open_, false);
    return wasOpen ? 0 : kNotOpen;
}

std::string FilePlaybackDevice::ErrorText(int code) const {
    if (!error_.empty()) return error_;
    return sf_error_number(code);
}

}  // namespace vantrel
