#include "speech.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace tessary {

std::string ShellQuote(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::vector<std::int16_t> Speak(const std::string &word, const Voice &voice) {
    const std::string command = "espeak-ng -v " + ShellQuote(voice.name) + " -s " + std::to_string(voice.speed) +
                                " -p " + std::to_string(voice.pitch) + " --stdout -- " + ShellQuote(word) +
                                " | sox -R -V1 -t wav - -t raw -r 8000 -e signed-integer -b 16 -c 1 -L -";
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run espeak-ng");
    std::vector<std::int16_t> samples;
    unsigned char bytes[4096];
    std::size_t carry = 0;
    for (;;) {
        const std::size_t n = std::fread(bytes + carry, 1, sizeof bytes - carry, pipe);
        if (n == 0) break;
        const std::size_t have = carry + n;
        for (std::size_t i = 0; i + 1 < have; i += 2)
            samples.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
        carry = have % 2;
        if (carry) bytes[0] = bytes[have - 1];
    }
    const int status = ::pclose(pipe);
    if (status != 0 || samples.empty())
        throw std::runtime_error("espeak-ng | sox failed for the word " + word + " (" + command + ")");
    return samples;
}

std::vector<std::int16_t> Pad(const std::vector<std::int16_t> &samples, int lead, int trail) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(lead), 0);
    out.insert(out.end(), samples.begin(), samples.end());
    out.resize(out.size() + static_cast<std::size_t>(trail), 0);
    return out;
}

std::vector<std::int16_t> AddNoise(const std::vector<std::int16_t> &samples, std::size_t speechBegin,
                                   std::size_t speechEnd, double snrDb, std::mt19937 &random) {
    double power = 0;
    for (std::size_t i = speechBegin; i < speechEnd; ++i) power += static_cast<double>(samples[i]) * samples[i];
    power /= static_cast<double>(std::max<std::size_t>(1, speechEnd - speechBegin));
    std::normal_distribution<double> noise(0.0, std::sqrt(power / std::pow(10.0, snrDb / 10.0)));
    std::vector<std::int16_t> out(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        out[i] = static_cast<std::int16_t>(std::clamp(std::lround(samples[i] + noise(random)), -32768L, 32767L));
    return out;
}

std::vector<std::string> ReadWordList(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the word list " + path);
    std::vector<std::string> words;
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        words.push_back(line);
    }
    return words;
}

}  // namespace tessary
