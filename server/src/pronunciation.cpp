#include "pronunciation.h"

#include <array>
#include <cstdio>
#include <initializer_list>

#include "packet/utf8.h"

namespace tessary {
namespace {

constexpr std::array<std::string_view, kPhoneCount> kPhoneNames = {
    "a", "aa", "e",  "ee", "i",   "ii",  "o", "oo", "u",  "uu", "ou", "au",  "eu", "p",
    "b", "t",  "d",  "tj", "dj",  "k",   "g", "f",  "v",  "s",  "z",  "sh",  "zh", "x",
    "h", "ts", "dz", "tsh", "dzh", "m",  "n", "nj", "ng", "r",  "rzh", "rsh", "l", "j",
};
static_assert(static_cast<int>(Phone::j) + 1 == kPhoneCount);

// Step 1: characters.

// The lower-case letter, for the letters of Czech spelling and ä ö ü; 0 for
// any other character.
char32_t LowerLetter(char32_t c) {
    if (c >= 'a' && c <= 'z') return c;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 'a';
    // Upper case, lower case.
    static constexpr std::array<std::array<char32_t, 2>, 18> kAccented = {{
        {U'Á', U'á'}, {U'Č', U'č'}, {U'Ď', U'ď'}, {U'É', U'é'}, {U'Ě', U'ě'}, {U'Í', U'í'},
        {U'Ň', U'ň'}, {U'Ó', U'ó'}, {U'Ř', U'ř'}, {U'Š', U'š'}, {U'Ť', U'ť'}, {U'Ú', U'ú'},
        {U'Ů', U'ů'}, {U'Ý', U'ý'}, {U'Ž', U'ž'}, {U'Ä', U'ä'}, {U'Ö', U'ö'}, {U'Ü', U'ü'},
    }};
    for (const auto &[upper, lower] : kAccented) {
        if (c == upper || c == lower) return lower;
    }
    return 0;
}

// Characters that part words: blanks, hyphens and punctuation.
bool PartsWords(char32_t c) {
    static constexpr std::u32string_view kParting =
        U" \t\n\r\v\f\u00A0\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200A\u202F\u3000"
        U"-\u2010\u2011"
        U".,!?:;\"()[]\u2026\u2013\u2014\u201E\u201C\u201D\u00AB\u00BB\u2039\u203A\u201A";
    return kParting.find(c) != std::u32string_view::npos;
}

// Characters dropped without parting words: apostrophes, the soft hyphen,
// zero-width characters and the byte order mark.
bool Dropped(char32_t c) {
    static constexpr std::u32string_view kDropped = U"'\u2019\u2018\u00AD\u200B\u200C\u200D\u2060\uFEFF";
    return kDropped.find(c) != std::u32string_view::npos;
}

std::string RefusedCharacter(char32_t c) {
    std::string message;
    if (c >= '0' && c <= '9') {
        message = "\"";
        message += static_cast<char>(c);
        return message + "\" is a digit: write the number as a word.";
    }
    // A control character is named by its number; it would not show in quotes.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2061 && c <= 0x206F)) {
        std::array<char, 16> number{};
        std::snprintf(number.data(), number.size(), "U+%04X", static_cast<unsigned>(c));
        message = number.data();
    } else {
        message = "\"";
        AppendUtf8(message, c);
        message += '"';
    }
    return message + " is not a letter of Czech spelling: write the word in Czech letters.";
}

// Step 2: letters to phones.

void SpellWord(std::u32string_view word, std::vector<Phone> &phones) {
    const std::size_t start = phones.size();
    // The last phone of this word so far, if it is one of those given.
    auto lastIs = [&](std::initializer_list<Phone> candidates) {
        if (phones.size() == start) return false;
        for (const Phone candidate : candidates) {
            if (phones.back() == candidate) return true;
        }
        return false;
    };
    // d t n before i í ě.
    auto soften = [&] {
        if (lastIs({Phone::d})) phones.back() = Phone::dj;
        else if (lastIs({Phone::t})) phones.back() = Phone::tj;
        else if (lastIs({Phone::n})) phones.back() = Phone::nj;
    };
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char32_t next = i + 1 < word.size() ? word[i + 1] : 0;
        // Takes the next letter as part of this one when it is the one given.
        auto with = [&](char32_t letter) {
            if (next != letter) return false;
            ++i;
            return true;
        };
        switch (word[i]) {
            case U'a': phones.push_back(with(U'u') ? Phone::au : Phone::a); break;
            case U'e': phones.push_back(with(U'u') ? Phone::eu : Phone::e); break;
            case U'o': phones.push_back(with(U'u') ? Phone::ou : Phone::o); break;
            case U'á': phones.push_back(Phone::aa); break;
            case U'é': phones.push_back(Phone::ee); break;
            case U'ó': phones.push_back(Phone::oo); break;
            case U'u': phones.push_back(Phone::u); break;
            case U'ú':
            case U'ů': phones.push_back(Phone::uu); break;
            case U'i': soften(); phones.push_back(Phone::i); break;
            case U'í': soften(); phones.push_back(Phone::ii); break;
            case U'y':
            case U'ü': phones.push_back(Phone::i); break;
            case U'ý': phones.push_back(Phone::ii); break;
            case U'ä':
            case U'ö': phones.push_back(Phone::e); break;
            case U'ě':
                if (lastIs({Phone::b, Phone::p, Phone::v, Phone::f})) phones.push_back(Phone::j);
                else if (lastIs({Phone::m})) phones.push_back(Phone::nj);
                else soften();
                phones.push_back(Phone::e);
                break;
            case U'b': phones.push_back(Phone::b); break;
            case U'c': phones.push_back(with(U'h') ? Phone::x : Phone::ts); break;
            case U'č': phones.push_back(Phone::tsh); break;
            case U'd': phones.push_back(with(U'ž') ? Phone::dzh : Phone::d); break;
            case U'ď': phones.push_back(Phone::dj); break;
            case U'f': phones.push_back(Phone::f); break;
            case U'g': phones.push_back(Phone::g); break;
            case U'h': phones.push_back(Phone::h); break;
            case U'j': phones.push_back(Phone::j); break;
            case U'k': phones.push_back(Phone::k); break;
            case U'l': phones.push_back(Phone::l); break;
            case U'm': phones.push_back(Phone::m); break;
            case U'n': phones.push_back(Phone::n); break;
            case U'ň': phones.push_back(Phone::nj); break;
            case U'p': phones.push_back(Phone::p); break;
            case U'q':
                with(U'u');
                phones.insert(phones.end(), {Phone::k, Phone::v});
                break;
            case U'r': phones.push_back(Phone::r); break;
            case U'ř': phones.push_back(Phone::rzh); break;
            case U's':
                phones.push_back(Phone::s);
                if (with(U'h')) phones.push_back(Phone::x);
                break;
            case U'š': phones.push_back(Phone::sh); break;
            case U't': phones.push_back(Phone::t); break;
            case U'ť': phones.push_back(Phone::tj); break;
            case U'v':
            case U'w': phones.push_back(Phone::v); break;
            case U'x': phones.insert(phones.end(), {Phone::k, Phone::s}); break;
            case U'z': phones.push_back(Phone::z); break;
            case U'ž': phones.push_back(Phone::zh); break;
            default: break;  // LowerLetter admits no other letter
        }
    }
}

