// The library's one channel for messages to a person: failures that a
// result code alone cannot explain (which file, which device, why). Each
// message is one line, "vantrel: " and the text, written to stderr unless
// another sink has been put in place (tests collect them). Any thread may
// report; the sink is called under a lock, one message at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vantrel {

// Receives one whole line, without the line break.
using MessageSink = std::function<void(const std::string &line)>;

// Sends the text as one line: line breaks inside it become blanks.
void Report(std::string_view text);

// Puts a sink in place of the current one and returns the one it replaces;
// an empty sink restores stderr.
MessageSink SetMessageSink(MessageSink sink);

}  // namespace vantrel
