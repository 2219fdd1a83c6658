#include "vocabulary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "packet/code_page.h"
#include "speech_endpoints.h"
#include "frame_features.h"

namespace tessary {
namespace {

constexpr std::string_view kFirstLine = "tessary-vocabulary 3";
constexpr std::string_view kFirstLineVersion2 = "tessary-vocabulary 2";
constexpr std::string_view kFirstLineVersion1 = "tessary-vocabulary 1";

bool IsBlank(unsigned char b) {
    return b == ' ' || b == '\t' || b == '\r' || b == '\n' || b == '\v' || b == '\f' || b == 0xA0 || b == 0xAD;
}

[[noreturn]] void Fail(std::size_t line, const std::string &why) {
    throw std::runtime_error("line " + std::to_string(line) + ": " + why);
}

std::string ErrnoText(int error) { return std::generic_category().message(error); }

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

}  // namespace

std::string_view TrimWord(std::string_view name) {
    while (!name.empty() && IsBlank(static_cast<unsigned char>(name.front()))) name.remove_prefix(1);
    while (!name.empty() && IsBlank(static_cast<unsigned char>(name.back()))) name.remove_suffix(1);
    return name;
}

const Word *VocabularyState::Find(std::string_view name) const {
    name = TrimWord(name);
    for (const auto &w : words)
        if (TrimWord(w->name) == name) return w.get();
    return nullptr;
}

WordModel ModelOfRecordings(const Word &word, const VocabularyState &state) {
    if (word.recordings.empty()) return {};
    std::vector<FeatureMatrix> recordings;
    for (const auto &r : word.recordings) recordings.push_back(MakeFeatures(r));
    if (state.phones && !word.phones.empty()) {
        WordModel model = ModelOfRecordingsAfter(ComposeWordModel(*state.phones, word.phones), recordings);
        if (!model.Empty()) return model;
    }
    if (!word.trained.Empty()) return AdaptWordModel(word.trained, recordings);
    return ModelFromRecordings(recordings, state.priorVariance);
}

void PrepareVocabulary(VocabularyState &state) {
    std::vector<const WordModel *> trained;
    for (const auto &w : state.words)
        if (!w->trained.Empty()) trained.push_back(&w->trained);
    if (!trained.empty()) state.priorVariance = MeanVariance(trained);
    std::vector<std::pair<int, const WordModel *>> models;
    std::vector<std::pair<int, std::vector<Phone>>> spelled;
    for (std::size_t i = 0; i < state.words.size(); ++i) {
        const Word &before = *state.words[i];
        const bool spell = state.phones && before.phones.empty();
        std::vector<Phone> phones;
        if (spell) phones = Pronounce(Cp1250ToUtf8(before.name)).phones;
        const bool adapt = !before.recordings.empty() && (before.adapted.Empty() || !phones.empty());
        if (!phones.empty() || adapt) {
            auto word = std::make_shared<Word>(before);
            if (!phones.empty()) word->phones = std::move(phones);
            if (adapt) word->adapted = ModelOfRecordings(*word, state);
            state.words[i] = std::move(word);
        }
        const Word &w = *state.words[i];
        if (!w.trained.Empty()) models.emplace_back(static_cast<int>(i), &w.trained);
        if (!w.adapted.Empty()) models.emplace_back(static_cast<int>(i), &w.adapted);
        if (state.phones && !w.phones.empty()) spelled.emplace_back(static_cast<int>(i), w.phones);
    }
    state.bank = std::make_shared<const ModelBank>(models, state.phones, spelled);
}

std::string CheckWord(std::string_view word) {
    if (word.empty()) return "the word is empty";
    if (word.size() > kMaxWordBytes)
        return "the word is longer than " + std::to_string(kMaxWordBytes) + " characters";
    for (char c : word) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) return "the word holds a control character";
        if (!Cp1250Defines(b))
            return "the word holds a byte that Windows-1250 does not define";
    }
    if (TrimWord(word).size() != word.size()) return "the word begins or ends with a blank";
    return {};
}

