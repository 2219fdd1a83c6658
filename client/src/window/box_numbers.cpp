#include "window/box_numbers.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tessary {

double LeadingNumber(std::string_view text) {
    std::string clean;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') clean.push_back(c);
    }
    // Keep the longest prefix of the form [sign] digits [. digits] [E|D [sign] digits].
    std::size_t i = 0;
    const auto isDigit = [&](std::size_t k) { return k < clean.size() && clean[k] >= '0' && clean[k] <= '9'; };
    std::string number;
    if (i < clean.size() && (clean[i] == '+' || clean[i] == '-')) number.push_back(clean[i++]);
    bool mantissa = false;
    while (isDigit(i)) { number.push_back(clean[i++]); mantissa = true; }
    if (i < clean.size() && clean[i] == '.') {
        number.push_back(clean[i++]);
        while (isDigit(i)) { number.push_back(clean[i++]); mantissa = true; }
    }
    if (!mantissa) return 0.0;
    if (i < clean.size() && (clean[i] == 'E' || clean[i] == 'e' || clean[i] == 'D' || clean[i] == 'd')) {
        std::size_t k = i + 1;
        std::string exponent = "e";
        if (k < clean.size() && (clean[k] == '+' || clean[k] == '-')) exponent.push_back(clean[k++]);
        if (isDigit(k)) {
            while (isDigit(k)) exponent.push_back(clean[k++]);
            number += exponent;
        }
    }
    return std::strtod(number.c_str(), nullptr);
}

std::int64_t PortNumber(std::string_view text) {
    constexpr double kLimit = 9007199254740992.0;  // 2^53
    const double rounded = std::nearbyint(LeadingNumber(text));  // the default mode: halves to even
    if (std::isnan(rounded)) return 0;
    return static_cast<std::int64_t>(std::clamp(rounded, -kLimit, kLimit));
}

std::int32_t RoundTripMs(std::int32_t now, double echoed) {
    const double difference = std::nearbyint(static_cast<double>(now) - echoed);
    if (!std::isfinite(difference)) return now;
    // Reduce modulo 2^32 into the signed 32-bit range.
    double wrapped = std::fmod(difference, 4294967296.0);
    if (wrapped < 0) wrapped += 4294967296.0;
    const auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(wrapped));
    return static_cast<std::int32_t>(bits);
}

}  // namespace tessary
