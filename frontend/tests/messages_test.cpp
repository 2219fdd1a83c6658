#include "core/messages.h"

#include "collected_messages.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(Messages, OneLinePerMessageOnStderrByDefault) {
    ::testing::internal::CaptureStderr();
    Report("the card failed\r\nbadly");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vantrel: the card failed  badly\n");
}

TEST(Messages, AnInjectedSinkTakesThemAndStderrComesBack) {
    {
        testing::CollectedMessages collected;
        ::testing::internal::CaptureStderr();
        Report("first");
        Report("second");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(collected.Lines(), (std::vector<std::string>{"vantrel: first", "vantrel: second"}));
    }
    ::testing::internal::CaptureStderr();
    Report("again");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vantrel: again\n");
}

}  // namespace
}  // namespace vantrel
