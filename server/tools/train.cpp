// Trains the phone models (phone_models.h) on real transcribed Czech speech
// (corpus.h) and on the synthetic renditions of the seed words (material.h),
// and measures them on speech they never heard.
//
//   tessary-train WORDLIST OUTPUT --cache DIR [--copies N] [--real-copies N] [--real-noisy N]
//                 [--real-weight W] [--mixtures N] [--rounds N] [--threads N] [--hold-out VOICE|none]
//                 [--hold-out-speaker m|v|none] [--no-corpus]
//
// OUTPUT is the phone models file. The synthetic speech is of the words of
// WORDLIST; --copies and --real-copies say how many augmented copies of each
// synthetic and each real recording are made (sox speed copies of the real
// ones). --real-noisy says how many copies of each real recording are made in
// white or pink noise, and --real-weight how many examples each real
// recording and copy counts as. The defaults (1 and 4) were measured: the
// synthetic renditions are many, but of few voices and few words, and at equal
// weight they drowned the real speakers, who were then heard a fifth worse;
// weighted up without the noisy copies, the real speech cost the synthetic
// speech in noise a tenth of its words. --hold-out names the Festival voice
// kept out of training ("none": both are trained on); --hold-out-speaker
// keeps one of the two main speakers of the real speech out of training and
// measures on his or her short utterances (one or two words) against a
// vocabulary of every such text of both, as recorded and through the rooms
// and microphones of corpus.h. The held-out renditions of the seed
// words are recognised against the seed words by spelling (the Festival ones
// also in white noise at 10 dB), and the accuracies printed.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>

#include "corpus.h"
#include "packet/code_page.h"
#include "speech_endpoints.h"
#include "feature_vectors.h"
#include "frame_features.h"
#include "material.h"
#include "phone_models.h"
#include "pronunciation.h"
#include "recognizer.h"
#include "speech.h"
#include "vocabulary.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

tessary::FeatureMatrix SpeechFeatures(const std::vector<std::int16_t> &samples) {
    return tessary::MakeFeatures(tessary::CutSpeech(tessary::AnalyzeRecording(samples)));
}

