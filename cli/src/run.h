// Streaming utterances: one, on a connection, paced like the window's
// capture tick; and a whole list over a bounded number of parallel
// sessions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "report.h"
#include "utterance.h"

namespace tessary::cli {

struct Item {
    std::string file;
    std::string expected;  // UTF-8; empty: not known
};

struct RunOptions {
    ConnectionOptions connection;
    std::optional<double> speed = 1.0;  // times real time; nothing: as fast as the server takes it
    int concurrency = 1;
    int best = 0;         // > 0: ask for the best n words after every answer
    std::string addWord;  // not empty: every utterance is enrolled as this word
};

// "SRCG", the "DATA" packets at their ticks (370 ms / speed apart, none
// with --fast), "REST" with CR LF, then the answer. Fills the result's
// answer, timings and counts. Throws what the connection throws; an
// ExchangeFailed says whether any byte came after the "REST".
void StreamUtterance(Connection &connection, const Utterance &utterance, const RunOptions &options,
                     Result *result);

// The end of an utterance, the same after a file and after the sound card:
// texts that came during it are no answer to it; "REST" with CR LF, then
// the answer, and the best n words ("GETB") when n > 0. Fills the result's
// answer, status and timings, the latency counted from audioEnd. Throws what
// the connection throws.
void FinishUtterance(Connection &connection, Clock::time_point audioEnd, int best, Result *result);

// Reads, analyses and streams every item; the results go to the report.
// Returns true when the run ended early on a fatal error (an unreachable
// server, a protocol error), which has been reported on standard error.
bool RunList(const std::vector<Item> &items, const RunOptions &options, Report &report);

}  // namespace tessary::cli
