// A stream's conversion from the sound card's rate to the capture rate,
// made before the stream starts so that the audio callback allocates
// nothing: libsamplerate's state and an output buffer sized for the largest
// piece the callback may bring.
#pragma once

#include <samplerate.h>

#include <cstdint>
#include <vector>

namespace vantrel {

class RateConverter {
public:
    RateConverter() = default;
    ~RateConverter();
    RateConverter(const RateConverter &) = delete;
    RateConverter &operator=(const RateConverter &) = delete;

    // Prepares the conversion of mono float samples at inputRate to
    // outputRate, fed in pieces of up to maxInputFrames. Returns false when
    // libsamplerate cannot make its state.
    bool Prepare(double inputRate, double outputRate, unsigned long maxInputFrames);
    void Release();
    bool Prepared() const { return state_ != nullptr; }

    // Converts frames samples (any count; larger pieces are taken in turns)
    // and writes at most room 16-bit samples to out, clipped to the 16-bit
    // range. The samples beyond room are dropped. Returns the number written.
    // Allocates, locks and prints nothing.
    std::int32_t Convert(const float *input, unsigned long frames, std::int16_t *out,
                         std::int32_t room) noexcept;

private:
    SRC_STATE *state_ = nullptr;
    double ratio_ = 1.0;
    std::vector<float> converted_;
};

}  // namespace vantrel
