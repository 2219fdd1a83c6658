// The vocabulary: words and their templates, shared by every session.
//
// Readers take a snapshot, an immutable state held by a shared pointer, and
// match against it without any lock. A change builds a new state, writes it
// to the vocabulary file, and only then makes it current. Changes are
// serialised by a writer mutex, held while the file is written and synced;
// readers never wait for it: the pointer swap has a mutex of its own, held
// for a copy of the pointer only. So concurrent changes never interleave and
// what sessions see is always what the file holds.
//
// The file, vocabulary.tsv in the data folder, is UTF-8 text: a first line
// "tessary-vocabulary 1", then one line per template:
//   word TAB frame count TAB the frames' floats separated by blanks
// with kFrameFloats floats per frame, exactly as the client sent them. It is
// replaced as a whole: written to a temporary file in the same folder
// (.vocabulary.tsv.XXXXXX), synced, renamed over the old one, and the folder
// synced. Temporary files left by a process killed during a save are
// removed when the vocabulary is opened.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recognizer.h"

namespace tessary {

inline constexpr std::size_t kMaxWordBytes = 20;
inline constexpr std::size_t kMaxTemplatesPerWord = 32;
inline constexpr std::size_t kMaxWords = 1000;

struct Word {
    std::string name;                          // Windows-1250 bytes
    std::vector<std::vector<float>> templates;  // frames of speech, kFrameFloats each
    std::vector<Pattern> patterns;              // one per template
};

struct VocabularyState {
    std::vector<std::shared_ptr<const Word>> words;  // in the order they were added

    const Word *Find(std::string_view name) const;
};

// Text of the vocabulary file, and back. Parse throws std::runtime_error
// naming the line that is wrong.
std::string SerializeVocabulary(const VocabularyState &state);
VocabularyState ParseVocabulary(std::string_view text);

// Why a word cannot be a vocabulary word, or an empty text when it can.
std::string CheckWord(std::string_view cp1250);

class Vocabulary {
public:
    // Loads <dataDir>/vocabulary.tsv. When it does not exist, starts from the
    // seed file (when seed is not empty and exists) and writes it to the data
    // folder. Throws std::runtime_error with a one-line reason when the folder
    // cannot be made or a file cannot be read or parsed.
    static std::unique_ptr<Vocabulary> Open(const std::filesystem::path &dataDir,
                                            const std::filesystem::path &seed);

    // How many temporary files of interrupted saves Open removed.
    std::size_t StaleFilesRemoved() const { return staleFilesRemoved_; }

    std::shared_ptr<const VocabularyState> Snapshot() const;
    std::size_t Size() const { return Snapshot()->words.size(); }
    const std::filesystem::path &File() const { return file_; }

    struct AddResult {
        bool added = false;     // false: nothing changed, see error
        bool newWord = false;
        std::size_t templates = 0;  // templates the word has now
        std::string error;      // one line, when not added, fit for the client: no path
        std::string detail;     // the same for the log, with the file's path
    };
    // Adds frames of speech as a further template of word (Windows-1250),
    // creating the word when it is new, and saves the file.
    AddResult AddTemplate(std::string_view word, std::vector<float> speechFrames);

private:
    // Why a save failed: a plain reason for the client, and the same with
    // the file's path for the log.
    struct SaveError {
        std::string reason;
        std::string detail;
    };
    Vocabulary(std::filesystem::path file, VocabularyState state);
    std::optional<SaveError> Save(const VocabularyState &state) const;

    std::filesystem::path file_;
    std::mutex writeMutex_;          // one change at a time, file included
    mutable std::mutex stateMutex_;  // the pointer swap only
    std::shared_ptr<const VocabularyState> state_;
    std::size_t staleFilesRemoved_ = 0;
};

}  // namespace tessary
