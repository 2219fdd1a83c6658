#include "trace.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "packet/message_types.h"
#include "utterance.h"

namespace tessary::cli {

Console &Console::Instance() {
    static Console console;
    return console;
}

void Console::Line(const std::string &text) {
    std::lock_guard lock(mutex_);
    std::string out;
    if (progressWidth_ > 0) {
        out.assign(1, '\r');
        out.append(progressWidth_, ' ');
        out += '\r';
        progressWidth_ = 0;
    }
    out += text;
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

void Console::Progress(const std::string &text) {
    std::lock_guard lock(mutex_);
    std::string out(1, '\r');
    out += text;
    if (text.size() < progressWidth_) {
        out.append(progressWidth_ - text.size(), ' ');
        out += '\r';
        out += text;
    }
    if (text.empty()) out += "\r";
    progressWidth_ = text.size();
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

std::string AsLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Trace::Format(double seconds, int session, char direction, const Head &head,
                          std::span<const std::uint8_t> payload) {
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "[%9.3f] #%d %c %s %6d %6d  ", seconds, session, direction,
                  Escape(head.Type()).c_str(), head.number, head.length);
    std::string line = prefix;
    if (head.Type() == mdlMSGConst::DATA) {
        const std::size_t count = payload.size() / 4;
        float low = INFINITY;
        float high = -INFINITY;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t bits = 0;
            for (int b = 3; b >= 0; --b) bits = (bits << 8) | payload[4 * i + static_cast<std::size_t>(b)];
            float value = 0;
            std::memcpy(&value, &bits, sizeof value);
            low = std::min(low, value);
            high = std::max(high, value);
        }
        char summary[128];
        const auto frames = count / static_cast<std::size_t>(kFrameFloats);
        const auto extra = count % static_cast<std::size_t>(kFrameFloats);
        if (count == 0) {
            std::snprintf(summary, sizeof summary, "0 floats");
        } else if (extra == 0) {
            std::snprintf(summary, sizeof summary, "%zu floats (%zu frames), from %.4g to %.4g", count, frames,
                          static_cast<double>(low), static_cast<double>(high));
        } else {
            std::snprintf(summary, sizeof summary, "%zu floats (%zu frames and %zu floats), from %.4g to %.4g",
                          count, frames, extra, static_cast<double>(low), static_cast<double>(high));
        }
        line += summary;
        if (payload.size() % 4 != 0) line += " and " + std::to_string(payload.size() % 4) + " stray bytes";
    } else {
        line += '"';
        line += Escape(Cp1250ToUtf8(payload));
        line += '"';
    }
    return line;
}

void Trace::Packet(int session, char direction, const Head &head, std::span<const std::uint8_t> payload) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    Console::Instance().Line(Format(seconds, session, direction, head, payload));
}

void Trace::Note(int session, const std::string &text) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "[%9.3f] #%d ! ", seconds, session);
    Console::Instance().Line(prefix + text);
}

Recorder::Recorder(const std::string &path) : path_(path), out_(path, std::ios::binary | std::ios::trunc) {
    if (!out_) throw std::runtime_error("cannot write the record file " + path + ": " + std::strerror(errno));
}

void Recorder::Bytes(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    out_.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out_.flush();
    if (!out_) throw std::runtime_error("cannot write the record file " + path_);
}

}  // namespace tessary::cli
