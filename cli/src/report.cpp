#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace tessary::cli {

namespace {

using json = nlohmann::ordered_json;

json OrNull(const std::optional<double> &value) { return value ? json(*value) : json(nullptr); }

json PercentilesJson(const std::optional<Percentiles> &p) {
    if (!p) return nullptr;
    return {{"median", p->median}, {"p95", p->p95}, {"p99", p->p99}, {"max", p->max}, {"mean", p->mean}};
}

std::string FormatMs(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, ms < 1 ? "%.2f" : ms < 10 ? "%.1f" : "%.0f", ms);
    return text;
}

std::string PercentilesText(const Percentiles &p) {
    return "median " + FormatMs(p.median) + " ms, p95 " + FormatMs(p.p95) + " ms, p99 " + FormatMs(p.p99) +
           " ms, max " + FormatMs(p.max) + " ms";
}

std::string FirstLine(const std::string &text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    return line;
}

void Out(const std::string &line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

const char *StatusName(Status status) {
    switch (status) {
        case Status::Answered: return "answered";
        case Status::NoAnswer: return "no_answer";
        case Status::ConnectionLost: return "connection_lost";
        case Status::Unreadable: return "unreadable";
    }
    return "?";
}

std::string RecognisedWord(const std::string &answer) {
    std::string line = FirstLine(answer);
    const std::size_t colon = line.rfind(": ");
    if (colon != std::string::npos) line = line.substr(colon + 2);
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!line.empty() && blank(line.back())) line.pop_back();
    std::size_t start = 0;
    while (start < line.size() && blank(line[start])) ++start;
    return line.substr(start);
}

std::string Result::Recognised() const { return status == Status::Answered ? RecognisedWord(answer) : ""; }

std::optional<bool> Result::Correct() const {
    if (status != Status::Answered || expected.empty()) return std::nullopt;
    return Recognised() == expected;
}

std::optional<Percentiles> Summarise(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const double rank = q * static_cast<double>(values.size() - 1);
        const auto low = static_cast<std::size_t>(std::floor(rank));
        const std::size_t high = std::min(low + 1, values.size() - 1);
        return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
    };
    Percentiles p;
    p.median = at(0.5);
    p.p95 = at(0.95);
    p.p99 = at(0.99);
    p.max = values.back();
    p.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    return p;
}

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

Report::Report(RunInfo info) : info_(std::move(info)) {}

nlohmann::ordered_json Report::ToJson(const Result &r) {
    const std::optional<bool> correct = r.Correct();
    return {{"type", "utterance"},
            {"index", r.index},
            {"file", r.file ? json(*r.file) : json(nullptr)},
            {"expected", r.expected.empty() ? json(nullptr) : json(r.expected)},
            {"status", StatusName(r.status)},
            {"answer", r.status == Status::Answered ? json(r.answer) : json(nullptr)},
            {"recognised", r.status == Status::Answered ? json(r.Recognised()) : json(nullptr)},
            {"correct", correct ? json(*correct) : json(nullptr)},
            {"audio_ms", r.status == Status::Unreadable ? json(nullptr) : json(r.audioMs)},
            {"latency_ms", OrNull(r.latencyMs)},
            {"rest_to_answer_ms", OrNull(r.restToAnswerMs)},
            {"data_packets", r.dataPackets},
            {"floats", r.floats},
            {"session", r.session},
            {"best", r.best ? json(*r.best) : json(nullptr)},
            {"prompt", r.prompt ? json(*r.prompt) : json(nullptr)},
            {"error", r.error.empty() ? json(nullptr) : json(r.error)}};
}

void Report::Add(Result r) {
    std::lock_guard lock(mutex_);
    if (info_.json) {
        Out(ToJson(r).dump(-1, ' ', false, json::error_handler_t::replace));
    } else {
        const std::string name = r.file ? *r.file : "recording";
        std::string line;
        if (r.status != Status::Answered) {
            line = "FAILED  " + name + ": " + r.error;
        } else {
            const std::optional<bool> correct = r.Correct();
            if (!correct) {
                line = "answer  " + name + ": " + Escape(FirstLine(r.answer));
            } else if (*correct) {
                line = "right   " + name + ": " + r.Recognised();
            } else {
                line = "WRONG   " + name + ": " + r.Recognised() + ", expected " + r.expected;
            }
            if (r.latencyMs && r.restToAnswerMs)
                line += "  (" + FormatMs(*r.latencyMs) + " ms after the audio, " + FormatMs(*r.restToAnswerMs) +
                        " ms after REST)";
        }
        if (info_.progress) Console::Instance().Progress("");
        if (r.prompt) Out("ADDW    " + name + ": " + Escape(FirstLine(*r.prompt)));
        Out(line);
        if (r.best) Out(AsLines(*r.best));
    }
    results_.push_back(std::move(r));
    ShowProgress();
}

