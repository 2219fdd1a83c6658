// Test helpers without sockets: a temporary folder and synthetic frames.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "word_model.h"

namespace tessary::test {

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Frames (9 floats) of a made-up word: cepstra that move along a path of
// its own, at a loud energy; more frames speak it more slowly.
std::vector<float> SyntheticWord(int id, int frames);
// Frames of digital silence, as the library gives them (zero cepstra and an
// energy of minus infinity).
std::vector<float> SilenceFrames(int frames);
// silence + word + silence.
std::vector<float> Utterance(int id, int frames);
// A word model trained on made-up renditions of word id at several paces.
WordModel TrainedSyntheticModel(int id);

// A seed vocabulary file, dir/seed.tsv, of one recording for each word named.
std::filesystem::path WriteSeed(const std::filesystem::path &dir,
                                const std::vector<std::pair<std::string, std::vector<float>>> &words);

}  // namespace tessary::test
