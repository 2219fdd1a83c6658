// Training and held-out speech for the word models, made by speech
// synthesis and sox alone, deterministically.
//
// Base renditions. Every word is spoken
//   - by espeak-ng's Czech voice with each of its voice variants (cs+m1,
//     cs+f2, cs+klatt, ...), twice, at a speed and pitch drawn per variant;
//   - by Festival's Czech voices "dita" and "machac" at several duration
//     stretches (text in ISO-8859-2).
// The variants in kHeldOutVariants, and the Festival voice that the options
// hold out ("machac" unless told otherwise), are never trained on: they are
// the unseen speakers that the tests and the accuracy benchmark measure on.
// The shipped seed holds out no Festival voice: both natural voices are
// worth more to an unseen speaker than a measure of one of them.
//
// Augmented copies (training only). Each base rendition of the training set
// is also passed through sox with a random chain: speed (vocal-tract length
// and pitch together) undone in duration by tempo, a further tempo change,
// sometimes the telephone band (300-3400 Hz), sometimes reverberation, a gain
// of -20 to +6 dB (the natural voices get three times the copies, and a
// wider speed range, 0.78 to 1.2); then up to a second of lead and trail is
// added and, most of the time, white, pink or brown noise (made by sox) at 5
// to 30 dB SNR;
// every other copy is used once more in white or pink noise at 8 to 20 dB.
//
// Every synthesised or sox-made recording is kept in a cache folder under a
// name that is the hash of the command that made it, so that a rebuild, or
// another build sharing the folder, makes nothing twice.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tessary {

struct Rendition {
    std::string word;    // UTF-8
    std::string source;  // which voice and settings, for reports
    std::string speaker; // the voice the rendition comes from: "espeak cs+m3", "festival dita"
    bool heldOut = false;
    std::vector<std::int16_t> samples;  // 8000 Hz
};

struct MaterialOptions {
    std::filesystem::path cache;   // folder of made recordings
    int augmentedCopies = 3;       // per training base rendition
    int threads = 2;               // speech synthesis and sox run in parallel
    bool festival = true;          // Festival's voices as well as espeak-ng's
    bool heldOutOnly = false;      // make only the held-out base renditions
    std::string heldOutVoice = "machac";  // Festival voice kept out of training, or "" for none
    std::function<void(const std::string &)> progress;  // one line now and then
};

// The base renditions (training and held-out) and the augmented copies of the
// training ones, in a fixed order. Throws std::runtime_error when a
// synthesiser or sox fails.
std::vector<Rendition> MakeMaterial(const std::vector<std::string> &words, const MaterialOptions &options);

// Whether Festival with both Czech voices can be run here.
bool FestivalAvailable();

// Runs job(0) ... job(count - 1) on threads, each taking the next index
// free; the first failure is rethrown once all have stopped.
void Parallel(std::size_t count, int threads, const std::function<void(std::size_t)> &job);

// A recording from the cache folder, under the hash of key, or made by make
// and kept there.
std::vector<std::int16_t> CachedRecording(const std::string &key, const std::filesystem::path &cache,
                                          const std::function<std::vector<std::int16_t>()> &make);

// The samples passed through sox with the effects ("speed 0.9 tempo -s 1.1"),
// from the cache when made before; key names the samples.
std::vector<std::int16_t> SoxEffects(const std::vector<std::int16_t> &samples, const std::string &key,
                                     const std::string &effects, const std::filesystem::path &cache);

// Noise of a colour ("white", "pink", "brown") made by sox, seconds long, at
// 8000 Hz, read from the cache folder when it was made before.
std::vector<std::int16_t> SoxNoise(const std::string &colour, int seconds, const std::filesystem::path &cache);

// Adds noise (looped from a random place) to samples at snrDb below the mean
// power of samples[speechBegin, speechEnd).
std::vector<std::int16_t> MixNoise(const std::vector<std::int16_t> &samples, std::size_t speechBegin,
                                   std::size_t speechEnd, const std::vector<std::int16_t> &noise, double snrDb,
                                   std::uint32_t seed);

}  // namespace tessary