void Report::ShowProgress() {
    if (!info_.progress) return;
    const auto now = Clock::now();
    const bool last = results_.size() >= info_.expectedCount;
    if (!last && now - lastProgress_ < std::chrono::milliseconds(100)) return;
    lastProgress_ = now;
    int right = 0, wrong = 0, failed = 0;
    for (const Result &r : results_) {
        const auto c = r.Correct();
        if (r.status != Status::Answered) ++failed;
        else if (c && *c) ++right;
        else if (c) ++wrong;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%zu/%zu done: %d right, %d wrong, %d failed, %.0f s", results_.size(),
                  info_.expectedCount, right, wrong, failed, std::chrono::duration<double>(now - start_).count());
    Console::Instance().Progress(text);
}

void Report::SetServerNews(const std::string &news) {
    std::lock_guard lock(mutex_);
    if (news_.empty()) news_ = news;
}

std::vector<Result> Report::Results() const {
    std::lock_guard lock(mutex_);
    return results_;
}

int Report::Finish(bool fatal) {
    std::lock_guard lock(mutex_);
    if (info_.progress) Console::Instance().Progress("");
    std::map<Status, int> counts;
    int scored = 0, correct = 0;
    std::map<std::pair<std::string, std::string>, int> confusions;
    std::vector<double> latencies, restLatencies;
    for (const Result &r : results_) {
        counts[r.status]++;
        if (r.latencyMs) latencies.push_back(*r.latencyMs);
        if (r.restToAnswerMs) restLatencies.push_back(*r.restToAnswerMs);
        if (const auto c = r.Correct()) {
            ++scored;
            if (*c) ++correct;
            else confusions[{r.expected, r.Recognised()}]++;
        }
    }
    std::vector<std::pair<std::pair<std::string, std::string>, int>> sorted(confusions.begin(), confusions.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    const double accuracyValue = scored > 0 ? 100.0 * correct / scored : 0.0;
    const double required = info_.minAccuracyPercent.value_or(0.0);
    const auto latency = Summarise(latencies);
    const auto restLatency = Summarise(restLatencies);

    int status = 0;
    bool accuracyShort = false;
    if (fatal) {
        status = 2;
    } else if (counts[Status::Answered] != static_cast<int>(results_.size())) {
        status = 1;
    } else if (info_.minAccuracyPercent && (scored == 0 || accuracyValue + 1e-9 < required)) {
        status = 1;
        accuracyShort = true;
    }

    if (accuracyShort) {
        char line[160];
        if (scored > 0)
            std::snprintf(line, sizeof line, "tessary-cli: accuracy %.1f %% is below the required %.1f %%",
                          accuracyValue, required);
        else
            std::snprintf(line, sizeof line,
                          "tessary-cli: no utterance had an expected word, so the accuracy of %.1f %% is not reached",
                          required);
        Console::Instance().Line(line);
    }

    if (info_.json) {
        json c = json::array();
        for (const auto &[pair, count] : sorted)
            c.push_back({{"expected", pair.first}, {"recognised", pair.second}, {"count", count}});
        const json summary = {
            {"type", "summary"},
            {"schema", 1},
            {"command", info_.command},
            {"host", info_.host},
            {"port", info_.port},
            {"pace", !info_.speed ? "fast" : *info_.speed == 1.0 ? "real-time" : "speed"},
            {"speed", OrNull(info_.speed)},
            {"concurrency", info_.concurrency},
            {"utterances", results_.size()},
            {"answered", counts[Status::Answered]},
            {"no_answer", counts[Status::NoAnswer]},
            {"connection_lost", counts[Status::ConnectionLost]},
            {"unreadable", counts[Status::Unreadable]},
            {"scored", scored},
            {"correct", correct},
            {"accuracy_percent", scored > 0 ? json(accuracyValue) : json(nullptr)},
            {"confusions", c},
            {"latency_ms", PercentilesJson(latency)},
            {"rest_to_answer_ms", PercentilesJson(restLatency)},
            {"wall_seconds", std::chrono::duration<double>(Clock::now() - start_).count()},
            {"server", news_.empty() ? json(nullptr) : json(news_)},
            {"exit_status", status}};
        Out(summary.dump(-1, ' ', false, json::error_handler_t::replace));
        return status;
    }

    std::string text = std::to_string(results_.size()) + (results_.size() == 1 ? " utterance: " : " utterances: ") +
                       std::to_string(counts[Status::Answered]) + " answered, " +
                       std::to_string(counts[Status::NoAnswer]) + " without answer, " +
                       std::to_string(counts[Status::ConnectionLost]) + " with the connection lost, " +
                       std::to_string(counts[Status::Unreadable]) + " unreadable";
    Out(text);
    if (scored > 0) {
        char line[96];
        std::snprintf(line, sizeof line, "accuracy: %.1f %% (%d of %d right)", accuracyValue, correct, scored);
        Out(line);
    }
    if (!sorted.empty()) {
        std::string line = "confusions:";
        for (const auto &[pair, count] : sorted)
            line += " " + pair.first + " heard as " + pair.second + " (" + std::to_string(count) + "),";
        line.pop_back();
        Out(line);
    }
    if (latency) Out("latency from the end of the audio: " + PercentilesText(*latency));
    if (restLatency) Out("latency from REST: " + PercentilesText(*restLatency));
    return status;
}

}  // namespace tessary::cli
