// The playback devices of the library, one adapter per file behind
// PlaybackDevice, and the choice between them.
#pragma once

#include <memory>

#include "core/playback_device.h"

namespace vantrel {

// The device for the next buffer: a FilePlaybackDevice when the environment
// variable VANTREL_PLAYBACK_FILE names a file, else the sound card's default
// output through PortAudio.
std::unique_ptr<PlaybackDevice> MakePlaybackDevice();

}  // namespace vantrel
