// The capture devices of the library, one adapter per file behind
// CaptureDevice, and the choice between them.
#pragma once

#include <memory>

#include "core/capture_device.h"

namespace vantrel {

// The device for the next recording: a ReplayCaptureDevice when the
// environment variable VANTREL_CAPTURE_FILE names a file, else a
// PortAudioCaptureDevice (VANTREL_CAPTURE_DEVICE picks the input by name).
std::unique_ptr<CaptureDevice> MakeCaptureDevice();

}  // namespace vantrel
