#include "test_support.h"

#include <stdlib.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>

#include <fstream>

#include "frame_features.h"
#include "vocabulary.h"

namespace tessary::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessary-server-test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<float> SyntheticWord(int id, int frames) {
    std::vector<float> out;
    for (int t = 0; t < frames; ++t) {
        const double phase = static_cast<double>(t) / frames;  // 0 to 1 through the word
        for (int k = 0; k < kNumCep; ++k)
            out.push_back(static_cast<float>(3.0 * std::sin(3.0 * phase * (id + 1) + k * (id + 2) * 0.7)));
        out.push_back(static_cast<float>(7.0 + 0.5 * std::sin(3.14159 * phase)));
    }
    return out;
}

std::vector<float> SilenceFrames(int frames) {
    std::vector<float> out;
    for (int t = 0; t < frames; ++t) {
        out.insert(out.end(), kNumCep, 0.0f);
        out.push_back(-std::numeric_limits<float>::infinity());
    }
    return out;
}

std::vector<float> Utterance(int id, int frames) {
    std::vector<float> out = SilenceFrames(20);
    const auto word = SyntheticWord(id, frames);
    out.insert(out.end(), word.begin(), word.end());
    const auto after = SilenceFrames(25);
    out.insert(out.end(), after.begin(), after.end());
    return out;
}

WordModel TrainedSyntheticModel(int id) {
    std::vector<FeatureMatrix> examples;
    for (int frames = 28; frames <= 46; frames += 3) examples.push_back(MakeFeatures(SyntheticWord(id, frames)));
    return TrainWordModel(examples);
}

std::filesystem::path WriteSeed(const std::filesystem::path &dir,
                                const std::vector<std::pair<std::string, std::vector<float>>> &words) {
    VocabularyState state;
    for (const auto &[name, frames] : words) {
        auto word = std::make_shared<Word>();
        word->name = name;
        word->recordings.push_back(frames);
        state.words.push_back(std::move(word));
    }
    const auto file = dir / "seed.tsv";
    std::ofstream(file) << SerializeVocabulary(state);
    return file;
}

}  // namespace tessary::test
