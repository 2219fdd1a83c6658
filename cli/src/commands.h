// The subcommands other than streaming a list: speaking to the server from
// the sound card, ping, the vocabulary, replaying a recorded session. Each
// returns the program's exit status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report.h"
#include "run.h"

namespace tessary::cli {

struct ListenOptions {
    int seconds = 20;       // the capture length, at most the window's 20 s
    std::string expected;   // the word that will be spoken, if known
    int best = 0;
};

// Records with the library's capture (the sound card, or VANTREL_CAPTURE_FILE
// / VANTREL_CAPTURE_DEVICE), streams while recording, stops at Enter or when
// the capture is full, and reports the answer.
int Listen(const ListenOptions &listen, const RunOptions &options, Report &report);

// count pings, interval apart; the round trips and their statistics.
int Ping(const ConnectionOptions &options, int count, std::chrono::milliseconds interval, bool json);

// Sends a text message ("GETV", "GETB") on a fresh connection and prints the
// answer.
int Ask(const ConnectionOptions &options, const std::string &command, const std::string &type,
        const std::string &text, bool json);

// Sends the packets of a file written by --record, waiting for the answer
// after each packet that asks for one.
int Replay(const std::string &path, const ConnectionOptions &options, bool json);

// Reads a list: one utterance a line, the path of an audio file, then
// optionally a TAB and the expected word. Blank lines and lines starting
// with # are skipped; a relative path is taken from the list's folder; a
// line without a word takes it from the file name. Returns false with the
// reason in *error when the list cannot be read.
bool ReadList(const std::string &path, std::vector<Item> *items, std::string *error);

}  // namespace tessary::cli
