#include "core/stall_watch.h"

namespace vantrel {

void StallWatch::Start(std::int32_t length, Clock::time_point now) {
    length_ = length;
    // A recording starts at 0: a stream that never moves is silent from Start.
    lastPosition_ = 0;
    lastAdvance_ = now;
    reported_ = false;
}

StallWatch::Verdict StallWatch::Observe(std::int32_t position, bool streamActive,
                                        Clock::time_point now) {
    if (position != lastPosition_) {
        lastPosition_ = position;
        lastAdvance_ = now;
    }
    if (reported_ || position >= length_) return Verdict::kFine;
    Verdict verdict = Verdict::kFine;
    if (!streamActive) {
        verdict = Verdict::kStopped;
    } else if (now - lastAdvance_ >= patience_) {
        verdict = Verdict::kSilent;
    }
    reported_ = verdict != Verdict::kFine;
    return verdict;
}

}  // namespace vantrel
