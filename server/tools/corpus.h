// Real transcribed Czech speech: the spoken dialogues of the game data in
// Debian's fillets-ng-data-cs (recordings) and fillets-ng-data (texts).
//
// The recordings are sound/LEVEL/cs/ID.ogg under the game's data folder; a
// recording's text is the dialogStr("...") that follows dialogId("ID", ...)
// in one of the level scripts script/LEVEL/*dialogs_cs.lua. The middle part
// of an id names the character speaking: "m" the small fish, "v" the big
// fish, others the rest of the cast ("let-m-divna" is the small fish).
//
// The level "gods" is held out for measures made elsewhere: it is never read,
// neither its recordings nor its texts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "vocabulary.h"

namespace tessary {

inline constexpr const char *kCorpusHeldOutLevel = "gods";

struct Sentence {
    std::string level;
    std::string id;
    std::string speaker;  // the character: "m" (the small fish), "v" (the big fish), ...
    std::string text;     // UTF-8, as written
    std::filesystem::path audio;
};

// The game's data folder where Debian installs it, or empty when it is not
// there (or holds no Czech recordings).
std::filesystem::path FindCorpus();

// Every recording with a text, levels in name order, ids in name order.
// Recordings without a text, and texts without a recording, are left out.
// Throws std::runtime_error when a script cannot be read.
std::vector<Sentence> ReadCorpus(const std::filesystem::path &root);

// The words of a text, lower case, joined by single blanks: the text as a
// vocabulary entry; empty when it cannot be pronounced (pronunciation.h).
std::string VocabularyText(const std::string &text);
std::size_t WordCount(const std::string &vocabularyText);

// A vocabulary of texts (UTF-8 vocabulary texts), each known by its
// spelling with the phone models. Its names may be longer than a word on the
// wire: it is for measuring, never sent.
VocabularyState VocabularyOfTexts(const std::vector<std::string> &texts, std::shared_ptr<const PhoneModels> phones);

// Whether the sentence is one of the main speakers' short utterances (one or
// two words), which are measured as isolated words.
bool IsShortUtterance(const Sentence &sentence);

// The recording as 8000 Hz 16-bit mono, read from the cache folder when it
// was converted before. Throws std::runtime_error naming the file.
std::vector<std::int16_t> ReadSentenceAudio(const Sentence &sentence, const std::filesystem::path &cache);

// Rooms and microphones (sox effects) that the held-out speakers are also
// measured through, as a user's microphone would hear them: the telephone
// band, a microphone of uneven response (a dip near 800 Hz, a peak near
// 3 kHz), a reverberant room.
inline constexpr const char *kMeasureRooms[] = {"sinc 300-3400", "equalizer 800 1q -10 equalizer 3000 1q 8",
                                                "reverb 80 50 100"};

// The sentence's samples (ReadSentenceAudio) as heard through a room of sox
// effects, from the cache folder when made before.
std::vector<std::int16_t> SentenceInRoom(const Sentence &sentence, const std::vector<std::int16_t> &samples,
                                         const std::string &room, const std::filesystem::path &cache);

}  // namespace tessary