// The best word of the recognition, UTF-8; empty for none.
std::string Heard(const tessary::Recognition &r) {
    return r.ranking.empty() ? std::string() : tessary::Cp1250ToUtf8(r.ranking.front().word);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> positional;
    tessary::MaterialOptions options;
    tessary::PhoneTrainingOptions training;
    std::string heldOutSpeaker = "none";
    bool useCorpus = true;
    int realCopies = 0;
    float realWeight = 4.0f;
    int realNoisy = 1;
    options.cache = "speech-cache";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cache" && i + 1 < argc)
            options.cache = argv[++i];
        else if (a == "--copies" && i + 1 < argc)
            options.augmentedCopies = std::stoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc)
            training.threads = options.threads = std::stoi(argv[++i]);
        else if (a == "--mixtures" && i + 1 < argc)
            training.maxMixtures = std::stoi(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            training.rounds = std::stoi(argv[++i]);
        else if (a == "--hold-out" && i + 1 < argc) {
            const std::string voice = argv[++i];
            if (voice != "none" && voice != "dita" && voice != "machac") {
                std::cerr << "tessary-train: --hold-out takes dita, machac or none, not " << voice << "\n";
                return 2;
            }
            options.heldOutVoice = voice == "none" ? "" : voice;
        } else if (a == "--hold-out-speaker" && i + 1 < argc) {
            heldOutSpeaker = argv[++i];
            if (heldOutSpeaker != "none" && heldOutSpeaker != "m" && heldOutSpeaker != "v") {
                std::cerr << "tessary-train: --hold-out-speaker takes m, v or none, not " << heldOutSpeaker << "\n";
                return 2;
            }
        } else if (a == "--no-corpus")
            useCorpus = false;
        else if (a == "--real-noisy" && i + 1 < argc)
            realNoisy = std::stoi(argv[++i]);
        else if (a == "--real-weight" && i + 1 < argc)
            realWeight = std::stof(argv[++i]);
        else if (a == "--real-copies" && i + 1 < argc)
            realCopies = std::stoi(argv[++i]);
        else if (!a.empty() && a[0] != '-')
            positional.push_back(a);
        else {
            std::cerr << "tessary-train: unknown option " << a << "\n";
            return 2;
        }
    }
    if (positional.size() != 2) {
        std::cerr << "usage: tessary-train WORDLIST OUTPUT --cache DIR [--copies N] [--real-copies N] [--real-noisy N] "
                     "[--real-weight W] [--mixtures N] [--rounds N] [--threads N] [--hold-out VOICE|none] [--hold-out-speaker m|v|none] [--no-corpus]\n";
        return 2;
    }
    try {
        const auto start = Clock::now();
        auto progress = [&](const std::string &line) {
            std::printf("[%6.1f s] %s\n", Seconds(start), line.c_str());
            std::fflush(stdout);
        };
        options.progress = progress;
        training.progress = progress;
        const std::vector<std::string> words = tessary::ReadWordList(positional[0]);
        if (options.festival && !tessary::FestivalAvailable()) {
            std::cerr << "tessary-train: Festival's Czech voices are missing; training on espeak-ng alone\n";
            options.festival = false;
        }

        // Real speech.
        std::vector<tessary::Sentence> sentences;
        if (useCorpus) {
            const auto root = tessary::FindCorpus();
            if (root.empty())
                std::cerr << "tessary-train: the real speech of fillets-ng-data-cs is not installed "
                             "(scripts/install-deps installs it); training on synthetic speech alone\n";
            else
                sentences = tessary::ReadCorpus(root);
        }
        // White and pink noise, for the noisy copies of the real speech and
        // the held-out renditions in noise.
        const std::vector<std::int16_t> noises[2] = {tessary::SoxNoise("white", 20, options.cache),
                                                     tessary::SoxNoise("pink", 20, options.cache)};
        std::vector<tessary::PhoneTrainingExample> examples;
        std::vector<std::size_t> shortUtterances;  // of both main speakers, to measure on
        std::set<std::string> shortTexts;
        {
            progress("reading " + std::to_string(sentences.size()) + " recordings of real speech");
            std::vector<tessary::FeatureMatrix> features(sentences.size());
            std::vector<std::uint8_t> heard(sentences.size(), 0);  // short utterances with speech found
            // Copies of every training sentence with another vocal tract
            // (sox speed, its change of duration undone by tempo), so that
            // the few speakers sound like many.
            std::vector<std::vector<tessary::FeatureMatrix>> copies(sentences.size());
            // The cepstra of the minor characters' speech, summed, for the
            // prior of the cepstral mean (feature_vectors.h).
            std::vector<std::array<double, tessary::kNumCep + 1>> minorSums(sentences.size());
            tessary::Parallel(sentences.size(), options.threads, [&](std::size_t i) {
                const auto samples = tessary::ReadSentenceAudio(sentences[i], options.cache);
                const std::vector<float> frames = tessary::AnalyzeRecording(samples);
                features[i] = tessary::MakeFeatures(frames);
                if (sentences[i].speaker != "m" && sentences[i].speaker != "v") {
                    const std::vector<float> speech = tessary::CutSpeech(frames);
                    auto &sum = minorSums[i];
                    sum.fill(0.0);
                    for (std::size_t f = 0; f + tessary::kFrameFloats <= speech.size(); f += tessary::kFrameFloats) {
                        for (int k = 0; k < tessary::kNumCep; ++k)
                            if (std::isfinite(speech[f + k])) sum[k] += speech[f + k];
                        sum[tessary::kNumCep] += 1;
                    }
                }
                if (tessary::IsShortUtterance(sentences[i])) heard[i] = tessary::FindSpeech(frames).has_value();
                if (sentences[i].speaker == heldOutSpeaker) return;
                std::mt19937 random(static_cast<std::uint32_t>(std::hash<std::string>()(sentences[i].id)));
                for (int c = 0; c < realNoisy; ++c) {
                    // In white or pink noise at 8 to 25 dB below the speech.
                    const auto &noise = noises[static_cast<std::size_t>(c % 2)];
                    const double snr = std::uniform_real_distribution<double>(8.0, 25.0)(random);
                    const auto noisy = tessary::MixNoise(samples, 0, samples.size(), noise, snr, static_cast<std::uint32_t>(random()));
                    copies[i].push_back(tessary::MakeFeatures(tessary::AnalyzeRecording(noisy)));
                }
                for (int c = 0; c < realCopies; ++c) {
                    // Alternately shorter and longer vocal tracts.
                    const double speed = c % 2 == 0 ? std::uniform_real_distribution<double>(0.8, 0.92)(random)
                                                    : std::uniform_real_distribution<double>(1.08, 1.22)(random);
                    char effects[96];
                    std::snprintf(effects, sizeof effects,
                                  speed < 0.86 ? "speed %.3f rate 8000 tempo -s %.3f" : "speed %.3f tempo -s %.3f",
                                  speed, 1.0 / speed);
                    const auto copy = tessary::SoxEffects(samples, "corpus " + sentences[i].level + " " + sentences[i].id,
                                                          effects, options.cache);
                    copies[i].push_back(tessary::MakeFeatures(tessary::AnalyzeRecording(copy)));
                }
            });
            std::array<double, tessary::kNumCep + 1> minor{};
            for (const auto &sum : minorSums)
                for (int k = 0; k <= tessary::kNumCep; ++k) minor[k] += sum[k];
            std::string mean;
            for (int k = 0; k < tessary::kNumCep && minor[tessary::kNumCep] > 0; ++k) {
                char number[32];
                std::snprintf(number, sizeof number, "%s%.4f", k ? ", " : "", minor[k] / minor[tessary::kNumCep]);
                mean += number;
            }
            progress("mean cepstra of the minor characters' speech: " + mean);
            int unpronounceable = 0;
            for (std::size_t i = 0; i < sentences.size(); ++i) {
                const tessary::Pronunciation p = tessary::Pronounce(sentences[i].text);
                if (!p.Ok()) {
                    ++unpronounceable;
                    continue;
                }
                const std::string text = tessary::VocabularyText(sentences[i].text);
                const bool isShort = tessary::IsShortUtterance(sentences[i]);
                if (isShort) shortTexts.insert(text);
                if (isShort && heard[i]) shortUtterances.push_back(i);
                if (sentences[i].speaker == heldOutSpeaker) continue;
                const std::vector<int> units = tessary::TrainingUnits(p);
                examples.push_back({std::move(features[i]), units, realWeight});
                for (auto &copy : copies[i]) examples.push_back({std::move(copy), units, realWeight});
            }
            progress(std::to_string(examples.size()) + " sentences to train on, " + std::to_string(unpronounceable) +
                     " left out for digits or foreign letters");
        }
        const std::size_t realExamples = examples.size();

        // Synthetic speech of the seed words.
        const std::vector<tessary::Rendition> material = tessary::MakeMaterial(words, options);
        std::vector<tessary::FeatureMatrix> synthetic(material.size());
        tessary::Parallel(material.size(), options.threads,
                 [&](std::size_t i) { synthetic[i] = SpeechFeatures(material[i].samples); });
        for (std::size_t i = 0; i < material.size(); ++i) {
            if (material[i].heldOut || synthetic[i].rows() == 0) continue;
            examples.push_back({synthetic[i], tessary::TrainingUnits(tessary::Pronounce(material[i].word))});
        }
        double realFrames = 0, syntheticFrames = 0;
        for (std::size_t i = 0; i < examples.size(); ++i)
            (i < realExamples ? realFrames : syntheticFrames) += static_cast<double>(examples[i].x.rows());
        progress("training on " + std::to_string(realExamples) + " real and " +
                 std::to_string(examples.size() - realExamples) + " synthetic recordings (" +
                 std::to_string(static_cast<long>(realFrames)) + " and " + std::to_string(static_cast<long>(syntheticFrames)) + " frames)");
        const tessary::PhoneModels models = tessary::TrainPhoneModels(examples, training);

        // The held-out synthetic renditions, against the seed words.
        const tessary::VocabularyState seed = tessary::VocabularyOfTexts(words, std::make_shared<const tessary::PhoneModels>(models));
        std::map<std::string, std::pair<int, int>> bySpeaker;
        std::vector<float> wordConfidence;  // of the held-out renditions
        for (std::size_t i = 0; i < material.size(); ++i) {
            if (!material[i].heldOut) continue;
            const auto got = tessary::Recognise(tessary::AnalyzeRecording(material[i].samples), seed);
            const bool ok = Heard(got) == material[i].word;
            if (material[i].speaker.starts_with("festival")) {
                const auto padded = tessary::Pad(material[i].samples, 2400, 2400);
                const auto noisy = tessary::MixNoise(padded, 2400, padded.size() - 2400, noises[0], 10.0,
                                                     static_cast<std::uint32_t>(i));
                auto &[r10, n10] = bySpeaker["in noise 10 dB"];
                r10 += Heard(tessary::Recognise(tessary::AnalyzeRecording(noisy), seed)) == material[i].word;
                ++n10;
            }
            if (!got.ranking.empty()) wordConfidence.push_back(got.confidence);
            auto &[r, n] = bySpeaker[material[i].speaker.substr(0, 8)];
            r += ok;
            ++n;
        }
        for (const auto &[speaker, rn] : bySpeaker)
            std::printf("  held out %-10s %3d of %3d (%.1f %%)\n", speaker.c_str(), rn.first, rn.second,
                        100.0 * rn.first / rn.second);

        // How far below the phone loop words and sentences of the held-out
        // speaker score, for the rejection margin.
        std::vector<float> sentenceConfidence;
        for (const tessary::Sentence &s : sentences) {
            if (s.speaker != heldOutSpeaker || tessary::WordCount(tessary::VocabularyText(s.text)) < 4) continue;
            const auto got = tessary::Recognise(
                tessary::AnalyzeRecording(tessary::ReadSentenceAudio(s, options.cache)), seed);
            if (!got.ranking.empty()) sentenceConfidence.push_back(got.confidence);
        }
        auto quantiles = [](std::vector<float> v, const char *what) {
            if (v.empty()) return;
            std::sort(v.begin(), v.end());
            std::printf("  confidence of %s (%zu):", what, v.size());
            for (double q : {0.02, 0.05, 0.1, 0.2, 0.5, 0.8, 0.9})
                std::printf(" %.0f%% %.3f", q * 100, static_cast<double>(v[static_cast<std::size_t>(q * (v.size() - 1))]));
            std::printf("\n");
        };
        quantiles(wordConfidence, "held-out seed-word renditions");
        quantiles(sentenceConfidence, "held-out speaker's sentences against the seed words");

        // The held-out real speaker's short utterances, against every short text.
        if (!shortUtterances.empty()) {
            const tessary::VocabularyState shortVocabulary =
                tessary::VocabularyOfTexts(std::vector<std::string>(shortTexts.begin(), shortTexts.end()),
                                           std::make_shared<const tessary::PhoneModels>(models));
            std::map<std::string, std::pair<int, int>> rightBySpeaker;
            int roomRight = 0, roomTotal = 0;
            for (std::size_t k = 0; k < shortUtterances.size(); ++k) {
                const tessary::Sentence &s = sentences[shortUtterances[k]];
                const auto samples = tessary::ReadSentenceAudio(s, options.cache);
                const auto frames = tessary::AnalyzeRecording(samples);
                const std::string expected = tessary::VocabularyText(s.text);
                const std::string heard = Heard(tessary::Recognise(frames, shortVocabulary));
                const bool ok = heard == expected;
                rightBySpeaker[s.speaker].first += ok;
                rightBySpeaker[s.speaker].second += 1;
                if (!ok && s.speaker == heldOutSpeaker)
                    std::printf("  %s \"%s\" heard as \"%s\"\n", s.id.c_str(), expected.c_str(), heard.c_str());
                if (s.speaker == heldOutSpeaker)
                    for (const char *room : tessary::kMeasureRooms) {
                        const auto heardThere = tessary::SentenceInRoom(s, samples, room, options.cache);
                        roomRight +=
                            Heard(tessary::Recognise(tessary::AnalyzeRecording(heardThere), shortVocabulary)) == expected;
                        ++roomTotal;
                    }
            }
            if (roomTotal > 0)
                std::printf("  held-out speaker in rooms: %d of %d (%.1f %%)\n", roomRight, roomTotal,
                            100.0 * roomRight / roomTotal);
            for (const auto &[speaker, rn] : rightBySpeaker)
                std::printf("  %s speaker %s, short utterances: %d of %d (%.1f %%) against %zu texts\n",
                            speaker == heldOutSpeaker ? "held-out" : "trained", speaker.c_str(), rn.first, rn.second,
                            100.0 * rn.first / rn.second, shortTexts.size());
        }

        const std::string temp = positional[1] + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary);
            out << tessary::SerializePhoneModels(models);
            if (!out.flush()) throw std::runtime_error("cannot write " + temp);
        }
        std::filesystem::rename(temp, positional[1]);
        progress("done");
    } catch (const std::exception &e) {
        std::cerr << "tessary-train: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
