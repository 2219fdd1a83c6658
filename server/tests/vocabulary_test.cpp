// The vocabulary file and the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "recognizer.h"
#include "test_support.h"
#include "vocabulary.h"

namespace tessary::test {
namespace {

std::string ReadFile(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(VocabularyFile, WordsWithBytesTheCodePageDoesNotDefineAreRefused) {
    EXPECT_EQ(CheckWord("a\x90"), "the word holds a byte that Windows-1250 does not define");
}

TEST(VocabularyFile, RoundTripsEveryFloatExactly) {
    VocabularyState state;
    auto word = std::make_shared<Word>();
    word->name = "\xE8ty\xF8i";
    word->recordings.push_back(SyntheticWord(1, 10));
    word->recordings.back()[8] = -std::numeric_limits<float>::infinity();
    word->recordings.back()[3] = 1.17549435e-38f;
    word->recordings.push_back(SyntheticWord(2, 3));
    state.words.push_back(word);
    const std::string text = SerializeVocabulary(state);
    EXPECT_EQ(text.rfind("tessary-vocabulary 3\nčtyři\tword\nčtyři\trecording\t10\t", 0), 0u);
    const VocabularyState back = ParseVocabulary(text);
    ASSERT_EQ(back.words.size(), 1u);
    EXPECT_EQ(back.words[0]->name, word->name);
    EXPECT_EQ(back.words[0]->recordings, word->recordings);
    EXPECT_FALSE(back.words[0]->adapted.Empty());
    EXPECT_TRUE(back.words[0]->trained.Empty());
}

TEST(VocabularyFile, ATrainedModelRoundTripsAndScoresAlike) {
    VocabularyState state;
    auto word = std::make_shared<Word>();
    word->name = "ano";
    word->trained = TrainedSyntheticModel(0);
    state.words.push_back(word);
    const VocabularyState back = ParseVocabulary(SerializeVocabulary(state));
    ASSERT_EQ(back.words.size(), 1u);
    const WordModel &m = back.words[0]->trained;
    EXPECT_EQ(m.states, word->trained.states);
    EXPECT_EQ(m.means, word->trained.means);
    EXPECT_EQ(m.variances, word->trained.variances);
    const FeatureMatrix x = MakeFeatures(SyntheticWord(0, 33));
    EXPECT_EQ(ScoreUtterance(m, x), ScoreUtterance(word->trained, x));
    EXPECT_TRUE(back.words[0]->adapted.Empty());
}

TEST(VocabularyFile, BadFilesAreRefusedWithTheLineThatIsWrong) {
    const std::string head = "tessary-vocabulary 1\n";
    auto error = [](const std::string &text) {
        try {
            ParseVocabulary(text);
        } catch (const std::runtime_error &e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error(""), "line 1: empty file");
    EXPECT_EQ(error("tessary-vocabulary 4\n"), "line 1: not a vocabulary file of a version this server reads "
                                               "(\"tessary-vocabulary 3\", 2 or 1)");
    // Anything else is a word list, whose words must be words.
    EXPECT_EQ(error("ano\n# a comment\n\nslovo-delsi-nez-dvacet-znaku\n"),
              "line 4: the word is longer than 20 characters");
    EXPECT_EQ(error("ano\n\xC4\n"), "line 2: the word is not Windows-1250 text in UTF-8");
    const std::string head2 = "tessary-vocabulary 2\n";
    EXPECT_EQ(error(head2 + "ano\t1\t1 2 3 4 5 6 7 8 9\n"),
              "line 2: expected \"word\", \"model\" or \"recording\" after the word");
    EXPECT_EQ(error(head2 + "ano\trecording\t1\t1 2 3\n"), "line 2: expected 9 floats, found 3");
    EXPECT_EQ(error(head2 + "ano\tmodel\t2 1 0 0\n"), "line 2: the model has 4 numbers, not 116");
    EXPECT_EQ(error(head2 + "ano\tmodel\t0 1\n"), "line 2: the model's size is not 1 to 64 states of 1 to 64 Gaussians");
    EXPECT_EQ(error(head + "ano\t1\t1 2 3\n"), "line 2: expected 9 floats, found 3");
    EXPECT_EQ(error(head + "ano\t1\t1 2 3 4 5 6 7 8 x\n"), "line 2: bad number after 8 floats");
    EXPECT_EQ(error(head + "ano 1 1 2 3\n"), "line 2: expected word, frame count and floats separated by tabs");
    EXPECT_EQ(error(head + "\t1\t1 2 3 4 5 6 7 8 9\n"), "line 2: the word is empty");
    EXPECT_EQ(error(head + "ano\t0\t\n"), "line 2: bad frame count");
}

TEST(Vocabulary, StartsFromTheSeedAndKeepsACorruptFileUntouched) {
    TempDir dir;
    VocabularyState seedState;
    auto word = std::make_shared<Word>();
    word->name = "ano";
    word->recordings.push_back(SyntheticWord(0, 20));
    seedState.words.push_back(word);
    const auto seed = dir.Path() / "seed.tsv";
    std::ofstream(seed) << SerializeVocabulary(seedState);

    const auto data = dir.Path() / "data";
    {
        auto vocabulary = Vocabulary::Open(data, seed);
        EXPECT_EQ(vocabulary->Size(), 1u);
        EXPECT_EQ(ReadFile(data / "vocabulary.tsv"), ReadFile(seed));
        EXPECT_TRUE(vocabulary->AddRecording("ne", SyntheticWord(1, 20)).added);
    }
    // The data folder's file wins over the seed from now on.
    EXPECT_EQ(Vocabulary::Open(data, seed)->Size(), 2u);

    const std::string broken = "tessary-vocabulary 1\nano\t1\t1 2\n";
    std::ofstream(data / "vocabulary.tsv") << broken;
    try {
        Vocabulary::Open(data, seed);
        ADD_FAILURE() << "a corrupt vocabulary was accepted";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("vocabulary.tsv, line 2: expected 9 floats, found 2"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(ReadFile(data / "vocabulary.tsv"), broken);
}

TEST(Vocabulary, AFailedSaveChangesNothing) {
    TempDir dir;
    const auto data = dir.Path() / "data";
    auto vocabulary = Vocabulary::Open(data, {});
    ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 20)).added);
    // The folder disappears under the server: the save fails.
    std::filesystem::remove_all(data);
    const auto r = vocabulary->AddRecording("ne", SyntheticWord(1, 20));
    EXPECT_FALSE(r.added);
    // The client's reason names no folder; the log's does.
    EXPECT_EQ(r.error, "the vocabulary could not be saved: its folder is gone");
    EXPECT_EQ(r.detail.rfind("cannot save the vocabulary in " + data.string() + ": ", 0), 0u) << r.detail;
    EXPECT_EQ(vocabulary->Size(), 1u);
    EXPECT_EQ(vocabulary->Snapshot()->Find("ne"), nullptr);
}

// A seed of one word, "ano", with a trained model; returns its path.
std::filesystem::path WriteTrainedAnoSeed(const std::filesystem::path &dir) {
    VocabularyState seedState;
    auto trained = std::make_shared<Word>();
    trained->name = "ano";
    trained->trained = TrainedSyntheticModel(0);
    seedState.words.push_back(trained);
    const auto seed = dir / "seed.tsv";
    std::ofstream(seed) << SerializeVocabulary(seedState);
    return seed;
}

TEST(Vocabulary, AnOldFileLoadsLearnsTheSeedModelsAndIsUpgradedOnSave) {
    TempDir dir;
    const auto seed = WriteTrainedAnoSeed(dir.Path());
    // A file of the first version: a recording of "ano" and one of "ne".
    std::string old = "tessary-vocabulary 1\n";
    for (int id = 0; id < 2; ++id) {
        old += id == 0 ? "ano\t20\t" : "ne\t20\t";
        const auto frames = SyntheticWord(id, 20);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (i > 0) old += ' ';
            old += std::to_string(frames[i]);
        }
        old += "\n";
    }
    const auto data = dir.Path() / "data";
    std::filesystem::create_directories(data);
    std::ofstream(data / "vocabulary.tsv") << old;
    auto vocabulary = Vocabulary::Open(data, seed);
    const auto state = vocabulary->Snapshot();
    ASSERT_EQ(state->words.size(), 2u);
    EXPECT_FALSE(state->Find("ano")->trained.Empty());
    EXPECT_EQ(state->Find("ano")->recordings.size(), 1u);
    EXPECT_TRUE(state->Find("ne")->trained.Empty());
    EXPECT_EQ(ReadFile(data / "vocabulary.tsv"), old);  // untouched until a change
    ASSERT_TRUE(vocabulary->AddRecording("ne", SyntheticWord(1, 22)).added);
    const std::string saved = ReadFile(data / "vocabulary.tsv");
    EXPECT_EQ(saved.rfind("tessary-vocabulary 3\nano\tword\nano\tmodel\t", 0), 0u);
    const VocabularyState back = ParseVocabulary(saved);
    EXPECT_EQ(back.Find("ne")->recordings.size(), 2u);
    EXPECT_EQ(back.Find("ano")->recordings.size(), 1u);
}

TEST(Vocabulary, EnrollmentAddsToATrainedWordAndNeverReplacesIt) {
    TempDir dir;
    const auto seed = WriteTrainedAnoSeed(dir.Path());
    auto vocabulary = Vocabulary::Open(dir.Path() / "data", seed);
    // A user's rendition unlike the trained one.
    const auto r = vocabulary->AddRecording("ano", SyntheticWord(5, 30));
    ASSERT_TRUE(r.added);
    EXPECT_FALSE(r.newWord);
    const auto state = vocabulary->Snapshot();
    const Word *word = state->Find("ano");
    ASSERT_NE(word, nullptr);
    EXPECT_EQ(word->trained.means, TrainedSyntheticModel(0).means);  // the seed's model, as trained
    EXPECT_FALSE(word->adapted.Empty());
    // Both the trained rendition and the user's are recognised as the word.
    const FeatureMatrix user = MakeFeatures(SyntheticWord(5, 30));
    const FeatureMatrix usual = MakeFeatures(SyntheticWord(0, 36));
    EXPECT_GT(ScoreUtterance(word->adapted, user), ScoreUtterance(word->trained, user));
    EXPECT_EQ(Rank(SyntheticWord(0, 36), *state).front().word, "ano");
    EXPECT_TRUE(std::isfinite(state->bank->ScoreWords(usual, 1).words[0]));
}

TEST(Vocabulary, NamesAreOneWordWhateverBlanksSurroundThem) {
    TempDir dir;
    auto vocabulary = Vocabulary::Open(dir.Path(), {});
    ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 20)).added);
    // A no-break space (0xA0 in Windows-1250) after the word is no second word.
    EXPECT_EQ(vocabulary->Snapshot()->Find("ano\xA0"), vocabulary->Snapshot()->Find("ano"));
    const auto r = vocabulary->AddRecording("ano\xA0", SyntheticWord(0, 20));
    EXPECT_FALSE(r.added);
    EXPECT_EQ(r.error, "the word begins or ends with a blank");
    EXPECT_EQ(CheckWord("\xA0ne"), "the word begins or ends with a blank");
    EXPECT_EQ(TrimWord(" \t\xA0" "ano\xA0\r\n"), "ano");
    EXPECT_EQ(vocabulary->Size(), 1u);
}

