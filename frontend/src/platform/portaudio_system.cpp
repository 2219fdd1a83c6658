#include "platform/portaudio_system.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <portaudio.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vantrel {

namespace {

std::mutex g_mutex;
int g_sessions = 0;

// ALSA's error handler is variadic; the silent one ignores everything.
void SilentAlsaError(const char *, int, const char *, int, const char *, ...) {}

void SilentJackMessage(const char *) {}

// libjack comes with PortAudio when PortAudio was built with JACK; it prints
// through two replaceable functions. It is only reached if already loaded.
void SilenceJack() {
    void *jack = dlopen("libjack.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (jack == nullptr) return;
    using SetMessageFunction = void (*)(void (*)(const char *));
    for (const char *name : {"jack_set_error_function", "jack_set_info_function"}) {
        if (void *symbol = dlsym(jack, name)) {
            reinterpret_cast<SetMessageFunction>(symbol)(&SilentJackMessage);
        }
    }
    dlclose(jack);
}

// Some ALSA plugins (the JACK one among them) print straight to stderr while
// PortAudio opens every device to probe it; stderr's descriptor points to
// /dev/null for that time and is restored afterwards.
class StderrMuted {
public:
    StderrMuted() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~StderrMuted() {
        std::fflush(stderr);
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    StderrMuted(const StderrMuted &) = delete;
    StderrMuted &operator=(const StderrMuted &) = delete;

private:
    int saved_ = -1;
};

}  // namespace

PortAudioSession::PortAudioSession() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_sessions == 0) {
        snd_lib_error_set_handler(&SilentAlsaError);
        // A JACK client would otherwise try to start a server of its own.
        setenv("JACK_NO_START_SERVER", "1", 0);
        SilenceJack();
        PaError err = paNoError;
        {
            StderrMuted muted;
            err = Pa_Initialize();
        }
        if (err != paNoError) {
            error_ = Pa_GetErrorText(err);
            snd_lib_error_set_handler(nullptr);
            return;
        }
    }
    ++g_sessions;
    ok_ = true;
}

PortAudioSession::~PortAudioSession() {
    if (!ok_) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_sessions == 0) {
        Pa_Terminate();
        snd_lib_error_set_handler(nullptr);
    }
}

}  // namespace vantrel
