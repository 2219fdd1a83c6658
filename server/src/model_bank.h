// Every model of a vocabulary, packed so that one utterance is scored against
// all of them at once: frame-synchronous Viterbi over chunks of frames.
//
// Two kinds of models speak for words:
//   - models with Gaussians of their own (a word's trained model, or the one
//     made of or adapted to its recordings), whose Gaussians are scored by
//     one matrix product per chunk; a beam drops those whose best path falls
//     far behind the best of all models, so a large vocabulary of them costs
//     little more than its likely words;
//   - words spelled out in phones (phone_models.h), whose states are the
//     phone models' own: every phone state is scored once a frame for all
//     of them, so they cost a few additions a state and are never dropped;
//     a block's spelled words advance frame by frame in one pass over all
//     their states.
//     Every spelled word has a finite score for any utterance long enough.
// Along with the words, the phone loop is scored on the same state scores:
// the best path through any sequence of phones and pauses, each phone
// entered at a cost. No spelled word can do much better on the same frames,
// so a word's score below the loop's tells how well the word explains the
// speech, whoever speaks and however loud (the confidence of recognizer.h).
//
// The words' models are packed in blocks of kBlockWords words each; a bank
// made from another with a few words changed packs only their blocks anew
// and shares the others (and the phone states), so that adding a word costs
// the same in a vocabulary of 10 words or of 10,000.
#pragma once

#include <functional>
#include <limits>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "phone_models.h"
#include "word_model.h"

namespace tessary {

class ModelBank {
public:
    static constexpr int kBlockWords = 256;

    ModelBank() = default;
    // The models, each speaking for a word (an index of the caller's); the
    // spelled words with their phones, scored against phones (which may be
    // null when there are none).
    ModelBank(const std::vector<std::pair<int, const WordModel *>> &models,
              std::shared_ptr<const PhoneModels> phones = nullptr,
              const std::vector<std::pair<int, std::vector<Phone>>> &spelled = {});

    // What speaks for one word: models of their own Gaussians (empty ones
    // are skipped), and its spelling (empty: none).
    struct WordModels {
        std::vector<const WordModel *> models;
        std::vector<Phone> spelling;
    };
    using Describe = std::function<WordModels(int word)>;
    // The bank of words 0 .. words - 1 as describe tells them; spellings
    // are scored against phones (may be null).
    ModelBank(int words, const Describe &describe, std::shared_ptr<const PhoneModels> phones);
    // The bank of previous with the words changed (and those from previous's
    // count up to words) as describe tells them now; describe is asked only
    // about the words of the blocks they fall in.
    ModelBank(const ModelBank &previous, int words, const std::vector<int> &changed, const Describe &describe);

    std::size_t Models() const;

    struct Scores {
        // The best score of each word 0 .. words - 1 over its models: the log
        // probability per frame of the best path; -inf for a word without
        // models, when no path fits, or when all its models were dropped by
        // the beam (a log probability below the best of all at some point).
        std::vector<float> words;
        // The phone loop's score per frame; -inf without phone models.
        float phoneLoop = kLowest;
    };
    // With only given (a flag for each of the words), the words not flagged
    // are left at -inf and cost nothing; words = 0 scores the loop alone.
    Scores ScoreWords(const FeatureMatrix &x, int words, float beam = kDefaultBeam,
                      std::span<const std::uint8_t> only = {}) const;
    static constexpr float kDefaultBeam = 250.0f;
    // The cost of entering a phone in the phone loop, a log probability.
    static constexpr float kLoopInsertionPenalty = 3.0f;
    static constexpr float kLowest = -std::numeric_limits<float>::infinity();

private:
    struct Entry {
        int word = 0;
        int states = 0;
        int mixtures = 0;        // own Gaussians per state; 0 for a spelled word
        Eigen::Index column = 0; // own: first Gaussian in its block's packed
        std::vector<int> shared; // spelled: each state's number among the phone states
        std::vector<float> stay, leave;
    };
    // The models of the words of one block: its own models first, then its
    // spelled words. The spelled words' states are also laid out one after
    // another, so that a frame advances them all in one pass.
    struct Block {
        std::vector<Entry> models;
        PackedGaussians packed;  // every own model's Gaussians, model after model
        std::size_t own = 0;     // models of their own Gaussians
        std::vector<int> spelledState;      // each spelled state's number among the phone states
        std::vector<float> spelledStay;     // its stay
        std::vector<float> spelledCameFrom; // the leave of the state before it; -inf at a word's first
    };
    // The phone states: every unit's states in turn.
    struct PhoneStates {
        std::shared_ptr<const PhoneModels> models;
        PackedGaussians packed;
        int states = 0;
        int mixtures = 0;
        std::vector<int> unitFirst;  // first state of each unit
        std::vector<int> loopUnits;  // the units of the phone loop
        std::vector<float> stay, leave;
    };
    static std::shared_ptr<const PhoneStates> MakePhoneStates(std::shared_ptr<const PhoneModels> phones);
    std::shared_ptr<const Block> MakeBlock(int first, int end, const Describe &describe) const;

    std::vector<std::shared_ptr<const Block>> blocks_;  // block b: words b * kBlockWords onwards
    std::shared_ptr<const PhoneStates> phones_;         // null without phone models
    int words_ = 0;                                     // words 0 .. words_ - 1 have their blocks
};

}  // namespace tessary
