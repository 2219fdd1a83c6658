// Real speech for the capture tests, spoken by espeak-ng into a temporary
// folder (and converted with sox where a rate is asked for).
#pragma once

#include <sndfile.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vantrel::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Speaks text in Czech into dir/name. rate 0 keeps espeak-ng's own rate
// (22050 Hz); otherwise sox converts it to that rate, 16-bit mono. Returns
// the path, or "" when the tools failed.
inline std::string Speak(const std::filesystem::path &dir, const std::string &name,
                         const std::string &text, int rate) {
    const std::filesystem::path spoken = dir / ("espeak-" + name);
    const std::filesystem::path out = dir / name;
    std::string command = "espeak-ng -v cs -w '" + spoken.string() + "' '" + text + "'";
    if (std::system(command.c_str()) != 0) return "";
    if (rate == 0) {
        std::filesystem::rename(spoken, out);
        return out.string();
    }
    command = "sox -q '" + spoken.string() + "' -r " + std::to_string(rate) + " -c 1 -b 16 -e signed '" +
              out.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return "";
    return out.string();
}

// The samples of a sound file, read with libsndfile as 16-bit (channels
// interleaved); empty when it cannot be read. rate, when given, receives the
// sample rate, or -1 when the file has more than one channel.
inline std::vector<std::int16_t> ReadWav(const std::string &path, int *rate = nullptr) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    if (rate != nullptr) *rate = info.channels == 1 ? info.samplerate : -1;
    return samples;
}

// The samples of a raw 16-bit little-endian file.
inline std::vector<std::int16_t> ReadRaw(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                               (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

}  // namespace vantrel::testing

namespace vantrel::testing {

// The samples of an audio file that sox can read, as 16-bit mono at its rate.
inline std::vector<std::int16_t> ReadWithSox(const std::filesystem::path &dir, const std::string &file) {
    const std::filesystem::path raw = dir / "sox-out.raw";
    const std::string command =
        "sox -q '" + file + "' -t raw -c 1 -b 16 -e signed -L '" + raw.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    return ReadRaw(raw.string());
}

}  // namespace vantrel::testing
