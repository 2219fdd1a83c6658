#include "platform/playback_devices.h"

#include <cstdlib>

#include "platform/file_playback_device.h"
#include "platform/portaudio_playback_device.h"

namespace vantrel {

std::unique_ptr<PlaybackDevice> MakePlaybackDevice() {
    const char *file = std::getenv("VANTREL_PLAYBACK_FILE");
    if (file != nullptr && file[0] != '\0') return std::make_unique<FilePlaybackDevice>(file);
    return std::make_unique<PortAudioPlaybackDevice>();
}

}  // namespace vantrel
