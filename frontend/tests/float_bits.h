// Comparing floats bit for bit, the one way the analysis tests compare them:
// equal bits, except that any NaN matches any NaN (their payloads are not
// part of the result).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vantrel::testing {

inline std::uint32_t Bits(float value) { return std::bit_cast<std::uint32_t>(value); }

inline std::vector<std::uint32_t> Bits(const std::vector<float> &values) {
    std::vector<std::uint32_t> bits;
    bits.reserve(values.size());
    for (float v : values) bits.push_back(Bits(v));
    return bits;
}

inline std::string Hex(std::uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(bits));
    return text;
}

inline bool SameFloat(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return Bits(a) == Bits(b);
}

// Names the first difference by frame (stride floats each) and value.
inline ::testing::AssertionResult SameFloats(const std::vector<float> &expected, const std::vector<float> &actual,
                                             int stride) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << expected.size() << " floats expected, " << actual.size() << " computed";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (!SameFloat(expected[i], actual[i]))
            return ::testing::AssertionFailure()
                   << "frame " << i / static_cast<std::size_t>(stride) << " value " << i % static_cast<std::size_t>(stride)
                   << ": expected " << expected[i] << " (" << Hex(Bits(expected[i])) << "), got " << actual[i] << " ("
                   << Hex(Bits(actual[i])) << ")";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace vantrel::testing
