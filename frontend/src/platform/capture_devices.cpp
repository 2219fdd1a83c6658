#include "platform/capture_devices.h"

#include <cstdlib>

#include "platform/portaudio_capture_device.h"
#include "platform/replay_capture_device.h"

namespace vantrel {

std::unique_ptr<CaptureDevice> MakeCaptureDevice() {
    const char *file = std::getenv("VANTREL_CAPTURE_FILE");
    if (file != nullptr && file[0] != '\0') return std::make_unique<ReplayCaptureDevice>(file);
    const char *name = std::getenv("VANTREL_CAPTURE_DEVICE");
    return std::make_unique<PortAudioCaptureDevice>(name != nullptr ? name : "");
}

}  // namespace vantrel
