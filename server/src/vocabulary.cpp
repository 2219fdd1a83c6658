#include "vocabulary.h"

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
#include <unordered_map>

#include "packet/code_page.h"
#include "file_store.h"
#include "speech_endpoints.h"
#include "frame_features.h"
#include "vocabulary_store.h"

namespace tessary {
namespace {

constexpr std::string_view kFirstLine = kVocabularyFirstLine;
constexpr std::string_view kFirstLineVersion2 = "tessary-vocabulary 2";
constexpr std::string_view kFirstLineVersion1 = "tessary-vocabulary 1";

bool IsBlank(unsigned char b) {
    return b == ' ' || b == '\t' || b == '\r' || b == '\n' || b == '\v' || b == '\f' || b == 0xA0 || b == 0xAD;
}

[[noreturn]] void Fail(std::size_t line, const std::string &why) {
    throw std::runtime_error("line " + std::to_string(line) + ": " + why);
}

std::string ErrnoText(int error) { return std::generic_category().message(error); }

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

namespace {

// Spells word i when it lacks a spelling, and makes the model of its
// recordings when it lacks one (or has just been spelled).
void PrepareWord(VocabularyState &state, std::size_t i) {
    const Word &before = *state.words[i];
    const bool spell = state.phones && before.phones.empty();
    std::vector<Phone> phones;
    if (spell) phones = Pronounce(Cp1250ToUtf8(before.name)).phones;
    const bool adapt = !before.recordings.empty() && (before.adapted.Empty() || !phones.empty());
    if (phones.empty() && !adapt) return;
    auto word = std::make_shared<Word>(before);
    if (!phones.empty()) word->phones = std::move(phones);
    if (adapt) word->adapted = ModelOfRecordings(*word, state);
    state.words[i] = std::move(word);
}

ModelBank::Describe DescribeWords(const VocabularyState &state) {
    return [&state](int i) {
        const Word &w = *state.words[static_cast<std::size_t>(i)];
        ModelBank::WordModels models;
        if (!w.trained.Empty()) models.models.push_back(&w.trained);
        if (!w.adapted.Empty()) models.models.push_back(&w.adapted);
        if (state.phones) models.spelling = w.phones;
        return models;
    };
}

}  // namespace

void PrepareVocabulary(VocabularyState &state) {
    std::vector<const WordModel *> trained;
    for (const auto &w : state.words)
        if (!w->trained.Empty()) trained.push_back(&w->trained);
    if (!trained.empty()) state.priorVariance = MeanVariance(trained);
    state.recordedFrames = 0;
    for (std::size_t i = 0; i < state.words.size(); ++i) {
        PrepareWord(state, i);
        for (const auto &t : state.words[i]->recordings) state.recordedFrames += t.size() / kFrameFloats;
    }
    state.bank = std::make_shared<const ModelBank>(static_cast<int>(state.words.size()), DescribeWords(state),
                                                   state.phones);
}

void PrepareChangedWords(VocabularyState &state, const std::vector<std::size_t> &changed) {
    if (!state.bank) return PrepareVocabulary(state);
    std::vector<int> indices;
    for (std::size_t i : changed) {
        PrepareWord(state, i);
        indices.push_back(static_cast<int>(i));
    }
    state.bank = std::make_shared<const ModelBank>(*state.bank, static_cast<int>(state.words.size()), indices,
                                                   DescribeWords(state));
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

void AppendRecordingLine(std::string &out, std::string_view utf8Name, std::span<const float> frames) {
    char number[32];
    out += utf8Name;
    out += "\trecording\t";
    out += std::to_string(frames.size() / kFrameFloats);
    out += '\t';
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i > 0) out += ' ';
        // Shortest text that reads back as the same float.
        const auto r = std::to_chars(number, number + sizeof number, frames[i]);
        out.append(number, r.ptr);
    }
}

std::string SerializeWords(const std::vector<std::shared_ptr<const Word>> &words) {
    std::string out(kFirstLine);
    out += '\n';
    for (const auto &word : words) {
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
            AppendRecordingLine(out, name, t);
            out += '\n';
        }
    }
    return out;
}

std::string SerializeVocabulary(const VocabularyState &state) { return SerializeWords(state.words); }

int VocabularyFileVersion(std::string_view text) {
    const std::string_view first = text.substr(0, text.find('\n'));
    if (first == kFirstLine) return kVocabularyFileVersion;
    if (first == kFirstLineVersion2) return 2;
    if (first == kFirstLineVersion1) return 1;
    return 0;
}

namespace {

// A plain word list: UTF-8, a word a line.
std::vector<std::shared_ptr<const Word>> ParseWordList(std::string_view text) {
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
    return std::move(state.words);
}

}  // namespace

VocabularyState ParseVocabulary(std::string_view text, std::shared_ptr<const PhoneModels> phones) {
    VocabularyState state;
    state.words = ParseVocabularyWords(text);
    state.phones = std::move(phones);
    PrepareVocabulary(state);
    return state;
}

