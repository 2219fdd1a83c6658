// Endpoints, feature vectors and word models: on made-up frames, and on
// espeak-ng's speech in white and pink noise made by sox.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <filesystem>

#include "cepstral_warp.h"
#include "speech_endpoints.h"
#include "feature_vectors.h"
#include "frame_features.h"
#include "material.h"
#include "model_bank.h"
#include "phone_models.h"
#include "recognizer.h"
#include "speech.h"
#include "test_support.h"
#include "word_model.h"

namespace tessary::test {
namespace {

TEST(FindSpeech, FindsTheWordBetweenSilencesWithAMargin) {
    const auto frames = Utterance(0, 40);  // 20 silent frames, 40 of the word, 25 silent
    // The energy is smoothed over three frames: one more frame each side.
    const auto s = FindSpeech(frames);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->first, 20 - kEndpointMargin - 1);
    EXPECT_EQ(s->last, 59 + kEndpointMargin + 1);
    EXPECT_EQ(CutSpeech(frames).size(), static_cast<std::size_t>(s->last - s->first + 1) * kFrameFloats);
    const Endpoints e = DetectSpeech(frames);
    EXPECT_EQ(e.frames, 85);
    EXPECT_FLOAT_EQ(e.noiseFloor, 0.0f);
    EXPECT_GT(e.peak, 7.0f);
    // A breath 40 dB below the word, over digital silence before it, is not
    // part of it.
    auto breath = frames;
    for (std::size_t t = 4; t < 12; ++t) breath[t * kFrameFloats + kNumCep] = e.peak - 4.0f;
    const auto b = FindSpeech(breath);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->first, s->first);
    EXPECT_EQ(b->last, s->last);
}

TEST(FindSpeech, SilenceSteadyNoiseAndAClickAreNotSpeech) {
    EXPECT_FALSE(FindSpeech(SilenceFrames(100)));
    EXPECT_FALSE(FindSpeech({}));
    // Steady background with no louder part, however loud.
    for (float level : {3.0f, 6.0f}) {
        auto steady = SilenceFrames(100);
        for (std::size_t t = 0; t < 100; ++t) steady[t * kFrameFloats + kNumCep] = level + 0.05f * ((t * 7) % 5);
        EXPECT_FALSE(FindSpeech(steady)) << level;
    }
    // A click of one loud frame is shorter than a run.
    auto click = SilenceFrames(100);
    click[50 * kFrameFloats + kNumCep] = 8.0f;
    EXPECT_FALSE(FindSpeech(click));
}

TEST(FindSpeech, KeepsThePausesInsideAWordAndCapsItsLength) {
    // Two syllables 150 ms apart are one word.
    auto frames = Utterance(2, 20);
    const auto second = SyntheticWord(3, 20);
    frames.resize(frames.size() - 25 * kFrameFloats);
    const auto pause = SilenceFrames(15);
    frames.insert(frames.end(), pause.begin(), pause.end());
    frames.insert(frames.end(), second.begin(), second.end());
    const auto tail = SilenceFrames(30);
    frames.insert(frames.end(), tail.begin(), tail.end());
    const auto s = FindSpeech(frames);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->first, 20 - kEndpointMargin - 1);
    EXPECT_EQ(s->last, 20 + 20 + 15 + 20 - 1 + kEndpointMargin + 1);
    // Ten seconds of syllables are cut to the longest a word may be.
    std::vector<float> talk;
    for (int i = 0; i < 25; ++i) {
        const auto syllable = Utterance(i % 4, 30);  // 20 silent frames, 30 of sound, 25 silent
        talk.insert(talk.end(), syllable.begin() + 12 * kFrameFloats, syllable.end() - 17 * kFrameFloats);
    }
    const auto endless = DetectSpeech(talk);
    ASSERT_TRUE(endless.speech);
    EXPECT_EQ(endless.last - endless.first + 1, kMaxSpeechFrames);
}

