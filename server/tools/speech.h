// Speech made by espeak-ng and resampled to 8000 Hz 16-bit mono by sox, for
// the seed vocabulary, the accuracy test and the benchmarks.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tessary {

struct Voice {
    std::string name = "cs";  // espeak-ng voice, e.g. "cs" or "cs+m3"
    int speed = 175;          // words per minute (-s)
    int pitch = 50;           // 0 to 99 (-p)
};

// The seed rendition: espeak-ng's defaults for Czech.
inline const Voice kSeedVoice{};

// Speaks a UTF-8 word. Throws std::runtime_error when espeak-ng or sox fails.
std::vector<std::int16_t> Speak(const std::string &word, const Voice &voice);

// Adds lead and trail of silence, in samples.
std::vector<std::int16_t> Pad(const std::vector<std::int16_t> &samples, int lead, int trail);

// Adds white Gaussian noise at snrDb below the mean power of the speech
// samples [speechBegin, speechEnd) of the recording, clipped to 16 bits.
std::vector<std::int16_t> AddNoise(const std::vector<std::int16_t> &samples, std::size_t speechBegin,
                                   std::size_t speechEnd, double snrDb, std::mt19937 &random);

// The text in single quotes for the shell, quotes inside it escaped.
std::string ShellQuote(const std::string &text);

// Reads the words of a word list (one a line, # starts a comment).
std::vector<std::string> ReadWordList(const std::string &path);

}  // namespace tessary