std::vector<std::shared_ptr<const Word>> ParseVocabularyWords(std::string_view text) {
    if (text.empty()) Fail(1, "empty file");
    if (!text.starts_with("tessary-vocabulary ")) return ParseWordList(text);
    std::vector<std::shared_ptr<Word>> words;
    std::unordered_map<std::string, std::size_t> index;
    auto entry = [&](const std::string &name) -> Word & {
        const auto [it, added] = index.emplace(name, words.size());
        if (!added) return *words[it->second];
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
    return {std::make_move_iterator(words.begin()), std::make_move_iterator(words.end())};
}

std::string ReadFileText(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string() + ": " + ErrnoText(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

VocabularyState LoadVocabularyFile(const std::filesystem::path &file, std::shared_ptr<const PhoneModels> phones,
                                   bool *version1) {
    const std::string text = ReadFileText(file);
    if (version1) *version1 = VocabularyFileVersion(text) == 1;
    try {
        return ParseVocabulary(text, std::move(phones));
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(file.string() + ", " + e.what());
    }
}

std::shared_ptr<const PhoneModels> LoadPhoneModelsFile(const std::filesystem::path &file) {
    const std::string text = ReadFileText(file);
    try {
        return std::make_shared<const PhoneModels>(ParsePhoneModels(text));
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(file.string() + ": " + e.what());
    }
}

namespace {

// The seed file's words, or none when there is no seed file.
std::vector<std::shared_ptr<const Word>> LoadSeedWords(const std::filesystem::path &seed) {
    std::error_code ec;
    if (seed.empty() || !std::filesystem::exists(seed, ec)) return {};
    const std::string text = ReadFileText(seed);
    try {
        return ParseVocabularyWords(text);
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(seed.string() + ", " + e.what());
    }
}

// Adds a recording of word to state, creating the word when it is new;
// the word's index, or the reason it cannot take one more.
struct Added {
    std::size_t index = 0;
    bool created = false;
    std::string refused;
};
// A word of another process's may hold more than one of this process may.
Added AddTo(VocabularyState &state, std::string_view word, std::vector<float> frames, bool limited = true) {
    Added added;
    const std::string_view trimmed = TrimWord(word);
    auto it = std::find_if(state.words.begin(), state.words.end(),
                           [&](const auto &w) { return TrimWord(w->name) == trimmed; });
    state.recordedFrames += frames.size() / kFrameFloats;
    if (it == state.words.end()) {
        auto created = std::make_shared<Word>();
        created->name = std::string(word);
        created->recordings.push_back(std::move(frames));
        state.words.push_back(std::move(created));
        added.index = state.words.size() - 1;
        added.created = true;
        return added;
    }
    added.index = static_cast<std::size_t>(it - state.words.begin());
    if (limited && (*it)->recordings.size() >= kMaxRecordingsPerWord) {
        state.recordedFrames -= frames.size() / kFrameFloats;
        added.refused = "the word has " + std::to_string(kMaxRecordingsPerWord) + " recordings already";
        return added;
    }
    auto updated = std::make_shared<Word>(**it);
    updated->recordings.push_back(std::move(frames));
    updated->adapted = {};
    *it = std::move(updated);
    return added;
}

}  // namespace

std::unique_ptr<Vocabulary> Vocabulary::Open(const std::filesystem::path &dataDir, const std::filesystem::path &seed,
                                             std::shared_ptr<const PhoneModels> phones, float rejectionMargin) {
    auto store = std::make_unique<FileStore>(dataDir);
    const std::size_t stale = store->StaleFilesRemoved();
    // The seed is read only when the file has none of its own to use it for.
    const std::filesystem::path seedUsed = store->NeedsSeed() ? seed : std::filesystem::path();
    auto vocabulary = Open(std::move(store), seedUsed, std::move(phones), rejectionMargin);
    vocabulary->staleFilesRemoved_ = stale;
    vocabulary->openNotes_ = static_cast<const FileStore &>(*vocabulary->store_).Notes();
    return vocabulary;
}

std::unique_ptr<Vocabulary> Vocabulary::Open(std::unique_ptr<VocabularyStore> store, const std::filesystem::path &seed,
                                             std::shared_ptr<const PhoneModels> phones, float rejectionMargin) {
    std::unique_ptr<Vocabulary> vocabulary(
        new Vocabulary(std::move(store), LoadSeedWords(seed), std::move(phones), rejectionMargin));
    Vocabulary &v = *vocabulary;
    v.state_ = std::make_shared<const VocabularyState>(v.Prepared(v.store_->Load(v.seed_)));
    v.store_->Watch([&v](StoreChange change) { v.Changed(std::move(change)); });
    return vocabulary;
}

Vocabulary::Vocabulary(std::unique_ptr<VocabularyStore> store, std::vector<std::shared_ptr<const Word>> seed,
                       std::shared_ptr<const PhoneModels> phones, float rejectionMargin)
    : store_(std::move(store)), seed_(std::move(seed)), phones_(std::move(phones)),
      rejectionMargin_(rejectionMargin) {}

Vocabulary::~Vocabulary() {
    {
        std::lock_guard lock(changesMutex_);
        stopping_ = true;
    }
    changesReady_.notify_all();
    if (applier_.joinable()) applier_.join();
    // The store's own thread ends here, before anything it calls is gone.
    store_.reset();
}

VocabularyState Vocabulary::Prepared(std::vector<std::shared_ptr<const Word>> words) const {
    VocabularyState state;
    state.words = std::move(words);
    state.phones = phones_;
    state.rejectionMargin = rejectionMargin_;
    PrepareVocabulary(state);
    return state;
}

std::string Vocabulary::Where() const { return store_->Describe(); }

std::shared_ptr<const VocabularyState> Vocabulary::Snapshot() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void Vocabulary::Publish(std::shared_ptr<const VocabularyState> next) {
    {
        std::lock_guard swapping(stateMutex_);
        state_.swap(next);
    }
    // The previous state goes when its last reader lets go.
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
    if (result.error = WhyNoRoom(*state_, word, speechFrames.size() / kFrameFloats); !result.error.empty())
        return result;
    auto next = std::make_shared<VocabularyState>(*state_);
    const Added added = AddTo(*next, word, std::move(speechFrames));
    if (!added.refused.empty()) {
        result.error = added.refused;
        return result;
    }
    PrepareChangedWords(*next, {added.index});
    const Word &changed = *next->words[added.index];
    result.newWord = added.created;
    result.recordings = changed.recordings.size();
    if (auto error = store_->AddRecording(word, changed.recordings.back(), next->words)) {
        result.error = std::move(error->reason);
        result.detail = std::move(error->detail);
        return result;
    }
    Publish(std::move(next));
    result.added = true;
    return result;
}

std::string Vocabulary::WhyNoRoom(std::string_view word, std::size_t frames) const {
    if (std::string why = store_->WhyCannotAdd(); !why.empty()) return why;
    return WhyNoRoom(*Snapshot(), word, frames);
}

std::string Vocabulary::WhyNoRoom(const VocabularyState &state, std::string_view word, std::size_t frames) const {
    if (!state.Find(word) && state.words.size() >= bounds_.maxWords)
        return "the vocabulary is full (" + std::to_string(bounds_.maxWords) + " words)";
    if (state.recordedFrames + std::max<std::size_t>(frames, 1) > bounds_.maxRecordedFrames) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.10g",
                      static_cast<double>(bounds_.maxRecordedFrames) / kFramesPerSecond);
        return std::string("the vocabulary has no room for more recordings (") + seconds + " s of speech at most)";
    }
    return {};
}

void Vocabulary::Changed(StoreChange change) {
    std::lock_guard lock(changesMutex_);
    if (stopping_) return;
    changes_.push_back(std::move(change));
    if (!applier_.joinable()) applier_ = std::thread([this] { ApplyChanges(); });
    changesReady_.notify_one();
}

void Vocabulary::ApplyChanges() {
    std::unique_lock lock(changesMutex_);
    for (;;) {
        changesReady_.wait(lock, [&] { return stopping_ || !changes_.empty(); });
        if (stopping_) return;
        std::vector<StoreChange> batch = std::move(changes_);
        changes_.clear();
        lock.unlock();
        Apply(std::move(batch));
        lock.lock();
    }
}

void Vocabulary::Apply(std::vector<StoreChange> changes) {
    std::lock_guard writing(writeMutex_);
    std::string note;
    std::shared_ptr<VocabularyState> next;
    if (std::any_of(changes.begin(), changes.end(), [](const StoreChange &c) { return c.reloadEverything; })) {
        // What the batch names is in the store already: one load takes it all.
        try {
            next = std::make_shared<VocabularyState>(Prepared(store_->Load(seed_)));
        } catch (const std::exception &e) {
            if (changeNote_) changeNote_("cannot read the vocabulary again from " + Where() + ": " + e.what());
            return;
        }
        note = "read the vocabulary again from " + Where() + ": " + std::to_string(next->words.size()) + " words";
    } else {
        next = std::make_shared<VocabularyState>(*state_);
        std::vector<std::size_t> changed;
        std::size_t words = 0;
        std::size_t recordings = 0;
        for (StoreChange &change : changes) {
            for (const std::string &name : change.addedWords) {
                if (next->Find(name)) continue;
                auto word = std::make_shared<Word>();
                word->name = name;
                next->words.push_back(std::move(word));
                changed.push_back(next->words.size() - 1);
                ++words;
            }
            for (StoredRecording &r : change.addedRecordings) {
                // What another process stored is kept whatever the bounds.
                const Added added = AddTo(*next, r.word, std::move(r.frames), false);
                changed.push_back(added.index);
                words += added.created;
                ++recordings;
            }
        }
        PrepareChangedWords(*next, changed);
        note = "applied what another server added to " + Where() + ": " + std::to_string(words) +
               (words == 1 ? " word, " : " words, ") + std::to_string(recordings) +
               (recordings == 1 ? " recording" : " recordings");
    }
    Publish(std::move(next));
    if (changeNote_) changeNote_(note);
}

}  // namespace tessary