TEST(FeatureVectors, IgnoreLoudnessRemoveChannelWithLengthAndSurviveNonFiniteNumbers) {
    // Louder by 20 dB, and a constant added to every cepstrum (another
    // microphone's colouring): the loudness is gone, and of the colour only
    // the share that the prior holds back, smaller for a longer utterance.
    auto residue = [](int frames) {
        const auto word = SyntheticWord(1, frames);
        auto changed = word;
        for (std::size_t t = 0; t < static_cast<std::size_t>(frames); ++t) {
            changed[t * kFrameFloats + kNumCep] += 2.0f;
            for (int k = 0; k < kNumCep; ++k) changed[t * kFrameFloats + k] += 0.5f * static_cast<float>(k + 1);
        }
        const FeatureMatrix a = MakeFeatures(word), b = MakeFeatures(changed);
        EXPECT_EQ(a.rows(), frames);
        EXPECT_TRUE(b.col(kNumCep).isApprox(a.col(kNumCep)));
        EXPECT_TRUE(b.rightCols(2 * kStaticDims).isApprox(a.rightCols(2 * kStaticDims), 1e-4f));
        return (b.col(kNumCep - 1) - a.col(kNumCep - 1)).cwiseAbs().maxCoeff() / (0.5f * kNumCep);
    };
    const float shortWord = residue(30), sentence = residue(300);
    EXPECT_NEAR(shortWord, kCepstralPriorFrames / (kCepstralPriorFrames + 30), 1e-3f);
    EXPECT_LT(sentence, 0.1f);

    auto frames = SyntheticWord(1, 30);
    frames[3 * kFrameFloats + 2] = std::nanf("");
    frames[5 * kFrameFloats + kNumCep] = -std::numeric_limits<float>::infinity();
    EXPECT_TRUE(MakeFeatures(frames).allFinite());
    EXPECT_EQ(MakeFeatures({}).rows(), 0);
}

// The liftered cepstra of one resonance at angle theta (the first kNumCep of
// c[n] = 2 r^n cos(n theta) / n), and where the spectrum they give peaks.
std::vector<float> Resonance(double theta) {
    std::vector<float> frame(kFrameFloats, 0.0f);
    for (int n = 1; n <= kNumCep; ++n)
        frame[static_cast<std::size_t>(n - 1)] = static_cast<float>(
            ClientLifterWeights()[static_cast<std::size_t>(n - 1)] * 2 * std::pow(0.9, n) * std::cos(n * theta) / n);
    frame[kNumCep] = 5.0f;
    return frame;
}

double Peak(const std::vector<float> &frame) {
    double best = -1e9, at = 0;
    for (double w = 0.01; w < 3.14; w += 0.001) {
        double level = 0;
        for (int n = 1; n <= kNumCep; ++n)
            level += frame[static_cast<std::size_t>(n - 1)] / ClientLifterWeights()[static_cast<std::size_t>(n - 1)] *
                     std::cos(n * w);
        if (level > best) best = level, at = w;
    }
    return at;
}

TEST(CepstralWarp, MovesAFormantAsTheAllPassMovesItsFrequencyAndLeavesTheEnergy) {
    for (double theta : {0.6, 1.2, 2.0}) {
        const std::vector<float> frame = Resonance(theta);
        const double before = Peak(frame);
        for (float alpha : {-0.2f, -0.1f, 0.1f, 0.2f}) {
            const CepstralWarp warp(alpha);
            const std::vector<float> warped = warp.Apply(frame);
            ASSERT_EQ(warped.size(), frame.size());
            EXPECT_EQ(warped[kNumCep], frame[kNumCep]);
            const double expected = before + 2 * std::atan(alpha * std::sin(before) / (1 - alpha * std::cos(before)));
            EXPECT_NEAR(Peak(warped), expected, 0.06) << "theta " << theta << ", alpha " << alpha;
        }
    }
    // No warp: the frames as they were, and nothing to give back.
    EXPECT_EQ(CepstralWarp(0).LogDeterminant(), 0.0f);
    EXPECT_EQ(CepstralWarp(0).Apply(Resonance(1.0)), Resonance(1.0));
    // A value that is not finite counts as 0 and spreads nowhere.
    std::vector<float> broken = Resonance(1.0);
    broken[2] = std::nanf("");
    const std::vector<float> warped = CepstralWarp(0.1f).Apply(broken);
    for (float v : warped) EXPECT_TRUE(std::isfinite(v));
}

