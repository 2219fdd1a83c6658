#include "file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "packet/code_page.h"

namespace tessary {
namespace {

constexpr std::string_view kTemporaryPrefix = ".vocabulary.tsv.";
constexpr std::string_view kJournalFirstWord = "tessary-vocabulary-journal 1";

std::string ErrnoText(int error) { return std::generic_category().message(error); }

// Why a file operation failed, in words for someone who never sees the
// server's folders.
std::string PlainReason(int error) {
    switch (error) {
    case ENOSPC: return "no space left";
    case EDQUOT: return "the disk quota is used up";
    case EFBIG: return "the file would be too large";
    case EROFS: return "the disk is read-only";
    case EACCES:
    case EPERM: return "permission denied";
    case EMFILE:
    case ENFILE: return "too many open files";
    case ENOENT:
    case ENOTDIR: return "its folder is gone";
    case EIO: return "a disk error";
    default: {
        std::string text = ErrnoText(error);
        if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    }
    }
}

StoreError Failed(const std::string &what, int error) {
    return {"the vocabulary could not be saved: " + PlainReason(error), what + ": " + ErrnoText(error)};
}

// Writes all of data to fd; false on failure, with errno set.
bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::uint32_t Checksum(std::string_view bytes) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    while (!bytes.empty()) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(bytes.size(), 1u << 30));
        crc = ::crc32(crc, reinterpret_cast<const Bytef *>(bytes.data()), n);
        bytes.remove_prefix(n);
    }
    return static_cast<std::uint32_t>(crc);
}

std::string Hex(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

std::optional<std::uint32_t> ParseHex(std::string_view text) {
    std::uint32_t value = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.size() != 8 || r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string JournalFirstLine(std::uint64_t fileBytes, std::uint32_t fileChecksum) {
    return std::string(kJournalFirstWord) + "\t" + std::to_string(fileBytes) + "\t" + Hex(fileChecksum) + "\n";
}

// The folder's entries (a rename, a new or removed file) on the disk.
void SyncFolder(const std::filesystem::path &dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes text to a new file and renames it to target: a file that is either
// whole or not there. Syncs the folder.
std::optional<StoreError> ReplaceFile(const std::filesystem::path &target, std::string_view text) {
    const std::filesystem::path dir = target.parent_path();
    std::string temp = (dir / (std::string(kTemporaryPrefix) + "XXXXXX")).string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Failed("cannot save the vocabulary in " + dir.string(), errno);
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlink(temp.c_str());
        return Failed("cannot save the vocabulary to " + temp, error);
    }
    ::chmod(temp.c_str(), 0644);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Failed("cannot replace " + target.string(), error);
    }
    SyncFolder(dir);
    return std::nullopt;
}

// Removes what saves cut short by a kill left behind: files named like the
// temporary file of a save (the prefix and mkstemp's six characters).
std::size_t RemoveStaleTemporaryFiles(const std::filesystem::path &dir) {
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != kTemporaryPrefix.size() + 6 || !name.starts_with(kTemporaryPrefix)) continue;
        std::error_code removeError;
        if (entry.is_regular_file(removeError) && std::filesystem::remove(entry.path(), removeError)) ++removed;
    }
    return removed;
}

// One journal record: the checksum, then a line of the vocabulary file.
std::string Record(std::string_view word, std::span<const float> frames) {
    std::string line;
    AppendRecordingLine(line, Cp1250ToUtf8(word), frames);
    std::string record = Hex(Checksum(line));
    record += '\t';
    record += line;
    record += '\n';
    return record;
}

}  // namespace

FileStore::FileStore(const std::filesystem::path &dataDir, std::size_t minimumJournalBytes)
    : dir_(dataDir), file_(dataDir / "vocabulary.tsv"), journal_(dataDir / "vocabulary.journal"),
      minimumJournalBytes_(minimumJournalBytes) {
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) throw std::runtime_error("cannot make the data folder " + dataDir.string() + ": " + ec.message());
    staleFilesRemoved_ = RemoveStaleTemporaryFiles(dataDir);
}