std::string SerializeVocabulary(const VocabularyState &state) {
    std::string out(kFirstLine);
    out += '\n';
    char number[32];
    for (const auto &word : state.words) {
        const std::string name = Cp1250ToUtf8(word->name);
        out += name;
        out += "\tword\n";
        if (!word->trained.Empty()) {
            out += name;
            out += "\tmodel\t";
            out += SerializeModel(word->trained);
            out += '\n';
        }
        for (const auto &t : word->recordings) {
            out += name;
            out += "\trecording\t";
            out += std::to_string(t.size() / kFrameFloats);
            out += '\t';
            for (std::size_t i = 0; i < t.size(); ++i) {
                if (i > 0) out += ' ';
                // Shortest text that reads back as the same float.
                const auto r = std::to_chars(number, number + sizeof number, t[i]);
                out.append(number, r.ptr);
            }
            out += '\n';
        }
    }
    return out;
}

namespace {

// A plain word list: UTF-8, a word a line.
VocabularyState ParseWordList(std::string_view text) {
    VocabularyState state;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (lineNumber == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
        const std::optional<std::string> name = Utf8ToCp1250(line);
        if (!name) Fail(lineNumber, "the word is not Windows-1250 text in UTF-8");
        const std::string_view word = TrimWord(*name);
        if (word.empty() || word.front() == '#') continue;
        if (const std::string why = CheckWord(word); !why.empty()) Fail(lineNumber, why);
        if (state.Find(word)) continue;
        auto w = std::make_shared<Word>();
        w->name = std::string(word);
        state.words.push_back(std::move(w));
    }
    return state;
}

}  // namespace

VocabularyState ParseVocabulary(std::string_view text, std::shared_ptr<const PhoneModels> phones) {
    if (text.empty()) Fail(1, "empty file");
    if (!text.starts_with("tessary-vocabulary ")) {
        VocabularyState state = ParseWordList(text);
        state.phones = std::move(phones);
        PrepareVocabulary(state);
        return state;
    }
    std::vector<std::shared_ptr<Word>> words;
    auto entry = [&](const std::string &name) -> Word & {
        auto it = std::find_if(words.begin(), words.end(), [&](const auto &w) { return w->name == name; });
        if (it != words.end()) return **it;
        words.push_back(std::make_shared<Word>());
        words.back()->name = name;
        return *words.back();
    };
    std::size_t lineNumber = 0;
    bool first = true;
    bool version1 = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (first) {
            version1 = line == kFirstLineVersion1;
            if (line != kFirstLine && line != kFirstLineVersion2 && !version1)
                Fail(lineNumber, "not a vocabulary file of a version this server reads (\"" + std::string(kFirstLine) +
                                     "\", 2 or 1)");
            first = false;
            continue;
        }
        if (line.empty()) continue;
        const std::size_t nameEnd = line.find('\t');
        if (nameEnd == std::string_view::npos)
            Fail(lineNumber, "expected word, frame count and floats separated by tabs");
        const std::optional<std::string> name = Utf8ToCp1250(line.substr(0, nameEnd));
        if (!name) Fail(lineNumber, "the word is not Windows-1250 text in UTF-8");
        if (const std::string why = CheckWord(*name); !why.empty()) Fail(lineNumber, why);
        std::size_t tab1 = nameEnd;
        if (!version1) {
            const std::size_t kindEnd = line.find('\t', nameEnd + 1);
            const std::string_view kind = line.substr(nameEnd + 1, kindEnd == std::string_view::npos
                                                                       ? std::string_view::npos
                                                                       : kindEnd - nameEnd - 1);
            if (kind == "word" && kindEnd == std::string_view::npos) {
                entry(*name);
                continue;
            }
            if (kind == "model" && kindEnd != std::string_view::npos) {
                Word &word = entry(*name);
                if (!word.trained.Empty()) Fail(lineNumber, "a second model of the word");
                try {
                    word.trained = ParseModel(line.substr(kindEnd + 1));
                } catch (const std::runtime_error &e) {
                    Fail(lineNumber, e.what());
                }
                continue;
            }
            if (kind != "recording" || kindEnd == std::string_view::npos)
                Fail(lineNumber, "expected \"word\", \"model\" or \"recording\" after the word");
            tab1 = kindEnd;
        }
        const std::size_t tab2 = line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos) Fail(lineNumber, "expected word, frame count and floats separated by tabs");
        std::size_t frames = 0;
        const std::string_view countText = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const auto rc = std::from_chars(countText.data(), countText.data() + countText.size(), frames);
        if (rc.ec != std::errc() || rc.ptr != countText.data() + countText.size() || frames == 0 || frames > 100000)
            Fail(lineNumber, "bad frame count");
        std::vector<float> values;
        values.reserve(frames * kFrameFloats);
        if (!ParseFloats(line.substr(tab2 + 1), values))
            Fail(lineNumber, "bad number after " + std::to_string(values.size()) + " floats");
        if (values.size() != frames * kFrameFloats)
            Fail(lineNumber, "expected " + std::to_string(frames * kFrameFloats) + " floats, found " +
                                 std::to_string(values.size()));
        entry(*name).recordings.push_back(std::move(values));
    }
    if (first) Fail(1, "empty file");
    VocabularyState state;
    state.phones = std::move(phones);
    for (auto &w : words) state.words.push_back(std::move(w));
    PrepareVocabulary(state);
    return state;
}

