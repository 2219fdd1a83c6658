// Accuracy on held-out recordings: the templates are the seed vocabulary (one
// espeak-ng rendition); every word is spoken again at other speeds and
// pitches and by other male voices of espeak-ng, padded with silence, analysed as the library does, and recognised
// clean and with white noise at 20 dB SNR (fixed seed).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "conversation.h"
#include "cp1250.h"
#include "frame_features.h"
#include "recognizer.h"
#include "speech.h"
#include "vocabulary.h"

namespace tessary {
namespace {

struct Outcome {
    int right = 0;
    int total = 0;
    std::map<std::string, std::map<std::string, int>> confusion;  // said -> recognised -> count
};

VocabularyState LoadSeed() {
    std::ifstream in(TESSARY_SEED_FILE, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseVocabulary(text.str());
}

const std::vector<Voice> &HeldOutVoices() {
    static const std::vector<Voice> voices = {
        {"cs", 130, 50}, {"cs", 150, 35}, {"cs", 200, 65}, {"cs", 230, 50},
        {"cs", 175, 25}, {"cs", 175, 75}, {"cs", 140, 60}, {"cs", 210, 40},
        // Other voices of espeak-ng's Czech: its male variants.
        {"cs+m1", 160, 45}, {"cs+m3", 190, 55}, {"cs+m5", 175, 50}, {"cs+m7", 150, 50}, {"cs+croak", 200, 40},
    };
    return voices;
}

std::string Recognise(const std::vector<std::int16_t> &samples, const VocabularyState &seed) {
    const std::vector<float> speech = CutSpeech(AnalyzeRecording(samples));
    if (speech.empty()) return "(nothing)";
    return Cp1250ToUtf8(Rank(speech, seed).front().word);
}

void Report(const char *title, const Outcome &o) {
    std::printf("%s: %d of %d right (%.1f %%)\n", title, o.right, o.total, 100.0 * o.right / o.total);
    for (const auto &[said, row] : o.confusion)
        for (const auto &[heard, count] : row)
            if (said != heard) std::printf("  %s heard as %s: %d\n", said.c_str(), heard.c_str(), count);
}

TEST(Accuracy, HeldOutRenditionsCleanAndWithNoise) {
    const VocabularyState seed = LoadSeed();
    ASSERT_EQ(seed.words.size(), 13u);
    Outcome clean;
    Outcome noisy;
    std::mt19937 random(20261207);
    constexpr int kLead = 2400;   // 300 ms of silence before the word
    constexpr int kTrail = 2400;  // and after it
    for (const auto &word : seed.words) {
        const std::string name = Cp1250ToUtf8(word->name);
        for (const Voice &voice : HeldOutVoices()) {
            const std::vector<std::int16_t> spoken = Speak(name, voice);
            const std::vector<std::int16_t> padded = Pad(spoken, kLead, kTrail);
            const std::string a = Recognise(padded, seed);
            clean.confusion[name][a]++;
            clean.total++;
            clean.right += a == name;
            const std::string b =
                Recognise(AddNoise(padded, kLead, kLead + spoken.size(), 20.0, random), seed);
            noisy.confusion[name][b]++;
            noisy.total++;
            noisy.right += b == name;
        }
    }
    Report("clean", clean);
    Report("white noise at 20 dB SNR", noisy);
    EXPECT_GE(clean.right * 100, clean.total * 95);
    EXPECT_GE(noisy.right * 100, noisy.total * 90);
}

}  // namespace
}  // namespace tessary