// Step 3: voicing.

struct VoicingPair {
    Phone voiceless;
    Phone voiced;
};
constexpr std::array<VoicingPair, 11> kVoicingPairs = {{
    {Phone::p, Phone::b},
    {Phone::t, Phone::d},
    {Phone::tj, Phone::dj},
    {Phone::k, Phone::g},
    {Phone::f, Phone::v},
    {Phone::s, Phone::z},
    {Phone::sh, Phone::zh},
    {Phone::x, Phone::h},
    {Phone::ts, Phone::dz},
    {Phone::tsh, Phone::dzh},
    {Phone::rsh, Phone::rzh},
}};

const VoicingPair *PairOf(Phone phone) {
    for (const VoicingPair &pair : kVoicingPairs) {
        if (phone == pair.voiceless || phone == pair.voiced) return &pair;
    }
    return nullptr;  // a sonorant or a vowel
}

bool IsVowel(Phone phone) { return phone <= Phone::eu; }

bool IsVoicelessObstruent(Phone phone) {
    const VoicingPair *pair = PairOf(phone);
    return pair != nullptr && phone == pair->voiceless;
}

// What a phone asks of the obstruent before it.
enum class Voicing : std::uint8_t { keep, voiced, voiceless };

Voicing Passes(Phone phone) {
    const VoicingPair *pair = PairOf(phone);
    // Sonorants, vowels, ř and a voiced v pass nothing on.
    if (pair == nullptr || pair->voiced == Phone::rzh || phone == Phone::v) return Voicing::keep;
    return phone == pair->voiced ? Voicing::voiced : Voicing::voiceless;
}