TEST(Vocabulary, OpeningRemovesTheTemporaryFilesOfInterruptedSaves) {
    TempDir dir;
    const auto data = dir.Path() / "data";
    Vocabulary::Open(data, {})->AddRecording("ano", SyntheticWord(0, 20));
    // Left by saves killed halfway, and files that only look alike.
    for (const char *name : {".vocabulary.tsv.a1B2c3", ".vocabulary.tsv.ZZZZZZ", ".vocabulary.tsv.keep",
                             "vocabulary.tsv.a1B2c3", "notes.txt"})
        std::ofstream(data / name) << "tessary-vocabulary 1\nano\t1\t1 2";
    auto vocabulary = Vocabulary::Open(data, {});
    EXPECT_EQ(vocabulary->StaleFilesRemoved(), 2u);
    EXPECT_EQ(vocabulary->Size(), 1u);
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(data)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".vocabulary.tsv.keep", "notes.txt", "vocabulary.journal", "vocabulary.tsv",
                                              "vocabulary.tsv.a1B2c3"}));
}

TEST(Vocabulary, LimitsRecordingsPerWordAndTheirLength) {
    TempDir dir;
    auto vocabulary = Vocabulary::Open(dir.Path(), {});
    for (std::size_t i = 0; i < kMaxRecordingsPerWord; ++i)
        ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 10)).added);
    const auto r = vocabulary->AddRecording("ano", SyntheticWord(0, 10));
    EXPECT_FALSE(r.added);
    EXPECT_EQ(r.error, "the word has 32 recordings already");
    // No client makes one recognition cost seconds with a long recording.
    const auto tooLong = vocabulary->AddRecording("ne", SyntheticWord(1, kMaxSpeechFrames + 1));
    EXPECT_FALSE(tooLong.added);
    EXPECT_EQ(tooLong.error, "the speech is longer than 3 seconds, too long for one word");
}

