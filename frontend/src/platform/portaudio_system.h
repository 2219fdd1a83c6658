// PortAudio started on demand and shared: the first PortAudioSession starts
// it, the last one to go stops it. Starting probes every sound system
// PortAudio knows (ALSA, JACK, OSS), and those print their failures to the
// terminal; the session silences them, so that a program without a sound
// card, or without a JACK server, stays quiet.
#pragma once

namespace vantrel {

class PortAudioSession {
public:
    PortAudioSession();
    ~PortAudioSession();
    PortAudioSession(const PortAudioSession &) = delete;
    PortAudioSession &operator=(const PortAudioSession &) = delete;

    // True when PortAudio runs and may be used while this session lives.
    bool Ok() const { return ok_; }
    // PortAudio's text for the failure to start, or "" when Ok().
    const char *Error() const { return error_; }

private:
    bool ok_ = false;
    const char *error_ = "";
};

}  // namespace vantrel
