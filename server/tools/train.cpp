// Trains the seed vocabulary's word models: makes the training material
// (material.h), analyses every recording with the library's frame analyzer
// as the client does, finds the speech, and trains one model a word.
//
//   tessary-train WORDLIST OUTPUT --cache DIR [--copies N] [--mixtures N] [--threads N]
//                 [--hold-out VOICE|none] [--no-festival]
//
// OUTPUT is a vocabulary file with a trained model for every word and no
// recordings. --hold-out names the Festival voice kept out of training
// ("machac" by default; "none" trains on both). The held-out renditions are
// recognised at the end and the accuracy printed.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "packet/code_page.h"
#include "endpoint.h"
#include "feature_vectors.h"
#include "frame_features.h"
#include "material.h"
#include "recognizer.h"
#include "speech.h"
#include "vocabulary.h"
#include "word_model.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

tessary::FeatureMatrix FeaturesOf(const std::vector<std::int16_t> &samples) {
    const std::vector<float> frames = tessary::AnalyzeRecording(samples);
    const tessary::Endpoints ends = tessary::DetectSpeech(frames);
    if (!ends.speech) return {};
    return tessary::MakeFeatures(std::span<const float>(frames).subspan(
        static_cast<std::size_t>(ends.first) * tessary::kFrameFloats,
        static_cast<std::size_t>(ends.last - ends.first + 1) * tessary::kFrameFloats));
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> positional;
    tessary::MaterialOptions options;
    tessary::TrainingOptions training;
    options.cache = "speech-cache";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cache" && i + 1 < argc)
            options.cache = argv[++i];
        else if (a == "--copies" && i + 1 < argc)
            options.augmentedCopies = std::stoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc)
            options.threads = std::stoi(argv[++i]);
        else if (a == "--mixtures" && i + 1 < argc)
            training.maxMixtures = std::stoi(argv[++i]);
        else if (a == "--hold-out" && i + 1 < argc) {
            const std::string voice = argv[++i];
            if (voice != "none" && voice != "dita" && voice != "machac") {
                std::cerr << "tessary-train: --hold-out takes dita, machac or none, not " << voice << "\n";
                return 2;
            }
            options.heldOutVoice = voice == "none" ? "" : voice;
        }
        else if (a == "--no-festival")
            options.festival = false;
        else if (!a.empty() && a[0] != '-')
            positional.push_back(a);
        else {
            std::cerr << "tessary-train: unknown option " << a << "\n";
            return 2;
        }
    }
    if (positional.size() != 2) {
        std::cerr << "usage: tessary-train WORDLIST OUTPUT --cache DIR [--copies N] [--mixtures N] [--threads N] "
                     "[--hold-out VOICE|none] [--no-festival]\n";
        return 2;
    }
    try {
        const auto start = Clock::now();
        const std::vector<std::string> words = tessary::ReadWordList(positional[0]);
        if (options.festival && !tessary::FestivalAvailable()) {
            std::cerr << "tessary-train: Festival's Czech voices are missing (scripts/install-deps installs them); "
                         "training on espeak-ng alone\n";
            options.festival = false;
        }
        options.progress = [&](const std::string &line) {
            std::printf("[%5.1f s] %s\n", Seconds(start), line.c_str());
            std::fflush(stdout);
        };
        const std::vector<tessary::Rendition> material = tessary::MakeMaterial(words, options);
        options.progress("analysing " + std::to_string(material.size()) + " recordings");

        std::vector<tessary::FeatureMatrix> features(material.size());
        {
            std::vector<std::thread> pool;
            const int threads = std::max(1, options.threads);
            for (int k = 0; k < threads; ++k)
                pool.emplace_back([&, k] {
                    for (std::size_t i = static_cast<std::size_t>(k); i < material.size(); i += static_cast<std::size_t>(threads))
                        features[i] = FeaturesOf(material[i].samples);
                });
            for (auto &t : pool) t.join();
        }

        options.progress("training " + std::to_string(words.size()) + " word models");
        std::vector<tessary::WordModel> models(words.size());
        std::size_t examples = 0;
        {
            std::vector<std::thread> pool;
            const int threads = std::max(1, options.threads);
            for (int k = 0; k < threads; ++k)
                pool.emplace_back([&, k] {
                    for (std::size_t w = static_cast<std::size_t>(k); w < words.size(); w += static_cast<std::size_t>(threads)) {
                        std::vector<tessary::FeatureMatrix> mine;
                        for (std::size_t i = 0; i < material.size(); ++i)
                            if (!material[i].heldOut && material[i].word == words[w] && features[i].rows() > 0)
                                mine.push_back(features[i]);
                        models[w] = tessary::TrainWordModel(mine, training);
                    }
                });
            for (auto &t : pool) t.join();
        }
        for (std::size_t i = 0; i < material.size(); ++i) examples += !material[i].heldOut && features[i].rows() > 0;

        tessary::VocabularyState state;
        for (std::size_t w = 0; w < words.size(); ++w) {
            const auto name = tessary::Utf8ToCp1250(words[w]);
            if (!name || !tessary::CheckWord(*name).empty()) throw std::runtime_error("not a vocabulary word: " + words[w]);
            if (models[w].Empty()) throw std::runtime_error("no training example of the word " + words[w]);
            auto word = std::make_shared<tessary::Word>();
            word->name = *name;
            word->trained = std::move(models[w]);
            state.words.push_back(std::move(word));
        }
        tessary::PrepareVocabulary(state);

        // The held-out renditions, recognised.
        std::map<std::string, std::pair<int, int>> bySpeaker;  // right, total
        int right = 0;
        int total = 0;
        for (std::size_t i = 0; i < material.size(); ++i) {
            if (!material[i].heldOut) continue;
            const std::vector<float> frames = tessary::AnalyzeRecording(material[i].samples);
            const auto ranking = tessary::Recognise(frames, state).ranking;
            const bool ok = !ranking.empty() && tessary::Cp1250ToUtf8(ranking.front().word) == material[i].word;
            auto &[r, n] = bySpeaker[material[i].speaker];
            r += ok;
            ++n;
            right += ok;
            ++total;
            if (!ok)
                std::printf("  held out: %s (%s) heard as %s\n", material[i].word.c_str(), material[i].source.c_str(),
                            ranking.empty() ? "nothing" : tessary::Cp1250ToUtf8(ranking.front().word).c_str());
        }
        for (const auto &[speaker, rn] : bySpeaker)
            std::printf("  held out %-22s %3d of %3d\n", speaker.c_str(), rn.first, rn.second);
        std::printf("[%5.1f s] %zu training examples; held-out renditions: %d of %d right (%.1f %%)\n", Seconds(start),
                    examples, right, total, total ? 100.0 * right / total : 0.0);

        const std::string temp = positional[1] + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary);
            out << tessary::SerializeVocabulary(state);
            if (!out.flush()) throw std::runtime_error("cannot write " + temp);
        }
        std::filesystem::rename(temp, positional[1]);
    } catch (const std::exception &e) {
        std::cerr << "tessary-train: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
