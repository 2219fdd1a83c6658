// Isolated-word recognition over the client's frames: endpoint detection
// (speech_endpoints.h), the feature vectors of the speech (feature_vectors.h), and the
// score of every word model of the vocabulary (word_model.h).
//
// A word's distance to an utterance is minus the best score of its models:
// minus the log probability per frame of the best path, so that smaller is
// closer; a word none of whose models fits the utterance is infinitely far.
//
// Speakers: the speech is also heard through frequency warps
// (cepstral_warp.h), so that a speaker of a vocal tract shorter or longer
// than those the phone models learnt from is heard as one of theirs. The
// unwarped speech is scored against every word; each warp against the
// unwarped speech's 32 best words only. A warp's score is its best word's
// score per frame, plus the log |det| of its map, less 2 |alpha|. Each way
// is tried in steps of alpha 0.1, up to 0.2, while the step scores better
// than the unwarped speech. When a warp beats the unwarped speech, those 32
// words are ranked as the best warp heard them, and the others after them
// as before. Without phone models the speech is heard as it is.
//
// Rejection: the phone loop (model_bank.h) scores the best sequence of any
// phones. Speech that is a word of the vocabulary scores nearly as well with
// that word; a sentence, a cough or another word scores far better with the
// loop than with any word. The confidence is the best word's log probability
// less the loop's, per second of speech (at most about 0 for spelled words),
// so that a long stretch of speech the word does not explain weighs more than
// a short one; an utterance whose confidence lies more than the vocabulary's
// rejection margin below 0 is not recognised.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "speech_endpoints.h"
#include "vocabulary.h"

namespace tessary {

// Where the speech lies in frames (kFrameFloats floats each), or nothing
// when the frames hold no speech.
struct Segment {
    int first = 0;  // first frame of the speech
    int last = 0;   // last frame of the speech, inclusive
};
std::optional<Segment> FindSpeech(std::span<const float> frames);

// The frames of the speech, copied, or an empty vector.
std::vector<float> CutSpeech(std::span<const float> frames);

// A word and its distance to the utterance (smaller is closer).
struct Scored {
    std::string word;
    float distance = 0;
};

// Matches frames of speech against every word; best first. confidence,
// when given, receives the confidence (see above; +inf without phone models).
std::vector<Scored> Rank(std::span<const float> speechFrames, const VocabularyState &vocabulary,
                         float *confidence = nullptr);

// What became of one utterance: where its speech is, and the ranking (empty
// when there is no speech or no word).
struct Recognition {
    Endpoints endpoints;
    std::vector<Scored> ranking;
    float confidence = 0;   // see above
    bool rejected = false;  // no word explains the speech well enough
    float warp = 0;         // the frequency warp the speech was heard through
    double milliseconds = 0;  // time taken
};
Recognition Recognise(std::span<const float> frames, const VocabularyState &vocabulary);

// One line for the log: the speech found, the three best words and the time.
std::string Describe(const Recognition &recognition);

}  // namespace tessary
