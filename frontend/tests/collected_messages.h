// Collects the library's messages for the life of the object, in place of
// stderr; the previous sink comes back at the end.
#pragma once

#include "core/messages.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing {

class CollectedMessages {
public:
    CollectedMessages()
        : previous_(SetMessageSink([this](const std::string &line) {
              std::lock_guard lock(mutex_);
              lines_.push_back(line);
          })) {}
    ~CollectedMessages() { SetMessageSink(std::move(previous_)); }
    CollectedMessages(const CollectedMessages &) = delete;
    CollectedMessages &operator=(const CollectedMessages &) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    MessageSink previous_;
};

}  // namespace vantrel::testing
