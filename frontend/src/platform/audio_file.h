// Reading an audio file as the capture format: 8000 Hz, mono, 16-bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// Reads the file at path with libsndfile (WAV, FLAC, Ogg, ...), mixes its
// channels down to their mean and converts it to 8000 Hz with libsamplerate
// when its rate differs. Keeps at most maxSamples samples of the result.
// A 16-bit mono file at 8000 Hz comes through sample for sample. Returns
// true, or false with the reason in *error.
bool ReadAudioFile8k(const std::string &path, std::int32_t maxSamples,
                     std::vector<std::int16_t> *samples, std::string *error);

}  // namespace vantrel
