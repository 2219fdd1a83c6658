// A vocabulary over a store that other processes change: what they add is
// applied on the vocabulary's own thread while sessions read snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "recognizer.h"
#include "test_support.h"
#include "vocabulary.h"
#include "vocabulary_store.h"

namespace tessary::test {
namespace {

using namespace std::chrono_literals;

// prefix and i, built piece by piece: GCC 12 warns wrongly on a + b here.
std::string Numbered(const char *prefix, int i) {
    std::string name = prefix;
    name += std::to_string(i);
    return name;
}

// A store other processes write: what they add is reported on a thread of
// the store's own.
class SharedStore final : public VocabularyStore {
public:
    ~SharedStore() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    std::string Describe() const override { return "the shared store"; }
    std::vector<std::shared_ptr<const Word>> Load(const std::vector<std::shared_ptr<const Word>> &) override {
        std::lock_guard lock(mutex_);
        ++loads_;
        return words_;
    }
    std::optional<StoreError> AddRecording(std::string_view word, std::span<const float> frames,
                                           const std::vector<std::shared_ptr<const Word>> &) override {
        std::lock_guard lock(mutex_);
        Append(std::string(word), {frames.begin(), frames.end()});
        return std::nullopt;
    }
    void Watch(std::function<void(StoreChange)> changed) override {
        changed_ = std::move(changed);
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            for (;;) {
                ready_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
                if (stopping_) return;
                StoreChange change = std::move(pending_.front());
                pending_.erase(pending_.begin());
                lock.unlock();
                changed_(std::move(change));
                lock.lock();
            }
        });
    }

    // Another process adds a recording, or a word alone.
    void OtherAdds(const std::string &word, std::vector<float> frames = {}) {
        std::lock_guard lock(mutex_);
        StoreChange change;
        if (frames.empty()) change.addedWords.push_back(word);
        else change.addedRecordings.push_back({word, frames});
        Append(word, std::move(frames));
        pending_.push_back(std::move(change));
        ready_.notify_one();
    }
    // The store lost track of what changed: only a reload sees the word.
    void LosesTrack(const std::string &word, std::vector<float> frames) {
        std::lock_guard lock(mutex_);
        Append(word, std::move(frames));
        StoreChange change;
        change.reloadEverything = true;
        pending_.push_back(std::move(change));
        ready_.notify_one();
    }
    int Loads() {
        std::lock_guard lock(mutex_);
        return loads_;
    }

private:
    void Append(const std::string &name, std::vector<float> frames) {
        auto it = std::find_if(words_.begin(), words_.end(), [&](const auto &w) { return w->name == name; });
        auto word = it == words_.end() ? std::make_shared<Word>() : std::make_shared<Word>(**it);
        word->name = name;
        if (!frames.empty()) word->recordings.push_back(std::move(frames));
        if (it == words_.end()) words_.push_back(std::move(word));
        else *it = std::move(word);
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::shared_ptr<const Word>> words_;
    std::vector<StoreChange> pending_;
    std::function<void(StoreChange)> changed_;
    bool stopping_ = false;
    int loads_ = 0;
    std::thread thread_;
};

// Waits, at most 10 s, until the vocabulary has a word of that many recordings.
bool WaitForRecordings(const Vocabulary &vocabulary, const std::string &word, std::size_t recordings) {
    for (const auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
        const auto state = vocabulary.Snapshot();
        if (const Word *w = state->Find(word); w && w->recordings.size() == recordings) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

TEST(SharedVocabulary, WhatOtherProcessesAddIsRecognisedHere) {
    auto owned = std::make_unique<SharedStore>();
    SharedStore &store = *owned;
    auto vocabulary = Vocabulary::Open(std::move(owned), {});
    std::mutex notesMutex;
    std::vector<std::string> notes;
    vocabulary->OnChangeApplied([&](const std::string &note) {
        std::lock_guard lock(notesMutex);
        notes.push_back(note);
    });
    ASSERT_TRUE(vocabulary->AddRecording("ano", SyntheticWord(0, 20)).added);

    // Sessions match against snapshots while changes come in.
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) Rank(SyntheticWord(0, 24), *vocabulary->Snapshot());
    });
    store.OtherAdds("ne", SyntheticWord(1, 21));
    store.OtherAdds("ano", SyntheticWord(5, 22));
    store.OtherAdds("dva");
    ASSERT_TRUE(WaitForRecordings(*vocabulary, "ano", 2));
    ASSERT_TRUE(WaitForRecordings(*vocabulary, "dva", 0));
    ASSERT_TRUE(WaitForRecordings(*vocabulary, "ne", 1));
    EXPECT_EQ(Rank(SyntheticWord(1, 26), *vocabulary->Snapshot()).front().word, "ne");
    // This process's own add meets the others' in one vocabulary.
    ASSERT_TRUE(vocabulary->AddRecording("tri", SyntheticWord(3, 20)).added);
    store.OtherAdds("ctyri", SyntheticWord(4, 20));
    ASSERT_TRUE(WaitForRecordings(*vocabulary, "ctyri", 1));
    EXPECT_NE(vocabulary->Snapshot()->Find("tri"), nullptr);
    EXPECT_EQ(store.Loads(), 1);

    // A store that lost track is read again whole.
    store.LosesTrack("pet", SyntheticWord(6, 20));
    ASSERT_TRUE(WaitForRecordings(*vocabulary, "pet", 1));
    stop = true;
    reader.join();
    EXPECT_EQ(store.Loads(), 2);
    const auto state = vocabulary->Snapshot();
    std::vector<std::string> names;
    for (const auto &w : state->words) names.push_back(w->name);
    EXPECT_EQ(names, (std::vector<std::string>{"ano", "ne", "dva", "tri", "ctyri", "pet"}));
    EXPECT_EQ(state->Find("ano")->recordings.size(), 2u);
    EXPECT_EQ(Rank(SyntheticWord(6, 26), *state).front().word, "pet");
    std::lock_guard lock(notesMutex);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(), "read the vocabulary again from the shared store: 6 words");
}

// Regression guard for the order of ending: a vocabulary destroyed while
// its store still reports changes ends the store's thread first.
TEST(SharedVocabulary, EndsWhileChangesStillCome) {
    auto owned = std::make_unique<SharedStore>();
    SharedStore &store = *owned;
    auto vocabulary = Vocabulary::Open(std::move(owned), {});
    for (int i = 0; i < 50; ++i) store.OtherAdds(Numbered("w", i), SyntheticWord(i % 5, 15));
    ASSERT_TRUE(WaitForRecordings(*vocabulary, "w0", 1));
    vocabulary.reset();
}

}  // namespace
}  // namespace tessary::test