FileStore::~FileStore() { CloseJournal(); }

void FileStore::CloseJournal() {
    if (journalFd_ >= 0) ::close(journalFd_);
    journalFd_ = -1;
    journalBytes_ = 0;
}

bool FileStore::NeedsSeed() const {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return true;
    std::FILE *f = std::fopen(file_.c_str(), "rb");
    if (!f) return false;  // Load says why
    char first[32] = {};
    const std::size_t n = std::fread(first, 1, sizeof first - 1, f);
    std::fclose(f);
    return VocabularyFileVersion(std::string_view(first, n)) == 1;
}

std::vector<std::shared_ptr<const Word>> FileStore::Load(const std::vector<std::shared_ptr<const Word>> &seed) {
    std::lock_guard lock(mutex_);
    notes_.clear();
    CloseJournal();
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) {
        if (const auto error = Compact(seed)) throw std::runtime_error(error->detail);
        return seed;
    }
    const std::string text = ReadFileText(file_);
    std::vector<std::shared_ptr<const Word>> words;
    try {
        words = ParseVocabularyWords(text);
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(file_.string() + ", " + e.what());
    }
    const int version = VocabularyFileVersion(text);
    fileCurrent_ = version == kVocabularyFileVersion;
    fileBytes_ = text.size();
    fileChecksum_ = Checksum(text);
    if (version == 1) {
        // Words of an old file learn what the seed's models know.
        for (auto &w : words) {
            const auto known = std::find_if(seed.begin(), seed.end(), [&](const auto &s) {
                return TrimWord(s->name) == TrimWord(w->name) && !s->trained.Empty();
            });
            if (known == seed.end()) continue;
            auto word = std::make_shared<Word>(*w);
            word->trained = (*known)->trained;
            word->adapted = {};
            w = std::move(word);
        }
    }

    const std::string records = ReadJournal();
    if (records.empty()) return words;
    std::vector<std::shared_ptr<const Word>> added;
    try {
        added = ParseVocabularyWords(std::string(kVocabularyFirstLine) + "\n" + records);
    } catch (const std::runtime_error &e) {
        CloseJournal();
        throw std::runtime_error(journal_.string() + ", " + e.what());
    }
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < words.size(); ++i) index.emplace(words[i]->name, i);
    for (const auto &a : added) {
        const auto it = index.find(a->name);
        if (it == index.end()) {
            index.emplace(a->name, words.size());
            words.push_back(a);
            continue;
        }
        auto word = std::make_shared<Word>(*words[it->second]);
        word->recordings.insert(word->recordings.end(), a->recordings.begin(), a->recordings.end());
        word->adapted = {};
        words[it->second] = std::move(word);
    }
    return words;
}

