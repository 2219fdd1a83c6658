// The file store's journal and compaction, and the bank made anew where
// words changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "file_store.h"
#include "recognizer.h"
#include "test_support.h"
#include "vocabulary.h"

namespace tessary::test {
namespace {

// Every word's name and recordings, in order: what two vocabularies must
// agree on.
std::vector<std::pair<std::string, std::vector<std::vector<float>>>> Contents(const VocabularyState &state) {
    std::vector<std::pair<std::string, std::vector<std::vector<float>>>> contents;
    for (const auto &w : state.words) contents.emplace_back(w->name, w->recordings);
    return contents;
}

// prefix and i, built piece by piece: GCC 12 warns wrongly on a + b here.
std::string Numbered(const char *prefix, int i) {
    std::string name = prefix;
    name += std::to_string(i);
    return name;
}

void Cut(const std::filesystem::path &file, std::size_t bytes) {
    std::filesystem::resize_file(file, std::filesystem::file_size(file) - bytes);
}

std::unique_ptr<Vocabulary> OpenFiles(const std::filesystem::path &dir, std::size_t minimumJournalBytes) {
    return Vocabulary::Open(std::make_unique<FileStore>(dir, minimumJournalBytes), {});
}

TEST(FileStore, AnAddIsAJournalRecordAndACrashLosesOnlyTheRecordItCut) {
    TempDir dir;
    const auto file = dir.Path() / "vocabulary.tsv";
    const auto journal = dir.Path() / "vocabulary.journal";
    {
        auto vocabulary = Vocabulary::Open(dir.Path(), {});
        const std::string empty = ReadFileText(file);
        ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 20)).added);
        ASSERT_TRUE(vocabulary->AddRecording("ne", SyntheticWord(1, 21)).added);
        ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(2, 22)).added);
        // The file is not written again for an add.
        EXPECT_EQ(ReadFileText(file), empty);
    }
    // A crash in the middle of the third record: its line end never came.
    Cut(journal, 7);
    const std::size_t cut = std::filesystem::file_size(journal);
    {
        auto vocabulary = Vocabulary::Open(dir.Path(), {});
        const auto state = vocabulary->Snapshot();
        ASSERT_EQ(state->words.size(), 2u);
        EXPECT_EQ(state->Find("ano")->recordings, std::vector<std::vector<float>>{SyntheticWord(0, 20)});
        EXPECT_EQ(state->Find("ne")->recordings, std::vector<std::vector<float>>{SyntheticWord(1, 21)});
        ASSERT_EQ(vocabulary->OpenNotes().size(), 1u);
        EXPECT_EQ(vocabulary->OpenNotes()[0], "dropped the last record of " + journal.string() +
                                                   " (line 4: the record has no line end), cut short when the "
                                                   "server stopped before it answered that add");
        // The rest of the cut record is gone, so the next follows a whole one.
        EXPECT_LT(std::filesystem::file_size(journal), cut);
        ASSERT_TRUE(vocabulary->AddRecording("dva", SyntheticWord(3, 23)).added);
    }
    // A last record whole in length but not in content (a float cut short
    // at the disk's block) fails its checksum.
    std::string text = ReadFileText(journal);
    const std::size_t at = text.rfind(' ') + 1;
    text[at] = text[at] == '1' ? '2' : '1';
    std::ofstream(journal, std::ios::binary | std::ios::trunc) << text;
    {
        auto vocabulary = Vocabulary::Open(dir.Path(), {});
        EXPECT_EQ(vocabulary->Size(), 2u);
        ASSERT_EQ(vocabulary->OpenNotes().size(), 1u);
        EXPECT_NE(vocabulary->OpenNotes()[0].find("(line 4: the record's checksum does not match)"),
                  std::string::npos);
        ASSERT_TRUE(vocabulary->AddRecording("dva", SyntheticWord(3, 23)).added);
        ASSERT_TRUE(vocabulary->AddRecording("tri", SyntheticWord(4, 24)).added);
    }
    auto vocabulary = Vocabulary::Open(dir.Path(), {});
    EXPECT_TRUE(vocabulary->OpenNotes().empty());
    const auto state = vocabulary->Snapshot();
    ASSERT_EQ(state->words.size(), 4u);
    EXPECT_EQ(state->words[2]->name, "dva");
    EXPECT_EQ(state->Find("tri")->recordings, std::vector<std::vector<float>>{SyntheticWord(4, 24)});
    // The recordings of the journal make models like those of the file.
    EXPECT_EQ(Rank(SyntheticWord(4, 30), *state).front().word, "tri");
}