TEST(WordModel, TrainedModelsTellWordsApartAtAnyPace) {
    std::vector<WordModel> models;
    for (int id = 0; id < 4; ++id) models.push_back(TrainedSyntheticModel(id));
    for (int id = 0; id < 4; ++id) {
        for (int frames : {25, 37, 60}) {
            const FeatureMatrix x = MakeFeatures(SyntheticWord(id, frames));
            int best = -1;
            float bestScore = -std::numeric_limits<float>::infinity();
            for (int m = 0; m < 4; ++m) {
                const float s = ScoreUtterance(models[static_cast<std::size_t>(m)], x);
                if (s > bestScore) {
                    bestScore = s;
                    best = m;
                }
            }
            EXPECT_EQ(best, id) << "word " << id << " in " << frames << " frames";
        }
    }
    // Shorter than the model's states: no path.
    EXPECT_TRUE(std::isinf(ScoreUtterance(models[0], MakeFeatures(SyntheticWord(0, 2)))));
    // The bank scores as the models do one by one.
    std::vector<std::pair<int, const WordModel *>> entries;
    for (int id = 0; id < 4; ++id) entries.emplace_back(id, &models[static_cast<std::size_t>(id)]);
    const ModelBank bank(entries);
    const FeatureMatrix x = MakeFeatures(SyntheticWord(2, 40));
    const std::vector<float> scores = bank.ScoreWords(x, 5, std::numeric_limits<float>::infinity()).words;
    for (int id = 0; id < 4; ++id)
        EXPECT_NEAR(scores[static_cast<std::size_t>(id)], ScoreUtterance(models[static_cast<std::size_t>(id)], x), 1e-3f);
    EXPECT_TRUE(std::isinf(scores[4]));
    // A narrow beam drops the words that fall behind, never the best.
    const std::vector<float> pruned = bank.ScoreWords(x, 4, 20.0f).words;
    EXPECT_FLOAT_EQ(pruned[2], scores[2]);
    EXPECT_LT(std::count_if(pruned.begin(), pruned.end(), [](float v) { return std::isfinite(v); }), 4);
}

TEST(WordModel, ARecordingMakesAUsableModelAndAdaptsATrainedOne) {
    const FeatureVector prior = MeanVariance({});
    EXPECT_TRUE(ModelFromRecordings({MakeFeatures(SyntheticWord(0, 3))}, prior).Empty());
    const WordModel one = ModelFromRecordings({MakeFeatures(SyntheticWord(0, 40))}, prior);
    ASSERT_FALSE(one.Empty());
    EXPECT_GT(ScoreUtterance(one, MakeFeatures(SyntheticWord(0, 50))),
              ScoreUtterance(one, MakeFeatures(SyntheticWord(1, 50))));
    const WordModel trained = TrainedSyntheticModel(0);
    const FeatureMatrix user = MakeFeatures(SyntheticWord(4, 40));
    const WordModel adapted = AdaptWordModel(trained, {user});
    EXPECT_EQ(adapted.states, trained.states);
    EXPECT_GT(ScoreUtterance(adapted, user), ScoreUtterance(trained, user));
}