// Adds grew the vocabulary without end. At a bound an add is refused and the
// file is not rewritten; a recording that fits exactly is taken.
TEST(Vocabulary, AddsStopAtTheBoundsOfWordsAndRecordedFrames) {
    TempDir dir;
    auto vocabulary = Vocabulary::Open(dir.Path(), {});
    vocabulary->SetBounds({.maxWords = 2, .maxRecordedFrames = 50});
    ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 10)).added);
    ASSERT_TRUE(vocabulary->AddRecording("ne", SyntheticWord(1, 10)).added);
    const std::string two = ReadFile(dir.Path() / "vocabulary.tsv");
    EXPECT_EQ(vocabulary->WhyNoRoom("dva"), "the vocabulary is full (2 words)");
    EXPECT_EQ(vocabulary->AddRecording("dva", SyntheticWord(2, 10)).error, "the vocabulary is full (2 words)");
    EXPECT_EQ(vocabulary->WhyNoRoom(" ano"), "");  // a known word, blanks trimmed
    EXPECT_EQ(vocabulary->AddRecording("ano", SyntheticWord(0, 31)).error,
              "the vocabulary has no room for more recordings (0.5 s of speech at most)");
    EXPECT_EQ(ReadFile(dir.Path() / "vocabulary.tsv"), two);
    EXPECT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 30)).added);
    EXPECT_EQ(vocabulary->WhyNoRoom("ne"), "the vocabulary has no room for more recordings (0.5 s of speech at most)");
    // A file past the bounds loads whole; it only takes no further word.
    vocabulary.reset();
    vocabulary = Vocabulary::Open(dir.Path(), {});
    vocabulary->SetBounds({.maxWords = 1, .maxRecordedFrames = 10});
    EXPECT_EQ(vocabulary->Size(), 2u);
    EXPECT_FALSE(vocabulary->AddRecording("ne", SyntheticWord(1, 10)).added);
    EXPECT_EQ(vocabulary->Snapshot()->Find("ano")->recordings.size(), 2u);
}

}  // namespace
}  // namespace tessary::test
