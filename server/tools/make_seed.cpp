// Makes the seed vocabulary: speaks every word of a word list with
// espeak-ng's Czech voice, analyses the recording as the library's offline
// analysis does, cuts out the speech and writes the templates.
//
//   tessary-make-seed WORDLIST OUTPUT
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cp1250.h"
#include "frame_features.h"
#include "recognizer.h"
#include "speech.h"
#include "vocabulary.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: tessary-make-seed WORDLIST OUTPUT\n";
        return 2;
    }
    try {
        tessary::VocabularyState state;
        for (const std::string &word : tessary::ReadWordList(argv[1])) {
            const auto name = tessary::Utf8ToCp1250(word);
            if (!name || !tessary::CheckWord(*name).empty())
                throw std::runtime_error("not a vocabulary word: " + word);
            const std::vector<float> frames = tessary::AnalyzeRecording(tessary::Speak(word, tessary::kSeedVoice));
            std::vector<float> speech = tessary::CutSpeech(frames);
            if (speech.empty()) throw std::runtime_error("no speech found in the recording of " + word);
            auto entry = std::make_shared<tessary::Word>();
            entry->name = *name;
            entry->templates.push_back(std::move(speech));
            state.words.push_back(std::move(entry));
        }
        const std::string temp = std::string(argv[2]) + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary);
            out << tessary::SerializeVocabulary(state);
            if (!out.flush()) throw std::runtime_error("cannot write " + temp);
        }
        std::filesystem::rename(temp, argv[2]);
    } catch (const std::exception &e) {
        std::cerr << "tessary-make-seed: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