std::string FileStore::ReadJournal() {
    std::error_code ec;
    if (!std::filesystem::exists(journal_, ec)) return {};
    const std::string text = ReadFileText(journal_);
    const std::size_t firstEnd = text.find('\n');
    const std::string_view first = std::string_view(text).substr(0, firstEnd);
    if (firstEnd == std::string::npos || !first.starts_with(std::string(kJournalFirstWord) + "\t"))
        throw std::runtime_error(journal_.string() + ", line 1: not a journal of this server (\"" +
                                 std::string(kJournalFirstWord) + "\")");
    if (first.size() + 1 != JournalFirstLine(fileBytes_, fileChecksum_).size() ||
        text.compare(0, firstEnd + 1, JournalFirstLine(fileBytes_, fileChecksum_)) != 0) {
        notes_.push_back(journal_.string() + " extends another version of " + file_.string() +
                         ", which holds its records already: ignored");
        return {};
    }
    // Every whole record whose checksum holds; where one does not, every
    // later line must be bad too (a crash's doing), or the journal is refused.
    std::string records;
    std::size_t good = firstEnd + 1;
    std::size_t lineNumber = 1;
    std::optional<std::string> firstBad;
    std::size_t firstBadLine = 0;
    for (std::size_t at = firstEnd + 1; at < text.size();) {
        ++lineNumber;
        const std::size_t end = text.find('\n', at);
        const std::string_view line =
            std::string_view(text).substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::string why;
        if (end == std::string::npos) why = "the record has no line end";
        else if (line.size() < 9 || line[8] != '\t') why = "the record begins with no checksum";
        else if (const auto sum = ParseHex(line.substr(0, 8)); !sum || *sum != Checksum(line.substr(9)))
            why = "the record's checksum does not match";
        if (!why.empty()) {
            if (!firstBad) {
                firstBad = why;
                firstBadLine = lineNumber;
            }
        } else if (firstBad) {
            throw std::runtime_error(journal_.string() + ", line " + std::to_string(firstBadLine) + ": " +
                                     *firstBad + ", and records follow it");
        } else {
            records.append(line.substr(9));
            records += '\n';
            good = end + 1;
        }
        at = end == std::string::npos ? text.size() : end + 1;
    }
    const int fd = ::open(journal_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot write to " + journal_.string() + ": " + ErrnoText(errno));
    if (firstBad) {
        // Cut back to the records before it, so that the next record
        // follows a good one.
        if (::ftruncate(fd, static_cast<off_t>(good)) != 0 || ::fsync(fd) != 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot cut the bad end off " + journal_.string() + ": " + ErrnoText(error));
        }
        notes_.push_back("dropped the last record of " + journal_.string() + " (line " +
                         std::to_string(firstBadLine) + ": " + *firstBad +
                         "), cut short when the server stopped before it answered that add");
    }
    journalFd_ = fd;
    journalBytes_ = good;
    return records;
}

std::optional<StoreError> FileStore::AddRecording(std::string_view word, std::span<const float> frames,
                                                  const std::vector<std::shared_ptr<const Word>> &after) {
    std::lock_guard lock(mutex_);
    const std::string record = Record(word, frames);
    if (!fileCurrent_ || journalBytes_ + record.size() > std::max<std::uint64_t>(fileBytes_, minimumJournalBytes_))
        return Compact(after);
    if (journalFd_ >= 0) {
        // A journal removed under the server would take records that no
        // later start reads: the file is written whole instead.
        struct stat status {};
        if (::fstat(journalFd_, &status) != 0 || status.st_nlink == 0) {
            CloseJournal();
            return Compact(after);
        }
    }
    if (journalFd_ < 0) return BeginJournal(record);
    return AppendToJournal(record);
}

std::optional<StoreError> FileStore::BeginJournal(const std::string &record) {
    const std::string text = JournalFirstLine(fileBytes_, fileChecksum_) + record;
    if (auto error = ReplaceFile(journal_, text)) return error;
    journalFd_ = ::open(journal_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    // The record is on the disk; the next add writes the file whole when
    // the journal cannot be kept open.
    if (journalFd_ < 0) fileCurrent_ = false;
    journalBytes_ = text.size();
    return std::nullopt;
}

std::optional<StoreError> FileStore::AppendToJournal(const std::string &record) {
    if (WriteAll(journalFd_, record) && ::fdatasync(journalFd_) == 0) {
        journalBytes_ += record.size();
        return std::nullopt;
    }
    const int error = errno;
    // Nothing of a record that failed may stay for the next to follow.
    if (::ftruncate(journalFd_, static_cast<off_t>(journalBytes_)) != 0 || ::fdatasync(journalFd_) != 0) {
        // The next add writes the file whole and begins a new journal.
        CloseJournal();
        fileCurrent_ = false;
    }
    return Failed("cannot append to " + journal_.string(), error);
}

std::optional<StoreError> FileStore::Compact(const std::vector<std::shared_ptr<const Word>> &words) {
    const std::string text = SerializeWords(words);
    if (auto error = ReplaceFile(file_, text)) return error;
    fileCurrent_ = true;
    fileBytes_ = text.size();
    fileChecksum_ = Checksum(text);
    // The journal's records are in the file now; a journal left by a crash
    // before this removal names the old file, and is ignored.
    CloseJournal();
    if (::unlink(journal_.c_str()) == 0) SyncFolder(dir_);
    return std::nullopt;
}

}  // namespace tessary
