#include "core/stall_watch.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Verdict = StallWatch::Verdict;

TEST(StallWatch, ASilentStreamIsReportedOnceAfterThePatienceTime) {
    StallWatch watch(2s);
    const StallWatch::Clock::time_point t0{1000s};
    watch.Start(16000, t0);
    EXPECT_EQ(watch.Observe(0, true, t0 + 370ms), Verdict::kFine);
    EXPECT_EQ(watch.Observe(2960, true, t0 + 740ms), Verdict::kFine);
    EXPECT_EQ(watch.Observe(2960, true, t0 + 2700ms), Verdict::kFine) << "under 2 s unchanged";
    EXPECT_EQ(watch.Observe(2960, true, t0 + 2740ms), Verdict::kSilent);
    EXPECT_EQ(watch.Observe(2960, true, t0 + 9000ms), Verdict::kFine) << "only once";
    // A new recording is watched afresh.
    watch.Start(16000, t0 + 10s);
    EXPECT_EQ(watch.Observe(0, true, t0 + 12s), Verdict::kSilent);
}

TEST(StallWatch, AStoppedStreamIsReportedOnceUnlessTheBufferIsFull) {
    StallWatch watch(2s);
    const StallWatch::Clock::time_point t0{1000s};
    watch.Start(16000, t0);
    EXPECT_EQ(watch.Observe(800, false, t0 + 100ms), Verdict::kStopped);
    EXPECT_EQ(watch.Observe(800, false, t0 + 200ms), Verdict::kFine);

    watch.Start(16000, t0);
    EXPECT_EQ(watch.Observe(16000, false, t0 + 100ms), Verdict::kFine) << "full: done, not stopped";
    EXPECT_EQ(watch.Observe(16000, true, t0 + 60s), Verdict::kFine);
}

}  // namespace
}  // namespace vantrel
