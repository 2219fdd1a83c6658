// Pronunciation from spelling: a table of words and phrases with their phones
// as standard (Bohemian) Czech has them, and the texts that are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "pronunciation.h"

namespace tessary::test {
namespace {

struct Spoken {
    const char *text;    // UTF-8
    const char *phones;  // phone names parted by blanks, words by " | "
};

void PrintTo(const Spoken &spoken, std::ostream *out) { *out << '"' << spoken.text << '"'; }

// The phones as the table writes them.
std::string Written(const Pronunciation &pronunciation) {
    std::string written;
    std::size_t word = 0;
    for (std::size_t index = 0; index < pronunciation.phones.size(); ++index) {
        if (index > 0) written += ' ';
        if (word < pronunciation.wordStarts.size() &&
            pronunciation.wordStarts[word] == static_cast<int>(index)) {
            if (word > 0) written += "| ";
            ++word;
        }
        written += PhoneName(pronunciation.phones[index]);
    }
    // Every start must have been met, in order.
    if (word != pronunciation.wordStarts.size()) written += " (word starts out of order)";
    return written;
}

class PronounceTest : public ::testing::TestWithParam<Spoken> {};

TEST_P(PronounceTest, GivesThePhonesOfStandardCzech) {
    const Pronunciation pronunciation = Pronounce(GetParam().text);
    ASSERT_TRUE(pronunciation.Ok()) << pronunciation.error;
    ASSERT_FALSE(pronunciation.wordStarts.empty());
    EXPECT_EQ(pronunciation.wordStarts.front(), 0);
    EXPECT_EQ(Written(pronunciation), GetParam().phones);
}

INSTANTIATE_TEST_SUITE_P(Table, PronounceTest, ::testing::Values(
    // The seed words.
    Spoken{"nula", "n u l a"},
    Spoken{"jedna", "j e d n a"},  // d before a sonorant keeps its voice
    Spoken{"dva", "d v a"},        // v does not devoice d
    Spoken{"tři", "t rsh i"},
    Spoken{"čtyři", "tsh t i rzh i"},
    Spoken{"pět", "p j e t"},
    Spoken{"šest", "sh e s t"},
    Spoken{"sedm", "s e d m"},
    Spoken{"osm", "o s m"},
    Spoken{"devět", "d e v j e t"},
    Spoken{"chaloupka", "x a l ou p k a"},
    Spoken{"ano", "a n o"},
    Spoken{"ne", "n e"},
    // Vowels: i and y alike, long vowels, ů.
    Spoken{"byt", "b i t"},
    Spoken{"výr", "v ii r"},
    Spoken{"bílý", "b ii l ii"},
    Spoken{"kráva", "k r aa v a"},
    Spoken{"mléko", "m l ee k o"},
    Spoken{"móda", "m oo d a"},
    Spoken{"úkol", "uu k o l"},
    Spoken{"dům", "d uu m"},
    Spoken{"růže", "r uu zh e"},
    // Diphthongs within a word, never across words.
    Spoken{"auto", "au t o"},
    Spoken{"euro", "eu r o"},
    Spoken{"pouze", "p ou z e"},
    Spoken{"do uší", "d o | u sh ii"},
    Spoken{"Rakousko-Uhersko", "r a k ou s k o | u h e r s k o"},
    // d t n before i í ě, and the hard dy ty ny.
    Spoken{"dítě", "dj ii tj e"},
    Spoken{"děti", "dj e tj i"},
    Spoken{"nic", "nj i ts"},
    Spoken{"tisíc", "tj i s ii ts"},
    Spoken{"nyní", "n i nj ii"},
    Spoken{"ty", "t i"},
    Spoken{"dýně", "d ii nj e"},
    Spoken{"denní", "d e n nj ii"},
    Spoken{"Vojtěch", "v o j tj e x"},
    // ě after b p v f m; mně sounds as mě.
    Spoken{"běh", "b j e x"},
    Spoken{"pěna", "p j e n a"},
    Spoken{"věda", "v j e d a"},
    Spoken{"harfě", "h a r f j e"},
    Spoken{"město", "m nj e s t o"},
    Spoken{"mně", "m nj e"},
    // ď ť ň, ch, dž and dz.
    Spoken{"ďábel", "dj aa b e l"},
    Spoken{"chuť", "x u tj"},
    Spoken{"kůň", "k uu nj"},
    Spoken{"džus", "dzh u s"},
    Spoken{"podzim", "p o d z i m"},
    // x q w and the foreign letters.
    Spoken{"xylofon", "k s i l o f o n"},
    Spoken{"taxi", "t a k s i"},
    Spoken{"Quido", "k v i d o"},
    Spoken{"wolfram", "v o l f r a m"},
    Spoken{"Wagner", "v a g n e r"},
    Spoken{"Händel", "h e n d e l"},
    Spoken{"Köln", "k e l n"},
    Spoken{"Düsseldorf", "d i s s e l d o r f"},  // ü is a hard i: d stays
    // n before k and g.
    Spoken{"banka", "b a ng k a"},
    Spoken{"tango", "t a ng g o"},
    Spoken{"sfinx", "s f i ng k s"},
    // Devoicing at the end of the text.
    Spoken{"led", "l e t"},
    Spoken{"chléb", "x l ee p"},
    Spoken{"dub", "d u p"},
    Spoken{"vůz", "v uu s"},
    Spoken{"nůž", "n uu sh"},
    Spoken{"krev", "k r e f"},
    Spoken{"sníh", "s nj ii x"},
    Spoken{"loďka", "l o tj k a"},
    Spoken{"odpověď", "o t p o v j e tj"},
    Spoken{"zpěv", "s p j e f"},
    // Regressive assimilation within a word.
    Spoken{"kde", "g d e"},
    Spoken{"kdyby", "g d i b i"},
    Spoken{"prosba", "p r o z b a"},
    Spoken{"svatba", "s v a d b a"},
    Spoken{"leckdo", "l e dz g d o"},
    Spoken{"léčba", "l ee dzh b a"},
    Spoken{"hezky", "h e s k i"},
    Spoken{"těžko", "tj e sh k o"},
    Spoken{"lehký", "l e x k ii"},
    Spoken{"nejhezčí", "n e j h e s tsh ii"},
    Spoken{"vzduch", "v z d u x"},
    // v changes but passes nothing on; a v made f does.
    Spoken{"vše", "f sh e"},
    Spoken{"vtip", "f tj i p"},  // ti is soft in a native word
    Spoken{"tvůj", "t v uu j"},
    Spoken{"svět", "s v j e t"},
    Spoken{"vzpomínka", "f s p o m ii ng k a"},
    Spoken{"odvšivit", "o t f sh i v i t"},
    // sh as the Bohemian [sx]; sch.
    Spoken{"shoda", "s x o d a"},
    Spoken{"schody", "s x o d i"},
    // ř voiceless after a voiceless obstruent, before one and at the end.
    Spoken{"řeka", "rzh e k a"},
    Spoken{"dřevo", "d rzh e v o"},
    Spoken{"přes", "p rsh e s"},
    Spoken{"křeslo", "k rsh e s l o"},
    Spoken{"hořký", "h o rsh k ii"},
    Spoken{"keř", "k e rsh"},
    Spoken{"hřib", "h rzh i p"},
    // Connected speech across word boundaries.
    Spoken{"tak dobře", "t a g | d o b rzh e"},
    Spoken{"abych byl", "a b i h | b i l"},
    Spoken{"bez cukru", "b e s | ts u k r u"},
    Spoken{"sníh padá", "s nj ii x | p a d aa"},
    Spoken{"jak se máš", "j a k | s e | m aa sh"},
    Spoken{"kdo ví", "g d o | v ii"},
    Spoken{"k řece", "k | rsh e ts e"},
    // A word's end before a vowel or a sonorant is devoiced, as before a
    // pause; a one-letter preposition before a consonant keeps its voice.
    Spoken{"hrad je", "h r a t | j e"},
    Spoken{"hrad visí", "h r a t | v i s ii"},
    Spoken{"v okně", "f | o k nj e"},
    Spoken{"v lese", "v | l e s e"},
    Spoken{"z vody", "z | v o d i"},
    Spoken{"s bratrem", "z | b r a t r e m"},
    Spoken{"k domu", "g | d o m u"},
    Spoken{"v trávě", "f | t r aa v j e"},
    // Case, blanks, punctuation and invisible characters.
    Spoken{"CHALOUPKA", "x a l ou p k a"},
    Spoken{"ŽLUŤOUČKÝ KŮŇ", "zh l u tj ou tsh k ii | k uu nj"},
    Spoken{"Praha", "p r a h a"},
    Spoken{"ano\u00A0ne", "a n o | n e"},
    Spoken{" \tano,ne\n", "a n o | n e"},
    Spoken{"\u201EAno!\u201C \u0159ekl.", "a n o | rzh e k l"},
    Spoken{"'ano'", "a n o"},
    Spoken{"chalou\u00ADpka", "x a l ou p k a"},
    Spoken{"\uFEFFne", "n e"}));

struct Refused {
    const char *text;
    const char *error;
};

void PrintTo(const Refused &refused, std::ostream *out) { *out << '"' << refused.text << '"'; }

class RefuseTest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefuseTest, NamesTheOffendingCharacter) {
    const Pronunciation pronunciation = Pronounce(GetParam().text);
    EXPECT_FALSE(pronunciation.Ok());
    EXPECT_EQ(pronunciation.error, GetParam().error);
    EXPECT_TRUE(pronunciation.phones.empty());
    EXPECT_TRUE(pronunciation.wordStarts.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, RefuseTest, ::testing::Values(
    Refused{"", "The text holds no word."},
    Refused{" - , \u2026", "The text holds no word."},
    Refused{"3", "\"3\" is a digit: write the number as a word."},
    Refused{"sedm 7", "\"7\" is a digit: write the number as a word."},
    Refused{"ano@ne", "\"@\" is not a letter of Czech spelling: write the word in Czech letters."},
    Refused{"\u0142\u00F3d\u017A", "\"\u0142\" is not a letter of Czech spelling: write the word in Czech letters."},
    Refused{"stra\u00DFe", "\"\u00DF\" is not a letter of Czech spelling: write the word in Czech letters."},
    Refused{"\u0434\u0430", "\"\u0434\" is not a letter of Czech spelling: write the word in Czech letters."},
    Refused{"ano \U0001F600", "\"\U0001F600\" is not a letter of Czech spelling: write the word in Czech letters."},
    Refused{"a\x07", "U+0007 is not a letter of Czech spelling: write the word in Czech letters."},
    Refused{"ano\xFF", "The text is not valid UTF-8."},
    Refused{"ano\xC3", "The text is not valid UTF-8."},          // cut short
    Refused{"\xC0\xAF", "The text is not valid UTF-8."},         // overlong
    Refused{"\xED\xA0\x80", "The text is not valid UTF-8."}));  // a surrogate

TEST(PhoneName, NamesEveryPhoneOnceAndReadsItBack) {
    std::vector<std::string> seen;
    for (int index = 0; index < kPhoneCount; ++index) {
        const auto phone = static_cast<Phone>(index);
        const std::string_view name = PhoneName(phone);
        ASSERT_FALSE(name.empty()) << index;
        EXPECT_EQ(PhoneFromName(name), phone) << name;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 0) << name;
        seen.emplace_back(name);
    }
    EXPECT_EQ(PhoneName(Phone::tsh), "tsh");
    EXPECT_EQ(PhoneName(Phone::rzh), "rzh");
    EXPECT_FALSE(PhoneFromName("ch").has_value());
    EXPECT_FALSE(PhoneFromName("").has_value());
}

}  // namespace
}  // namespace tessary::test