// A bad record with good ones after it is no crash's doing: the server does
// not start, and leaves both files as they are.
TEST(FileStore, ABrokenRecordBeforeOthersIsRefusedAndNothingIsChanged) {
    TempDir dir;
    {
        auto vocabulary = Vocabulary::Open(dir.Path(), {});
        ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 20)).added);
        ASSERT_TRUE(vocabulary->AddRecording("ne", SyntheticWord(1, 21)).added);
    }
    const auto journal = dir.Path() / "vocabulary.journal";
    std::string text = ReadFileText(journal);
    text[text.find("\tano\t") + 2] = 'x';
    std::ofstream(journal, std::ios::binary | std::ios::trunc) << text;
    try {
        Vocabulary::Open(dir.Path(), {});
        ADD_FAILURE() << "a journal broken in its middle was accepted";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()),
                  journal.string() + ", line 2: the record's checksum does not match, and records follow it");
    }
    EXPECT_EQ(ReadFileText(journal), text);
    // No journal of this server at all.
    std::ofstream(journal, std::ios::binary | std::ios::trunc) << "ano\tword\n";
    EXPECT_THROW(Vocabulary::Open(dir.Path(), {}), std::runtime_error);
}

TEST(FileStore, CompactionKeepsEveryWordAndRecording) {
    TempDir dir;
    const auto file = dir.Path() / "vocabulary.tsv";
    const auto journal = dir.Path() / "vocabulary.journal";
    auto vocabulary = OpenFiles(dir.Path(), 0);
    int compactions = 0;
    std::string journalBefore;
    for (int i = 0; i < 40; ++i) {
        const std::string word = Numbered("slovo", i % 7);
        const std::uintmax_t fileBefore = std::filesystem::file_size(file);
        journalBefore = std::filesystem::exists(journal) ? ReadFileText(journal) : "";
        ASSERT_TRUE(vocabulary->AddRecording(word, SyntheticWord(i, 15 + i % 5)).added) << i;
        if (std::filesystem::file_size(file) != fileBefore) {
            ++compactions;
            EXPECT_FALSE(std::filesystem::exists(journal)) << i;
        } else {
            // The journal never grows past the file it extends.
            EXPECT_LE(std::filesystem::file_size(journal), std::filesystem::file_size(file)) << i;
        }
        if (compactions == 3) break;
    }
    EXPECT_EQ(compactions, 3);
    const auto expected = Contents(*vocabulary->Snapshot());
    vocabulary.reset();
    EXPECT_EQ(Contents(*OpenFiles(dir.Path(), 0)->Snapshot()), expected);
    // The file alone holds everything the last compaction was given.
    EXPECT_EQ(Contents(ParseVocabulary(ReadFileText(file))), expected);

    // A crash between writing the file and removing the journal leaves a
    // journal whose records the file holds already: they are not applied
    // twice.
    ASSERT_FALSE(journalBefore.empty());
    std::ofstream(journal, std::ios::binary) << journalBefore;
    auto reopened = Vocabulary::Open(dir.Path(), {});
    EXPECT_EQ(Contents(*reopened->Snapshot()), expected);
    ASSERT_EQ(reopened->OpenNotes().size(), 1u);
    EXPECT_EQ(reopened->OpenNotes()[0], journal.string() + " extends another version of " + file.string() +
                                            ", which holds its records already: ignored");
}

