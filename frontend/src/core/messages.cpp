#include "core/messages.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace vantrel {
namespace {

std::mutex g_mutex;
MessageSink g_sink;  // empty: stderr

}  // namespace

void Report(std::string_view text) {
    std::string line = "vantrel: ";
    line += text;
    for (char &c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

MessageSink SetMessageSink(MessageSink sink) {
    std::lock_guard lock(g_mutex);
    return std::exchange(g_sink, std::move(sink));
}

}  // namespace vantrel