bool IsOneLetterPreposition(const std::vector<Phone> &phones, int begin, int end) {
    if (end - begin != 1) return false;
    const Phone phone = phones[static_cast<std::size_t>(begin)];
    return phone == Phone::v || phone == Phone::z || phone == Phone::k || phone == Phone::s;
}

void AssimilateVoicing(std::vector<Phone> &phones, const std::vector<int> &wordStarts) {
    const int count = static_cast<int>(phones.size());
    // 3a and 3b, right to left.
    Voicing asked = Voicing::voiceless;  // the pause at the end of the text
    std::size_t word = wordStarts.size() - 1;
    for (int index = count - 1; index >= 0; --index) {
        Phone &phone = phones[static_cast<std::size_t>(index)];
        const bool endsWord = word + 1 < wordStarts.size() && wordStarts[word + 1] == index + 1;
        if (endsWord && asked == Voicing::keep) {
            const bool beforeConsonant = !IsVowel(phones[static_cast<std::size_t>(index) + 1]);
            const bool proclitic = beforeConsonant && IsOneLetterPreposition(phones, wordStarts[word], index + 1);
            if (!proclitic) asked = Voicing::voiceless;
        }
        if (const VoicingPair *pair = PairOf(phone); pair != nullptr && asked != Voicing::keep) {
            phone = asked == Voicing::voiced ? pair->voiced : pair->voiceless;
        }
        asked = Passes(phone);
        if (index == wordStarts[word] && word > 0) --word;
    }
    // 3c: ř after a voiceless obstruent.
    for (std::size_t index = 1; index < phones.size(); ++index) {
        if (phones[index] == Phone::rzh && IsVoicelessObstruent(phones[index - 1])) phones[index] = Phone::rsh;
    }
}

// Step 4: n before k or g.
void VelarNasals(std::vector<Phone> &phones, const std::vector<int> &wordStarts) {
    for (std::size_t word = 0; word < wordStarts.size(); ++word) {
        const auto begin = static_cast<std::size_t>(wordStarts[word]);
        const std::size_t end = word + 1 < wordStarts.size() ? static_cast<std::size_t>(wordStarts[word + 1]) : phones.size();
        for (std::size_t index = begin; index + 1 < end; ++index) {
            if (phones[index] == Phone::n && (phones[index + 1] == Phone::k || phones[index + 1] == Phone::g)) {
                phones[index] = Phone::ng;
            }
        }
    }
}

}  // namespace

std::string_view PhoneName(Phone phone) { return kPhoneNames[static_cast<std::size_t>(phone)]; }

std::optional<Phone> PhoneFromName(std::string_view name) {
    for (std::size_t index = 0; index < kPhoneNames.size(); ++index) {
        if (kPhoneNames[index] == name) return static_cast<Phone>(index);
    }
    return std::nullopt;
}

Pronunciation Pronounce(std::string_view utf8Text) {
    Pronunciation result;
    const std::optional<std::u32string> text = DecodeUtf8(utf8Text);
    if (!text) {
        result.error = "The text is not valid UTF-8.";
        return result;
    }
    // Step 1: the words, in lower case.
    std::vector<std::u32string> words(1);
    for (const char32_t c : *text) {
        if (const char32_t letter = LowerLetter(c); letter != 0) {
            words.back() += letter;
        } else if (PartsWords(c)) {
            if (!words.back().empty()) words.emplace_back();
        } else if (!Dropped(c)) {
            result.error = RefusedCharacter(c);
            return result;
        }
    }
    if (words.back().empty()) words.pop_back();
    if (words.empty()) {
        result.error = "The text holds no word.";
        return result;
    }
    // Step 2.
    for (const std::u32string &word : words) {
        result.wordStarts.push_back(static_cast<int>(result.phones.size()));
        SpellWord(word, result.phones);
    }
    // Steps 3 and 4.
    AssimilateVoicing(result.phones, result.wordStarts);
    VelarNasals(result.phones, result.wordStarts);
    return result;
}

}  // namespace tessary