TEST(FileStore, OlderFilesLoadAndTheirFirstAddWritesThemInTheCurrentVersion) {
    TempDir dir;
    const auto file = dir.Path() / "vocabulary.tsv";
    std::string v2 = "tessary-vocabulary 2\nne\trecording\t20\t";
    const auto frames = SyntheticWord(1, 20);
    for (std::size_t i = 0; i < frames.size(); ++i) v2 += (i ? " " : "") + std::to_string(frames[i]);
    v2 += "\n";
    for (const std::string &old : {v2, std::string("# a word list\nano\nne\n")}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << old;
        std::filesystem::remove(dir.Path() / "vocabulary.journal");
        auto vocabulary = Vocabulary::Open(dir.Path(), {});
        const auto before = Contents(*vocabulary->Snapshot());
        EXPECT_EQ(ReadFileText(file), old);  // untouched until a change
        ASSERT_TRUE(vocabulary->AddRecording("dva", SyntheticWord(2, 20)).added);
        const std::string written = ReadFileText(file);
        EXPECT_EQ(VocabularyFileVersion(written), kVocabularyFileVersion);
        EXPECT_FALSE(std::filesystem::exists(dir.Path() / "vocabulary.journal"));
        auto expected = before;
        expected.emplace_back("dva", std::vector<std::vector<float>>{SyntheticWord(2, 20)});
        EXPECT_EQ(Contents(ParseVocabulary(written)), expected);
        // Later adds go to the journal.
        ASSERT_TRUE(vocabulary->AddRecording("dva", SyntheticWord(2, 21)).added);
        EXPECT_EQ(ReadFileText(file), written);
        EXPECT_TRUE(std::filesystem::exists(dir.Path() / "vocabulary.journal"));
    }
}

// A bank made anew only where words changed scores every word as one made
// whole: words changed in the first and last blocks, and words added.
TEST(FileStore, ABankUpdatedWhereWordsChangedScoresAsOneMadeWhole) {
    VocabularyState state;
    for (int i = 0; i < ModelBank::kBlockWords + 40; ++i) {
        auto w = std::make_shared<Word>();
        w->name = Numbered("w", i);
        w->recordings.push_back(SyntheticWord(i % 13, 18 + i % 7));
        state.words.push_back(std::move(w));
    }
    PrepareVocabulary(state);
    VocabularyState updated = state;
    std::vector<std::size_t> changed;
    for (std::size_t i : {std::size_t{3}, std::size_t{ModelBank::kBlockWords + 7}}) {
        auto w = std::make_shared<Word>(*updated.words[i]);
        w->recordings.push_back(SyntheticWord(20, 25));
        w->adapted = {};
        updated.words[i] = std::move(w);
        changed.push_back(i);
    }
    for (int i = 0; i < 3; ++i) {
        auto w = std::make_shared<Word>();
        w->name = Numbered("new", i);
        w->recordings.push_back(SyntheticWord(30 + i, 22));
        updated.words.push_back(std::move(w));
        changed.push_back(updated.words.size() - 1);
    }
    VocabularyState whole = updated;
    PrepareChangedWords(updated, changed);
    PrepareVocabulary(whole);
    EXPECT_EQ(updated.bank->Models(), whole.bank->Models());
    const int words = static_cast<int>(whole.words.size());
    for (int id : {3, 20, 31}) {
        const FeatureMatrix x = MakeFeatures(SyntheticWord(id, 24));
        const auto a = updated.bank->ScoreWords(x, words, std::numeric_limits<float>::infinity()).words;
        const auto b = whole.bank->ScoreWords(x, words, std::numeric_limits<float>::infinity()).words;
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t w = 0; w < a.size(); ++w) EXPECT_FLOAT_EQ(a[w], b[w]) << "word " << w << ", utterance " << id;
    }
    EXPECT_EQ(Rank(SyntheticWord(31, 24), updated).front().word, "new1");
}

}  // namespace
}  // namespace tessary::test
