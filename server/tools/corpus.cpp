#include "corpus.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "material.h"
#include "packet/code_page.h"
#include "pronunciation.h"
#include "platform/audio_file.h"

namespace tessary {
namespace {

// The quoted Lua string that starts at text[at] ('"'), unescaped; at moves
// past it. Nothing when the string does not end.
std::optional<std::string> QuotedString(const std::string &text, std::size_t &at) {
    std::string out;
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            const char e = text[++i];
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            continue;
        }
        if (c == '"') {
            at = i + 1;
            return out;
        }
        out += c;
    }
    return std::nullopt;
}

struct Call {
    std::size_t at = 0;  // position of the call
    std::string first;   // its first string argument
    std::string second;  // its second, when that is a string too; else empty
};

// The calls of function in text whose first argument is a string, in order.
std::vector<Call> Calls(const std::string &text, const std::string &function) {
    std::vector<Call> found;
    const std::string call = function + "(";
    auto skipBlanks = [&](std::size_t &q) {
        while (q < text.size() && (text[q] == ' ' || text[q] == '\t')) ++q;
    };
    for (std::size_t at = text.find(call); at != std::string::npos; at = text.find(call, at + 1)) {
        std::size_t q = at + call.size();
        skipBlanks(q);
        if (q >= text.size() || text[q] != '"') continue;
        auto first = QuotedString(text, q);
        if (!first) continue;
        Call c{at, std::move(*first), {}};
        skipBlanks(q);
        if (q < text.size() && text[q] == ',') {
            ++q;
            skipBlanks(q);
            if (q < text.size() && text[q] == '"')
                if (auto second = QuotedString(text, q)) c.second = std::move(*second);
        }
        found.push_back(std::move(c));
    }
    return found;
}

std::string ReadFile(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Who says a line: the two fish by the font of their subtitles (the small
// fish's small, the big fish's big), whatever the id says; anyone else by
// the middle part of the id ("let-x-divna" -> "x"), or the whole id when it
// has none.
std::string SpeakerOf(const std::string &id, const std::string &font) {
    if (font == "font_small") return "m";
    if (font == "font_big") return "v";
    const std::size_t a = id.find('-');
    const std::size_t b = a == std::string::npos ? std::string::npos : id.find('-', a + 1);
    if (b == std::string::npos) return id;
    return id.substr(a + 1, b - a - 1);
}

std::vector<std::filesystem::path> SortedEntries(const std::filesystem::path &folder) {
    std::vector<std::filesystem::path> entries;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(folder, ec)) entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace

std::filesystem::path FindCorpus() {
    const std::filesystem::path root = "/usr/share/games/fillets-ng";
    std::error_code ec;
    if (std::filesystem::is_directory(root / "sound", ec) && std::filesystem::is_directory(root / "script", ec) &&
        std::filesystem::exists(root / "sound" / "airplane" / "cs", ec))
        return root;
    return {};
}

std::vector<Sentence> ReadCorpus(const std::filesystem::path &root) {
    std::vector<Sentence> sentences;
    for (const auto &levelFolder : SortedEntries(root / "script")) {
        const std::string level = levelFolder.filename().string();
        if (level == kCorpusHeldOutLevel) continue;
        // The texts of this level, by id.
        std::map<std::string, std::string> texts, fonts;
        for (const auto &script : SortedEntries(levelFolder)) {
            const std::string name = script.filename().string();
            if (name.size() < 14 || name.compare(name.size() - 14, 14, "dialogs_cs.lua") != 0) continue;
            const std::string text = ReadFile(script);
            const auto ids = Calls(text, "dialogId");
            const auto strs = Calls(text, "dialogStr");
            // Each id takes the first text that follows it, before the next id.
            std::size_t s = 0;
            for (std::size_t i = 0; i < ids.size(); ++i) {
                const std::size_t next = i + 1 < ids.size() ? ids[i + 1].at : std::string::npos;
                while (s < strs.size() && strs[s].at < ids[i].at) ++s;
                if (s < strs.size() && strs[s].at < next && !strs[s].first.empty()) {
                    texts.emplace(ids[i].first, strs[s].first);
                    fonts.emplace(ids[i].first, ids[i].second);
                }
            }
        }
        for (const auto &audio : SortedEntries(root / "sound" / level / "cs")) {
            if (audio.extension() != ".ogg") continue;
            const std::string id = audio.stem().string();
            const auto t = texts.find(id);
            if (t == texts.end()) continue;
            sentences.push_back({level, id, SpeakerOf(id, fonts[id]), t->second, audio});
        }
    }
    return sentences;
}

std::string VocabularyText(const std::string &text) {
    if (!Pronounce(text).Ok()) return {};
    std::string out;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        if (!out.empty()) out += ' ';
        out += word;
        word.clear();
    };
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80) word += ch;
        else if (std::isalpha(c)) word += static_cast<char>(std::tolower(c));
        else if (c != '\'') flush();
    }
    flush();
    // Upper-case Czech letters to lower case, by their UTF-8.
    static const std::vector<std::pair<std::string, std::string>> pairs = {
        {"Á", "á"}, {"Č", "č"}, {"Ď", "ď"}, {"É", "é"}, {"Ě", "ě"}, {"Í", "í"}, {"Ň", "ň"}, {"Ó", "ó"},
        {"Ř", "ř"}, {"Š", "š"}, {"Ť", "ť"}, {"Ú", "ú"}, {"Ů", "ů"}, {"Ý", "ý"}, {"Ž", "ž"}};
    for (const auto &[upper, lower] : pairs)
        for (std::size_t at = out.find(upper); at != std::string::npos; at = out.find(upper, at))
            out.replace(at, upper.size(), lower);
    return out;
}

std::size_t WordCount(const std::string &vocabularyText) {
    return vocabularyText.empty()
               ? 0
               : 1 + static_cast<std::size_t>(std::count(vocabularyText.begin(), vocabularyText.end(), ' '));
}

VocabularyState VocabularyOfTexts(const std::vector<std::string> &texts, std::shared_ptr<const PhoneModels> phones) {
    VocabularyState state;
    state.phones = std::move(phones);
    for (const std::string &t : texts) {
        auto word = std::make_shared<Word>();
        word->name = Utf8ToCp1250(t).value_or(t);
        state.words.push_back(std::move(word));
    }
    PrepareVocabulary(state);
    return state;
}

bool IsShortUtterance(const Sentence &sentence) {
    const std::size_t words = WordCount(VocabularyText(sentence.text));
    return (sentence.speaker == "m" || sentence.speaker == "v") && words >= 1 && words <= 2;
}

std::vector<std::int16_t> ReadSentenceAudio(const Sentence &sentence, const std::filesystem::path &cache) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(sentence.audio, ec);
    const std::string key = "corpus " + sentence.audio.string() + " " + std::to_string(ec ? 0 : size);
    return CachedRecording(key, cache, [&] {
        std::vector<std::int16_t> samples;
        std::string error;
        // At most a minute: the longest dialogue lasts well under that.
        if (!vantrel::ReadAudioFile8k(sentence.audio.string(), 60 * 8000, &samples, &error))
            throw std::runtime_error("cannot read " + sentence.audio.string() + ": " + error);
        return samples;
    });
}

std::vector<std::int16_t> SentenceInRoom(const Sentence &sentence, const std::vector<std::int16_t> &samples,
                                         const std::string &room, const std::filesystem::path &cache) {
    return SoxEffects(samples, "corpus " + sentence.level + " " + sentence.id, room, cache);
}

}  // namespace tessary