TEST(PhoneModels, AnExampleCountsAsMuchAsItsWeight) {
    // Two speakers of one phone, their frames all alike: the trained means
    // lie between them as their examples are weighted, and an example of
    // weight 0 is not trained on.
    auto example = [](float value, float weight) {
        FeatureMatrix x = FeatureMatrix::Constant(30, kFeatureDims, value);
        return PhoneTrainingExample{std::move(x), {static_cast<int>(Phone::a)}, weight};
    };
    PhoneTrainingOptions options;
    options.maxMixtures = 1;
    options.rounds = 1;
    const PhoneModels models =
        TrainPhoneModels({example(1.0f, 3.0f), example(-1.0f, 1.0f), example(50.0f, 0.0f)}, options);
    const WordModel &a = models.Of(Phone::a);
    ASSERT_EQ(a.states, kStatesPerPhone);
    for (int s = 0; s < a.states; ++s) EXPECT_NEAR(a.means(s, 0), 0.5f, 1e-4f) << "state " << s;
}

TEST(WordModel, BadModelTextIsRefused) {
    const std::string good = SerializeModel(TrainedSyntheticModel(1));
    EXPECT_NO_THROW(ParseModel(good));
    EXPECT_THROW(ParseModel(good + " 1"), std::runtime_error);
    EXPECT_THROW(ParseModel("1 1 0 0 x"), std::runtime_error);
    std::string negative = good;
    // The first variance of the first Gaussian, made negative.
    const WordModel m = ParseModel(good);
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at != std::string::npos) {
        const std::size_t next = good.find(' ', at);
        fields.push_back(good.substr(at, next == std::string::npos ? next : next - at));
        at = next == std::string::npos ? next : next + 1;
    }
    const std::size_t variance = 2 + 2 * static_cast<std::size_t>(m.states) + 1 + kFeatureDims;
    fields[variance] = "-1";
    negative.clear();
    for (const auto &f : fields) {
        if (!negative.empty()) negative += ' ';
        negative += f;
    }
    EXPECT_THROW(ParseModel(negative), std::runtime_error);
}

// Real speech: espeak-ng's "chaloupka" with a second of background before
// and after, in white and pink noise from sox at 10 dB SNR.
TEST(FindSpeechInNoise, FindsTheWordNearWhereItIsInQuietAndNothingInNoiseAlone) {
    const std::filesystem::path cache = std::filesystem::temp_directory_path() / "tessary-endpoint-test-noise";
    const std::vector<std::int16_t> word = Speak("chaloupka", Voice{"cs", 160, 50});
    const std::vector<std::int16_t> padded = Pad(word, 8000, 8000);
    const std::vector<float> cleanFrames = AnalyzeRecording(padded);
    const Endpoints clean = DetectSpeech(cleanFrames);
    ASSERT_TRUE(clean.speech);
    EXPECT_NEAR(clean.first, 100, 8);
    // The word proper: the frames within 35 dB of its peak.
    int wordFirst = -1;
    int wordLast = -1;
    for (int t = 0; t < clean.frames; ++t)
        if (cleanFrames[static_cast<std::size_t>(t) * kFrameFloats + kNumCep] >= clean.peak - 3.5f) {
            if (wordFirst < 0) wordFirst = t;
            wordLast = t;
        }
    EXPECT_LE(clean.first, wordFirst);
    EXPECT_GE(clean.last, wordLast);
    for (const char *colour : {"white", "pink"}) {
        const std::vector<std::int16_t> noise = SoxNoise(colour, 5, cache);
        for (double snr : {20.0, 10.0}) {
            const auto noisy = MixNoise(padded, 8000, 8000 + word.size(), noise, snr, 7);
            const Endpoints e = DetectSpeech(AnalyzeRecording(noisy));
            ASSERT_TRUE(e.speech) << colour << " " << snr;
            EXPECT_NEAR(e.first, wordFirst, 10) << colour << " " << snr;
            EXPECT_NEAR(e.last, wordLast, 15) << colour << " " << snr;
            EXPECT_GT(e.noiseFloor, 1.0f);
        }
        // The same noise with no word in it.
        const std::vector<std::int16_t> alone(noise.begin(), noise.begin() + 16000);
        EXPECT_FALSE(DetectSpeech(AnalyzeRecording(alone)).speech) << colour;
    }
    std::filesystem::remove_all(cache);
}

}  // namespace
}  // namespace tessary::test
