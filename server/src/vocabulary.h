// The vocabulary: words, their spellings in phones and their recordings,
// shared by every session.
//
// Readers take a snapshot, an immutable state held by a shared pointer, and
// match against it without any lock. A change builds a new state, stores it
// (vocabulary_store.h: the vocabulary file of file_store.h by default), and
// only then makes it current. Changes are serialised by a writer mutex, held
// while the store keeps the change; readers never wait for it: the pointer
// swap has a mutex of its own, held for a copy of the pointer only. So
// concurrent changes never interleave and what sessions see is always what
// the store holds. What other processes add to a shared store is applied on
// a thread of the vocabulary's own, as a new state like any other change.
//
// Every word that Czech spelling can say (pronunciation.h) has a model
// composed from its phones (phone_models.h): a word is recognisable the
// moment it is added. Users' recordings of a word ("ADDW") make a further
// model: the spelled one adapted to them (a Gaussian a state, drawn from the
// spelled states towards the recordings), or, for a word that cannot be
// spelled (it holds a digit), a model of the recordings alone. Words of older
// seeds may also hold a whole-word model trained at build time, which their
// recordings adapt. A word is recognised by the best of its models, so a
// recording never takes away what its spelling or training knows.
//
// The file, vocabulary.tsv in the data folder, is UTF-8 text. Its first line
// is "tessary-vocabulary 3"; then, in any order, lines of three kinds:
//   word TAB "word"              the word, known by its spelling
//   word TAB "model" TAB the trained model, as SerializeModel writes it
//   word TAB "recording" TAB frame count TAB the frames' floats separated by blanks
// with kFrameFloats floats per frame, exactly as the client sent them (the
// speech only). A word has at most one model line. Files of the second
// version ("tessary-vocabulary 2": no "word" lines) load as they are. Files
// of the first version, "tessary-vocabulary 1", hold lines of recordings
// only, as
//   word TAB frame count TAB floats
// Both are written in the third version when next written whole.
// A seed may also be a plain word list: UTF-8, a word a line, blank lines
// and lines starting with # skipped.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "model_bank.h"
#include "phone_models.h"
#include "pronunciation.h"
#include "word_model.h"

namespace tessary {

inline constexpr std::size_t kMaxWordBytes = 20;
inline constexpr std::size_t kMaxRecordingsPerWord = 32;

// How large the vocabulary may grow by adds; a file that is larger already
// loads whole, and only refuses further adds.
struct VocabularyBounds {
    std::size_t maxWords = 10000;
    // Frames of all the users' recordings together: 1,000,000 frames are
    // 10,000 s of speech, about 36 MiB of floats and a file of about 100 MB.
    std::size_t maxRecordedFrames = 1000000;
};

struct Word {
    std::string name;                            // Windows-1250 bytes
    std::vector<std::vector<float>> recordings;  // users' recordings: frames of speech, kFrameFloats each
    WordModel trained;                           // empty when the word was not trained
    std::vector<Phone> phones;                   // its spelling; empty when it cannot be spelled
    WordModel adapted;                           // of the recordings; empty when there are none
};

// How far the best word's log probability may lie below the phone loop's,
// per second of speech, for the utterance still to be taken as that word.
inline constexpr float kDefaultRejectionMargin = 3.5f;

struct VocabularyState {
    std::vector<std::shared_ptr<const Word>> words;  // in the order they were added
    std::shared_ptr<const PhoneModels> phones;       // what words are spelled with; may be null
    float rejectionMargin = kDefaultRejectionMargin;
    FeatureVector priorVariance = FeatureVector::Ones();  // for models of recordings alone
    std::shared_ptr<const ModelBank> bank;           // every model, for matching
    std::size_t recordedFrames = 0;                  // of all the words' recordings

