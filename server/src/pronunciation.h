// Czech pronunciation from spelling: the phones of a text, by rule.
//
// Czech is written close to its sounds, so a handful of rules gives the
// standard (Bohemian) pronunciation of any native word. They apply in four
// steps; each step sees the result of the one before.
//
// 1. Characters. Case does not matter. Blanks (also tabs, line ends, the
//    no-break and the narrow no-break space), hyphens and punctuation
//    (. , ! ? : ; " ( ) [ ] … – — „ “ ” « » ‹ › ‚) part words; apostrophes
//    (' ’ ‘), the soft hyphen and zero-width characters are dropped. A digit
//    is refused ("write the number as a word"), so is any character that is
//    not one of the letters below, and a text without a word.
//
// 2. Letters to phones, word by word, left to right:
//      a á e é i í y ý o ó u ú ů  ->  a aa e ee i ii i ii o oo u uu uu
//      ou au eu (a diphthong within a word, never across words)  ->  ou au eu
//      ä ö  ->  e;  ü  ->  i (a hard i: it leaves d t n before it alone)
//      c č ch ď ť ň š ž  ->  ts tsh x dj tj nj sh zh
//      dž  ->  dzh;  dz stays d z (mostly a prefix boundary: pod-zim)
//      x  ->  k s;  w  ->  v;  q and qu  ->  k v
//      ř  ->  rzh (voiced; see step 3)
//      di dí ti tí ni ní  ->  dj tj nj + i ii (dy ty ny stay hard)
//      dě tě ně  ->  dj tj nj + e;  bě pě vě fě  ->  b p v f + j e;
//      mě  ->  m nj e;  ě anywhere else  ->  e
//      sh within a word  ->  s x (shoda: the Bohemian [sx], not Moravian [zɦ])
//    Every other letter is its own phone. Doubled letters stay two phones.
//
// 3. Voicing, over the whole text as connected speech. The obstruents pair
//    up, voiceless with voiced: p b, t d, tj dj, k g, f v, s z, sh zh, x h,
//    ts dz, tsh dzh (and rsh rzh for ř). Sonorants (m n nj ng r l j) and
//    vowels never change and never change a neighbour.
//    a. Regressive assimilation: an obstruent takes the voicing of the
//       obstruent right after it, also across a word boundary (kde -> g d e,
//       tak dobře -> t a g d o b rzh e). A voiced v changes but does not pass
//       its voicing on (tvůj keeps t, svět keeps s); a v made voiceless (f)
//       does (odvšivit -> o t f sh i v i t).
//    b. Devoicing before a pause: at the end of the text, an obstruent
//       becomes voiceless (led -> l e t; h -> x, v -> f). At the end of a word
//       that is not followed by an obstruent that passes its voicing on, the
//       same holds, as Bohemian speech has it (hrad je -> h r a t j e, v okně
//       -> f o k nj e); only a one-letter preposition (v z k s) before a
//       consonant belongs to the word after it and keeps its voicing (v lese).
//    c. ř is voiceless (rsh) before a voiceless obstruent, at the end of the
//       text or of a word as in (b), and right after a voiceless obstruent
//       (tři, přes); otherwise voiced (rzh). It never changes its neighbours.
//
// 4. n right before k or g within a word  ->  ng (banka, tango).
//
// Native words come out right; loanwords get the native reading (rádio with
// dj), and a prefix before a vowel is not found (neuměl gets the diphthong eu).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

enum class Phone : std::uint8_t {
    // vowels
    a, aa, e, ee, i, ii, o, oo, u, uu, ou, au, eu,
    // consonants
    p, b, t, d, tj, dj, k, g, f, v, s, z, sh, zh, x /* ch */, h /* voiced h */,
    ts /* c */, dz, tsh /* č */, dzh, m, n, nj, ng /* n before k, g */, r, rzh /* voiced ř */, rsh /* voiceless ř */,
    l, j,
};
inline constexpr int kPhoneCount = 42;

// The phone's name as written in the enumeration: "a", "aa", ..., "tsh", ...
std::string_view PhoneName(Phone phone);
// The phone of that name; nothing for any other text.
std::optional<Phone> PhoneFromName(std::string_view name);

struct Pronunciation {
    std::vector<Phone> phones;    // empty when error is set
    std::vector<int> wordStarts;  // index into phones where each spoken word begins
    std::string error;            // in plain words, naming the offending character
    bool Ok() const { return error.empty(); }
};

// The phones of a UTF-8 text of one or more Czech words, by the rules above.
Pronunciation Pronounce(std::string_view utf8Text);

}  // namespace tessary