namespace {

constexpr std::string_view kTemporaryPrefix = ".vocabulary.tsv.";

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

}  // namespace

namespace {

std::string ReadWholeFile(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string() + ": " + ErrnoText(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

VocabularyState LoadVocabularyFile(const std::filesystem::path &file, std::shared_ptr<const PhoneModels> phones,
                                   bool *version1) {
    const std::string text = ReadWholeFile(file);
    if (version1) *version1 = text.starts_with(kFirstLineVersion1);
    try {
        return ParseVocabulary(text, std::move(phones));
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(file.string() + ", " + e.what());
    }
}

std::shared_ptr<const PhoneModels> LoadPhoneModelsFile(const std::filesystem::path &file) {
    const std::string text = ReadWholeFile(file);
    try {
        return std::make_shared<const PhoneModels>(ParsePhoneModels(text));
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(file.string() + ": " + e.what());
    }
}

std::unique_ptr<Vocabulary> Vocabulary::Open(const std::filesystem::path &dataDir, const std::filesystem::path &seed,
                                             std::shared_ptr<const PhoneModels> phones, float rejectionMargin) {
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) throw std::runtime_error("cannot make the data folder " + dataDir.string() + ": " + ec.message());
    const std::size_t stale = RemoveStaleTemporaryFiles(dataDir);
    const std::filesystem::path file = dataDir / "vocabulary.tsv";
    std::unique_ptr<Vocabulary> vocabulary;
    if (std::filesystem::exists(file, ec)) {
        bool version1 = false;
        VocabularyState state = LoadVocabularyFile(file, phones, &version1);
        state.rejectionMargin = rejectionMargin;
        if (version1 && !seed.empty() && std::filesystem::exists(seed, ec)) {
            // Words of an old file learn what the seed's models know.
            const VocabularyState seedState = LoadVocabularyFile(seed);
            for (auto &w : state.words) {
                const Word *known = seedState.Find(w->name);
                if (!known || known->trained.Empty()) continue;
                auto word = std::make_shared<Word>(*w);
                word->trained = known->trained;
                word->adapted = {};
                w = std::move(word);
            }
            PrepareVocabulary(state);
        }
        vocabulary.reset(new Vocabulary(file, std::move(state)));
    } else {
        VocabularyState state;
        // A seed loaded is prepared already, spelled with the phone models.
        if (!seed.empty() && std::filesystem::exists(seed, ec)) state = LoadVocabularyFile(seed, phones);
        else {
            state.phones = phones;
            PrepareVocabulary(state);
        }
        state.rejectionMargin = rejectionMargin;
        vocabulary.reset(new Vocabulary(file, std::move(state)));
        if (const auto error = vocabulary->Save(*vocabulary->state_)) throw std::runtime_error(error->detail);
    }
    vocabulary->staleFilesRemoved_ = stale;
    return vocabulary;
}

Vocabulary::Vocabulary(std::filesystem::path file, VocabularyState state)
    : file_(std::move(file)), state_(std::make_shared<const VocabularyState>(std::move(state))) {}

std::shared_ptr<const VocabularyState> Vocabulary::Snapshot() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

Vocabulary::AddResult Vocabulary::AddRecording(std::string_view word, std::vector<float> speechFrames) {
    AddResult result;
    if (result.error = CheckWord(word); !result.error.empty()) return result;
    if (speechFrames.empty() || speechFrames.size() % kFrameFloats != 0) {
        result.error = "no speech to make a recording of";
        return result;
    }
    if (speechFrames.size() > static_cast<std::size_t>(kMaxSpeechFrames) * kFrameFloats) {
        result.error = "the speech is longer than " + std::to_string(kMaxSpeechFrames / kFramesPerSecond) +
                       " seconds, too long for one word";
        return result;
    }
    // Only writers change state_, and they hold writeMutex_: reading it here
    // needs no other lock.
    std::lock_guard writing(writeMutex_);
    auto next = std::make_shared<VocabularyState>(*state_);
    const std::string_view trimmed = TrimWord(word);
    if (result.error = WhyNoRoom(*next, word, speechFrames.size() / kFrameFloats); !result.error.empty())
        return result;
    auto it = std::find_if(next->words.begin(), next->words.end(),
                           [&](const auto &w) { return TrimWord(w->name) == trimmed; });
    if (it == next->words.end()) {
        result.newWord = true;
        auto created = std::make_shared<Word>();
        created->name = std::string(word);
        created->recordings.push_back(std::move(speechFrames));
        next->words.push_back(std::move(created));
        it = next->words.end() - 1;
    } else {
        if ((*it)->recordings.size() >= kMaxRecordingsPerWord) {
            result.error = "the word has " + std::to_string(kMaxRecordingsPerWord) + " recordings already";
            return result;
        }
        auto updated = std::make_shared<Word>(**it);
        updated->recordings.push_back(std::move(speechFrames));
        updated->adapted = {};
        *it = std::move(updated);
    }
    PrepareVocabulary(*next);
    result.recordings = (*it)->recordings.size();
    if (auto error = Save(*next)) {
        result.error = std::move(error->reason);
        result.detail = std::move(error->detail);
        return result;
    }
    std::shared_ptr<const VocabularyState> previous = std::move(next);
    {
        std::lock_guard swapping(stateMutex_);
        state_.swap(previous);
    }
    result.added = true;
    return result;  // the previous state goes when its last reader lets go
}

std::string Vocabulary::WhyNoRoom(std::string_view word, std::size_t frames) const {
    return WhyNoRoom(*Snapshot(), word, frames);
}

std::string Vocabulary::WhyNoRoom(const VocabularyState &state, std::string_view word, std::size_t frames) const {
    if (!state.Find(word) && state.words.size() >= bounds_.maxWords)
        return "the vocabulary is full (" + std::to_string(bounds_.maxWords) + " words)";
    std::size_t recorded = 0;
    for (const auto &w : state.words)
        for (const auto &t : w->recordings) recorded += t.size() / kFrameFloats;
    if (recorded + std::max<std::size_t>(frames, 1) > bounds_.maxRecordedFrames) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.10g",
                      static_cast<double>(bounds_.maxRecordedFrames) / kFramesPerSecond);
        return std::string("the vocabulary has no room for more recordings (") + seconds + " s of speech at most)";
    }
    return {};
}

std::optional<Vocabulary::SaveError> Vocabulary::Save(const VocabularyState &state) const {
    const std::string text = SerializeVocabulary(state);
    const std::filesystem::path dir = file_.parent_path();
    auto failed = [](const std::string &what, int error) {
        return SaveError{"the vocabulary could not be saved: " + PlainReason(error),
                         what + ": " + ErrnoText(error)};
    };
    std::string temp = (dir / (std::string(kTemporaryPrefix) + "XXXXXX")).string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return failed("cannot save the vocabulary in " + dir.string(), errno);
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlink(temp.c_str());
        return failed("cannot save the vocabulary to " + temp, error);
    }
    ::chmod(temp.c_str(), 0644);
    if (::rename(temp.c_str(), file_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return failed("cannot replace " + file_.string(), error);
    }
    // The rename lasts only once the folder's entry is on the disk.
    const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}

}  // namespace tessary