    // The word whose name equals name once blanks are trimmed from both.
    const Word *Find(std::string_view name) const;
};

// Spells the words that lack a spelling, makes the models of the recordings
// of words that lack them, the bank and the count of recorded frames.
void PrepareVocabulary(VocabularyState &state);
// The same for a state whose bank was made before the words of the
// indices changed or were added (words added at the end are prepared
// whether named or not): prepares only those words, and makes the bank
// anew only where they lie. The count of recorded frames is the caller's.
void PrepareChangedWords(VocabularyState &state, const std::vector<std::size_t> &changed);

// The model of a word's recordings (see above).
WordModel ModelOfRecordings(const Word &word, const VocabularyState &state);

// name without the blanks at either end: spaces, tabs, line ends and
// Windows-1250's no-break space (0xA0).
std::string_view TrimWord(std::string_view name);

// Text of the vocabulary file, and back. Parse throws std::runtime_error
// naming the line that is wrong; it prepares the state it returns, spelling
// its words with phones. A text that is no vocabulary file is read as a
// word list.
std::string SerializeVocabulary(const VocabularyState &state);
VocabularyState ParseVocabulary(std::string_view text, std::shared_ptr<const PhoneModels> phones = nullptr);

// The same for words alone, neither spelled nor prepared: the text of a
// file holding words (in the current version), and the words of a text
// (any version, or a word list), with the same errors as ParseVocabulary.
std::string SerializeWords(const std::vector<std::shared_ptr<const Word>> &words);
std::vector<std::shared_ptr<const Word>> ParseVocabularyWords(std::string_view text);
// Appends the file's line of one recording of a word (UTF-8), without its
// line end.
void AppendRecordingLine(std::string &out, std::string_view utf8Name, std::span<const float> frames);

inline constexpr int kVocabularyFileVersion = 3;
inline constexpr std::string_view kVocabularyFirstLine = "tessary-vocabulary 3";
// The version of the vocabulary file text begins, or 0 for a word list.
int VocabularyFileVersion(std::string_view text);

// A file's bytes; throws std::runtime_error naming the file.
std::string ReadFileText(const std::filesystem::path &file);

// The vocabulary file (or word list) read and parsed; throws
// std::runtime_error naming the file and what is wrong with it. version1,
// when given, says whether the file is of the first version.
VocabularyState LoadVocabularyFile(const std::filesystem::path &file, std::shared_ptr<const PhoneModels> phones = nullptr,
                                   bool *version1 = nullptr);

// The phone models file read and parsed; throws std::runtime_error naming
// the file and what is wrong with it.
std::shared_ptr<const PhoneModels> LoadPhoneModelsFile(const std::filesystem::path &file);

// Why a word cannot be a vocabulary word, or an empty text when it can.
std::string CheckWord(std::string_view cp1250);

class VocabularyStore;
struct StoreChange;

class Vocabulary {
public:
    // Opens the vocabulary file in dataDir (file_store.h). When there is
    // none, starts from the seed file (when seed is not empty and exists)
    // and writes it to the data folder. Throws std::runtime_error with a
    // one-line reason when the folder cannot be made or a file cannot be
    // read or parsed.
    // A first-version file gains the seed's trained models for the words
    // the seed has.
    // Words are spelled with phones (may be null) and recognised with the
    // rejection margin.
    static std::unique_ptr<Vocabulary> Open(const std::filesystem::path &dataDir, const std::filesystem::path &seed,
                                            std::shared_ptr<const PhoneModels> phones = nullptr,
                                            float rejectionMargin = kDefaultRejectionMargin);
    // The same over any store: loads it (the seed file, when not empty and
    // it exists, stored when the store holds nothing yet) and applies what
    // the store reports other processes changed.
    static std::unique_ptr<Vocabulary> Open(std::unique_ptr<VocabularyStore> store, const std::filesystem::path &seed,
                                            std::shared_ptr<const PhoneModels> phones = nullptr,
                                            float rejectionMargin = kDefaultRejectionMargin);
    ~Vocabulary();
    Vocabulary(const Vocabulary &) = delete;
    Vocabulary &operator=(const Vocabulary &) = delete;

    // How many temporary files of interrupted saves Open removed.
    std::size_t StaleFilesRemoved() const { return staleFilesRemoved_; }
    // What opening the data folder found worth a line of the log (such as a
    // journal record cut short by a crash, dropped).
    const std::vector<std::string> &OpenNotes() const { return openNotes_; }

    std::shared_ptr<const VocabularyState> Snapshot() const;
    std::size_t Size() const { return Snapshot()->words.size(); }
    // Where the words are kept, for the log: the file's path, or the database.
    std::string Where() const;

    struct AddResult {
        bool added = false;     // false: nothing changed, see error
        bool newWord = false;
        std::size_t recordings = 0;  // recordings the word has now
        std::string error;      // one line, when not added, fit for the client: no path
        std::string detail;     // the same for the log, with the file's path
    };
    // Adds frames of speech as a further recording of word (Windows-1250),
    // creating the word when it is new, and stores it. Speech longer than
    // kMaxSpeechFrames is refused, and so is an add past the bounds.
    AddResult AddRecording(std::string_view word, std::vector<float> speechFrames);

    // Set before the vocabulary is shared; the defaults otherwise.
    void SetBounds(const VocabularyBounds &bounds) { bounds_ = bounds; }
    const VocabularyBounds &Bounds() const { return bounds_; }
    // Why a recording of word of the given frames would pass a bound now, or
    // the store cannot take it now (its database is gone), in plain words,
    // or "" when it fits (frames 0: whether any would).
    std::string WhyNoRoom(std::string_view word, std::size_t frames = 0) const;

    // Called, on the vocabulary's own thread, each time a change of another
    // process has been applied (for the log); set before the vocabulary is
    // shared.
    void OnChangeApplied(std::function<void(const std::string &)> note) { changeNote_ = std::move(note); }

private:
    Vocabulary(std::unique_ptr<VocabularyStore> store, std::vector<std::shared_ptr<const Word>> seed,
               std::shared_ptr<const PhoneModels> phones, float rejectionMargin);
    VocabularyState Prepared(std::vector<std::shared_ptr<const Word>> words) const;
    std::string WhyNoRoom(const VocabularyState &state, std::string_view word, std::size_t frames) const;
    void Publish(std::shared_ptr<const VocabularyState> next);
    // What the store's thread hands over, and the thread that applies it.
    void Changed(StoreChange change);
    void ApplyChanges();
    void Apply(std::vector<StoreChange> changes);

    std::unique_ptr<VocabularyStore> store_;
    std::vector<std::shared_ptr<const Word>> seed_;
    std::shared_ptr<const PhoneModels> phones_;
    float rejectionMargin_;
    std::mutex writeMutex_;          // one change at a time, the store included
    mutable std::mutex stateMutex_;  // the pointer swap only
    std::shared_ptr<const VocabularyState> state_;
    std::size_t staleFilesRemoved_ = 0;
    std::vector<std::string> openNotes_;
    VocabularyBounds bounds_;
    std::function<void(const std::string &)> changeNote_;

    std::mutex changesMutex_;
    std::condition_variable changesReady_;
    std::vector<StoreChange> changes_;
    bool stopping_ = false;
    std::thread applier_;  // started with the first change reported
};

}  // namespace tessary
