// The results of a run: a line per utterance as it is answered, and the
// summary at the end, as text or as JSON lines.
//
// JSON report (--json), schema 1. Standard output carries one JSON object a
// line: one per utterance, in the order they finish, then one summary. Fields
// are never removed or renamed within a schema number; new ones may be added.
//
//   {"type": "utterance",
//    "index": 0,                  place in the list of files (0 first)
//    "file": "ano.1.wav",         as given; null for a recording (listen)
//    "expected": "ano",           from the list or the file name; null if none
//    "status": "answered",        or "no_answer", "connection_lost", "unreadable"
//    "answer": "Recognised: ano\r\n",  the server's text as received, UTF-8; null
//    "recognised": "ano",         the word in the answer (see below); null
//    "correct": true,             recognised == expected; null without either
//    "audio_ms": 1234.5,          length of the audio sent (8000 Hz samples / 8)
//    "latency_ms": 41.2,          end of the audio to the answer; null
//    "rest_to_answer_ms": 3.1,    "REST" sent to the answer; null
//    "data_packets": 5, "floats": 1287,   what was streamed
//    "session": 0,                which parallel session streamed it
//    "best": null,                the answer to "GETB" (best, --best); null
//    "prompt": null,              the answer to "ADDW" (add-word); null
//    "error": null}               the one-line failure; null when answered
//
//   {"type": "summary", "schema": 1, "command": "recognise",
//    "host": "localhost", "port": 105, "pace": "real-time" | "fast" | "speed",
//    "speed": 1.0 (null with --fast), "concurrency": 1,
//    "utterances": 13, "answered": 13, "no_answer": 0, "connection_lost": 0,
//    "unreadable": 0, "scored": 13, "correct": 13,
//    "accuracy_percent": 100.0 (null when nothing was scored),
//    "confusions": [{"expected": "dva", "recognised": "tři", "count": 1}, ...],
//    "latency_ms": {"median", "p95", "p99", "max", "mean"} (null when none),
//    "rest_to_answer_ms": {...the same...},
//    "wall_seconds": 12.3, "server": "the server's NEWS text" or null,
//    "exit_status": 0}
//
// The recognised word is the first line of the answer, after its last ": "
// when it has one ("Recognised: ano" gives "ano", "Nothing heard." stays as
// it is). Percentiles interpolate between the nearest ranks.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "trace.h"

namespace tessary::cli {

enum class Status { Answered, NoAnswer, ConnectionLost, Unreadable };
const char *StatusName(Status status);

struct Result {
    std::size_t index = 0;
    std::optional<std::string> file;
    std::string expected;  // empty: not known
    Status status = Status::Answered;
    std::string answer;
    std::string error;
    double audioMs = 0;
    std::optional<double> latencyMs;
    std::optional<double> restToAnswerMs;
    int dataPackets = 0;
    int floats = 0;
    int session = 0;
    std::optional<std::string> best;
    std::optional<std::string> prompt;  // the answer to "ADDW" (add-word)

    std::string Recognised() const;
    std::optional<bool> Correct() const;
};

// The word in a server's answer (see above).
std::string RecognisedWord(const std::string &answer);

struct Percentiles {
    double median = 0, p95 = 0, p99 = 0, max = 0, mean = 0;
};
// Nothing for no values.
std::optional<Percentiles> Summarise(std::vector<double> values);

struct RunInfo {
    std::string command = "recognise";
    std::string host;
    std::uint16_t port = 0;
    std::optional<double> speed;  // nothing: --fast
    int concurrency = 1;
    std::optional<double> minAccuracyPercent;
    bool json = false;
    bool progress = false;  // a progress line on standard error
    std::size_t expectedCount = 0;  // utterances in the list, for the progress line
};

class Report {
public:
    explicit Report(RunInfo info);

    // Prints the result's line (standard output) at once; thread-safe.
    void Add(Result result);
    void SetServerNews(const std::string &news);
    // Ends the run: prints the summary, returns the exit status (0, 1, or 2
    // when fatal is set: an unreachable server or a protocol error).
    int Finish(bool fatal);

    // For tests and the summary: the results so far.
    std::vector<Result> Results() const;
    static nlohmann::ordered_json ToJson(const Result &result);

private:
    void ShowProgress();

    RunInfo info_;
    mutable std::mutex mutex_;
    std::vector<Result> results_;
    std::string news_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastProgress_{};
};

// Milliseconds between two time points.
double Ms(Clock::time_point from, Clock::time_point to);

}  // namespace tessary::cli
