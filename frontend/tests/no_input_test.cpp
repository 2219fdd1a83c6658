// A machine with no sound card input: ALSA's configuration is an empty file
// (set by CTest), so PortAudio offers no device at all. Opening the default
// input fails with one line that says so and names the way out, recording
// from a file; without that line the demo could not tell the user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "collected_messages.h"
#include "platform/capture_devices.h"

namespace vantrel {
namespace {

TEST(NoSoundCardInput, OpeningTheDefaultInputFailsAndSaysToRecordFromAFile) {
    ASSERT_NE(std::getenv("ALSA_CONFIG_PATH"), nullptr) << "run through CTest, which empties ALSA's configuration";
    unsetenv("VANTREL_CAPTURE_FILE");
    unsetenv("VANTREL_CAPTURE_DEVICE");
    std::vector<std::int16_t> buffer(8000, 99);
    testing::CollectedMessages messages;
    {
        auto device = MakeCaptureDevice();
        EXPECT_EQ(device->Open(buffer.data(), static_cast<std::int32_t>(buffer.size())), -1);
    }
    const std::vector<std::string> lines = messages.Lines();
    const std::string line =
        "vantrel: no sound card input found (VANTREL_CAPTURE_FILE records from an audio file instead)";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), std::int16_t{99}), 8000) << "nothing was recorded";
}

}  // namespace
}  // namespace vantrel
