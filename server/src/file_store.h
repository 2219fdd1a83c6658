// The vocabulary kept in files of the data folder: vocabulary.tsv (its
// format in vocabulary.h) and a journal of the recordings added since that
// file was last written, vocabulary.journal. An add appends one record to
// the journal and syncs it, so it costs the same however large the
// vocabulary; now and then, when the journal has grown larger than the file
// (and than a minimum), the add writes the whole vocabulary to the file
// instead and removes the journal.
//
// The journal is UTF-8 text. Its first line names the file it extends:
//   "tessary-vocabulary-journal 1" TAB the file's size in bytes TAB the
//   CRC-32 of its bytes, 8 hexadecimal digits
// and every further line is a record, one recording of a word:
//   CRC-32 of the rest of the line, 8 hex digits TAB word TAB "recording"
//   TAB frame count TAB the frames' floats separated by blanks
// that is, a checksum before a line of the vocabulary file's own kind.
//
// What a crash at any moment leaves behind loads, and holds every add that
// was answered:
//   - the file is replaced as a whole: written to a temporary file in the
//     same folder (.vocabulary.tsv.XXXXXX), synced, renamed over the old
//     one, the folder synced; temporary files of a save cut short are
//     removed when the store is opened;
//   - a journal is begun the same way, with its first record; later records
//     are appended and synced before the add is answered. A record cut
//     short (the last, never answered) fails its checksum or lacks its line
//     end: it is dropped with a note for the log, and the journal cut back
//     to the records before it. A bad record followed by good ones is no
//     crash's doing: the journal is refused, and nothing is changed;
//   - a journal whose first line names another file than the one there was
//     left by a crash between the writing of the file (which holds its
//     records) and its removal: it is ignored, with a note, and replaced by
//     the next add.
// A file of an older version (1 or 2), or a word list, loads; the first add
// writes it anew in the current version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vocabulary_store.h"

namespace tessary {

class FileStore final : public VocabularyStore {
public:
    // The least the journal grows to before it is folded into the file.
    static constexpr std::size_t kDefaultMinimumJournalBytes = 1 << 20;

    // Makes the data folder when it is missing and removes the temporary
    // files of interrupted saves; throws std::runtime_error with a one-line
    // reason when the folder cannot be made.
    explicit FileStore(const std::filesystem::path &dataDir,
                       std::size_t minimumJournalBytes = kDefaultMinimumJournalBytes);
    ~FileStore() override;
    FileStore(const FileStore &) = delete;
    FileStore &operator=(const FileStore &) = delete;

    std::string Describe() const override { return file_.string(); }
    // A file of the first version learns the trained models of the seed's
    // words; the seed itself is stored only when there is no file yet.
    std::vector<std::shared_ptr<const Word>> Load(const std::vector<std::shared_ptr<const Word>> &seed) override;
    std::optional<StoreError> AddRecording(std::string_view word, std::span<const float> frames,
                                           const std::vector<std::shared_ptr<const Word>> &after) override;

    const std::filesystem::path &File() const { return file_; }
    const std::filesystem::path &Journal() const { return journal_; }
    // Whether Load would use a seed: there is no file yet, or one of the
    // first version.
    bool NeedsSeed() const;
    // How many temporary files of interrupted saves opening removed.
    std::size_t StaleFilesRemoved() const { return staleFilesRemoved_; }
    // What the last Load found worth a line of the log.
    const std::vector<std::string> &Notes() const { return notes_; }

private:
    std::optional<StoreError> Compact(const std::vector<std::shared_ptr<const Word>> &words);
    std::optional<StoreError> BeginJournal(const std::string &record);
    std::optional<StoreError> AppendToJournal(const std::string &record);
    // The records of the journal that extend the file whose size and
    // checksum are given, as lines of the vocabulary file; cuts a last
    // record that a crash left short.
    std::string ReadJournal();
    void CloseJournal();

    std::filesystem::path dir_;
    std::filesystem::path file_;
    std::filesystem::path journal_;
    std::size_t minimumJournalBytes_;
    std::size_t staleFilesRemoved_ = 0;
    std::vector<std::string> notes_;

    std::mutex mutex_;              // one change at a time
    bool fileCurrent_ = false;      // the file is of the current version, as this store last wrote or read it
    std::uint64_t fileBytes_ = 0;
    std::uint32_t fileChecksum_ = 0;
    int journalFd_ = -1;            // open for appending while the journal extends the file
    std::uint64_t journalBytes_ = 0;
};

}  // namespace tessary
