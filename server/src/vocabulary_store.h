// Where the vocabulary's words and users' recordings last: the vocabulary
// file in the data folder (the default: nothing to set up), or a database
// shared by several server processes. The Vocabulary keeps what sessions see
// and derives every model; a store only keeps words and recordings (and, in
// the file, models trained at build time that older files hold).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vocabulary.h"   // Word (or a smaller header holding Word, if store-file splits it out)

namespace tessary {

// Why a store could not do something: a plain reason fit for the client
// (no path, no password, no SQL), and the same with the details for the log.
struct StoreError {
    std::string reason;
    std::string detail;
};

// One recording another process added: the word (Windows-1250 bytes) and
// its frames of speech, kFrameFloats floats each.
struct StoredRecording {
    std::string word;
    std::vector<float> frames;
};

// What changed in the store behind this process's back.
struct StoreChange {
    // The store lost track (it reconnected, or could not read a change):
    // everything must be read again with Load().
    bool reloadEverything = false;
    std::vector<std::string> addedWords;        // words added without a recording, in order
    std::vector<StoredRecording> addedRecordings; // in the order they were added
};

class VocabularyStore {
public:
    virtual ~VocabularyStore() = default;

    // What the log calls it: the file's path, or the database (never its password).
    virtual std::string Describe() const = 0;

    // Every word the store holds, in the order first added, with its
    // recordings (and trained model, where the store keeps one); models of
    // recordings and spellings are not made here. When the store holds
    // nothing yet, seed is stored first (the file store writes it whole; a
    // database store may store only its words) and returned.
    // Throws std::runtime_error with a one-line reason.
    virtual std::vector<std::shared_ptr<const Word>> Load(const std::vector<std::shared_ptr<const Word>> &seed) = 0;

    // Stores one more recording of word (created when new; two processes
    // adding the same word at once end with one word holding both
    // recordings), durably before it returns. after is the vocabulary as it
    // will be with the recording: a store may use it to compact.
    virtual std::optional<StoreError> AddRecording(std::string_view word, std::span<const float> frames,
                                                   const std::vector<std::shared_ptr<const Word>> &after) = 0;

    // Why an add would be refused now, in plain words fit for the client, or
    // "" when it may succeed: a shared store that has lost its database
    // says so before the user records the word.
    virtual std::string WhyCannotAdd() const { return {}; }

    // From now on, calls changed, on a thread of the store's own, with what
    // other processes changed (never this process's own adds). A store no
    // other process writes never calls it. The callback must not block long.
    virtual void Watch(std::function<void(StoreChange)> changed) { (void)changed; }
};

}  // namespace tessary
