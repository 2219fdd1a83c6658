// Acoustic models of Czech phones, and the word models composed from them.
//
// Every phone of pronunciation.h is a left-to-right hidden Markov model of
// three states (its onset, middle and release) whose states emit diagonal
// Gaussian mixtures over the feature vectors of feature_vectors.h, as word
// models do (word_model.h); the pause between and around words is a model of
// one state. A few rare phones share the model of a close one (ModelledAs).
//
// A word's model is composed from its pronunciation: the pause, the states
// of its phones in turn, and the pause again. It is a WordModel like any
// other, so it is scored, adapted to a user's recordings and kept in a bank
// as a trained one is.
//
// Training (TrainPhoneModels) is Viterbi training from a flat start. An
// example is a recording with the units it holds: its phones, and optional
// pauses (at either end and between words) that the alignment may skip.
// The examples are first cut into equal parts over the states of their
// phones; then every round aligns each example to the chain of its units'
// states (an optional pause is entered or passed over), and estimates every
// state's Gaussians from the frames it was given in all examples (each frame
// going to its most likely Gaussian, and counting as much as its example's
// weight), and its transitions; the Gaussians split in two (means moved by
// ±0.2 σ) until there are maxMixtures of them.
// It is deterministic for any number of threads.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pronunciation.h"
#include "word_model.h"

namespace tessary {

inline constexpr int kStatesPerPhone = 3;
inline constexpr int kPauseUnit = kPhoneCount;  // the unit after the phones
inline constexpr int kUnitCount = kPhoneCount + 1;

// The phone whose model speaks for a phone: itself, or a close phone for
// those too rare in the training speech to be trained alone.
Phone ModelledAs(Phone phone);

struct PhoneModels {
    std::vector<WordModel> units;  // kUnitCount: the phones in their order, then the pause

    bool Empty() const { return units.empty(); }
    const WordModel &Of(Phone phone) const { return units[static_cast<std::size_t>(ModelledAs(phone))]; }
    const WordModel &Pause() const { return units[kPauseUnit]; }
};

struct PhoneTrainingExample {
    FeatureMatrix x;
    std::vector<int> units;  // phone numbers (Phone as int) and kPauseUnit, an optional pause
    float weight = 1.0f;     // how many examples its frames count as in the statistics
};

struct PhoneTrainingOptions {
    int maxMixtures = 16;
    int rounds = 5;               // alignments per mixture size
    float varianceFloor = 0.05f;  // of the examples' variance, per feature
    int threads = 2;
    std::function<void(const std::string &)> progress;
};

// Trains the models from the examples. Throws std::invalid_argument when no
// example is long enough for its phones.
PhoneModels TrainPhoneModels(const std::vector<PhoneTrainingExample> &examples, const PhoneTrainingOptions &options);

// The units of a pronunciation for training: an optional pause, the phones
// of each word with an optional pause after it.
std::vector<int> TrainingUnits(const Pronunciation &pronunciation);

// The model of a pronunciation: pause, the phones' states, pause. Empty for
// no phones or no models.
WordModel ComposeWordModel(const PhoneModels &models, const std::vector<Phone> &phones);

// Text of the models, a line a unit, "name TAB model" (SerializeModel), and
// back; ParsePhoneModels throws std::runtime_error naming the line that is
// wrong or the unit that is missing.
std::string SerializePhoneModels(const PhoneModels &models);
PhoneModels ParsePhoneModels(std::string_view text);

}  // namespace tessary
