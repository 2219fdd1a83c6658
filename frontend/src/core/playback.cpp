#include "core/playback.h"

#include "core/messages.h"

#include <new>
#include <utility>

namespace vantrel {

namespace {

// The library has no window of its own: the box becomes one message line.
void ReportAsMessage(const char *caption, const std::string &text) { Report(std::string(caption) + " " + text); }

// Clears a flag when the scope ends, however it ends.
class FlagReset {
public:
    explicit FlagReset(std::atomic<bool> *flag) : flag_(flag) {}
    ~FlagReset() { flag_->store(false); }
    FlagReset(const FlagReset &) = delete;
    FlagReset &operator=(const FlagReset &) = delete;

private:
    std::atomic<bool> *flag_;
};

}  // namespace

Playback::Playback(PlaybackDeviceFactory makeDevice, SoundCardErrorReport report)
    : makeDevice_(std::move(makeDevice)),
      report_(report ? std::move(report) : SoundCardErrorReport(&ReportAsMessage)) {}

Playback::~Playback() {
    Close();
    {
        std::lock_guard<std::mutex> lock(releaserMutex_);
        releaserStop_ = true;
    }
    releaserWake_.notify_one();
    if (releaser_.joinable()) releaser_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    ReleaseLocked();
}

void Playback::SetupPlaybackFormat() {
    format_.formatTag = 1;
    format_.channels = 1;
    format_.samplesPerSecond = 8000;
    format_.bytesPerSecond = 16000;
    format_.blockAlign = 2;
    format_.bitsPerSample = 16;
    format_.extraBytes = 0;
    formatReady_ = true;
}

std::int32_t Playback::Open(const std::int16_t *samples, std::int32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (playing_.load()) return 0;
    if (!formatReady_) SetupPlaybackFormat();
    if (count < 1 || samples == nullptr) return 0;
    StartReleaser();
    // A buffer that has played to its end may still wait for the releaser;
    // its device and copy go now.
    ReleaseLocked();

    try {
        copy_.assign(samples, samples + count);
    } catch (const std::bad_alloc &) {
        ReleaseLocked();
        Report("no memory for a copy of " + std::to_string(count) + " samples to play");
        return 0;
    }

    std::unique_ptr<PlaybackDevice> device = makeDevice_ ? makeDevice_() : nullptr;
    if (device == nullptr) {
        ReleaseLocked();
        report_(kErrorCaption, "no output device can be made");
        return 0;
    }
    // The generation names this device to its notice, and is the handle.
    do {
        ++lastGeneration_;
    } while ((lastGeneration_ & 0x7fffffffu) == 0);
    const std::uint32_t generation = lastGeneration_;
    device_ = std::move(device);
    generation_.store(generation);

    int code = device_->Open(format_, [this, generation] { PlaybackDone(generation); });
    if (code == 0) code = device_->Prepare(copy_.data(), count);
    if (code == 0) {
        // Set before the buffer starts: a short one may end, and its notice
        // come, before Write has returned.
        playing_.store(true);
        code = device_->Write();
        if (code != 0) playing_.store(false);
    }
    if (code != 0) {
        ShowSoundCardError(device_.get(), code);
        ReleaseLocked();
        return 0;
    }
    return static_cast<std::int32_t>(generation & 0x7fffffffu);
}

std::int32_t Playback::Close() {
    if (closing_.exchange(true)) return -1;
    FlagReset closing(&closing_);
    std::int32_t result = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (playing_.exchange(false)) {
        // The position first: closing takes the buffer back.
        std::int32_t position = 0;
        if (device_ != nullptr && device_->Position(&position) == 0) result = position;
    }
    // Also a buffer that played to its end and still waits for the releaser:
    // once Close has returned no device is open.
    ReleaseLocked();
    return result;
}

void Playback::PlaybackDone(std::uint32_t generation) noexcept {
    if (generation_.load() != generation) return;
    bool expected = true;
    if (!playing_.compare_exchange_strong(expected, false)) return;
    // This notice cleared Playing, so the release is its: the releaser does
    // it, outside the device's own thread.
    {
        std::lock_guard<std::mutex> lock(releaserMutex_);
        releaseRequest_ = generation;
    }
    releaserWake_.notify_one();
}

void Playback::ReleaseLocked() noexcept {
    if (device_ != nullptr) {
        device_->Close();
        device_.reset();
    }
    generation_.store(0);
    std::vector<std::int16_t>().swap(copy_);
}

void Playback::StartReleaser() {
    if (!releaser_.joinable()) releaser_ = std::thread(&Playback::ReleaserLoop, this);
}

void Playback::ReleaserLoop() {
    std::unique_lock<std::mutex> wake(releaserMutex_);
    for (;;) {
        releaserWake_.wait(wake, [this] { return releaserStop_ || releaseRequest_ != 0; });
        if (releaseRequest_ == 0) return;  // stopped
        const std::uint32_t generation = std::exchange(releaseRequest_, 0);
        wake.unlock();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // The next Open or a Close may have released this device already.
            if (device_ != nullptr && generation_.load() == generation && !playing_.load()) {
                ReleaseLocked();
            }
        }
        wake.lock();
    }
}

void Playback::ShowSoundCardError(const PlaybackDevice *device, int code) {
    if (code == 0) return;
    std::string text = device->ErrorText(code);
    if (text.empty()) text = "error " + std::to_string(code);
    report_(kErrorCaption, text);
}

bool Playback::FormatReady() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return formatReady_;
}

std::int32_t Playback::CopyCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::int32_t>(copy_.size());
}

bool Playback::DeviceOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_ != nullptr;
}

}  // namespace vantrel
