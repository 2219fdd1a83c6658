// tessary-cli: the Tessary client without a window. It speaks to a
// recognition server exactly as the window does, from audio files, the sound
// card or a recorded session, and reports answers, accuracy and latency.
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "commands.h"
#include "packet/message_types.h"
#include "run.h"
#include "tessary_version.h"

namespace {

using namespace tessary::cli;

bool AllDigits(const std::string &text) {
    return !text.empty() && text.size() < 7 && text.find_first_not_of("0123456789") == std::string::npos;
}

int Usage(const std::string &message) {
    Console::Instance().Line("tessary-cli: " + message + " (see tessary-cli --help)");
    return 2;
}

int Main(int argc, char **argv) {
    CLI::App app{"tessary-cli: the Tessary client without a window. It streams recordings to a recognition server "
                 "exactly as the Tessary window does, and reports the answers, the accuracy and the latency."};
    app.set_version_flag("--version", std::string("tessary-cli ") + TESSARY_VERSION);
    app.require_subcommand(1);

    Endpoint endpoint;
    double timeoutSeconds = 10;
    int concurrency = 1;
    bool json = false, trace = false, fast = false, noProgress = false;
    std::string recordPath;
    std::optional<double> minAccuracy;
    double speed = 1;
    app.add_option("--host", endpoint.host, "server host name or address (default localhost)");
    app.add_option("--port", endpoint.port, "server TCP port (default 105)")->check(CLI::Range(1, 65535));
    app.add_option("--timeout", timeoutSeconds, "seconds to wait for a connection and for each answer (default 10)")
        ->check(CLI::Range(0.001, 3600.0));
    app.add_option("--concurrency", concurrency, "sessions in parallel over the list, 1 to 1000 (default 1)")
        ->check(CLI::Range(1, 1000));
    app.add_flag("--json", json, "one JSON object a line: one per utterance, then a summary");
    app.add_flag("--trace", trace, "every packet, both ways, on standard error");
    app.add_option("--record", recordPath, "write the exact bytes sent to this file (for replay)");
    app.add_option("--min-accuracy", minAccuracy, "exit with 1 when the accuracy (percent) is below this")
        ->check(CLI::Range(0.0, 100.0));
    auto *speedOption = app.add_option("--speed", speed, "stream at this many times real time (default 1)")
                            ->check(CLI::Range(0.01, 1000.0));
    app.add_flag("--fast", fast, "stream as fast as the server takes it")->excludes(speedOption);
    app.add_flag("--no-progress", noProgress, "no progress line, also on a terminal");

    std::vector<std::string> files;
    std::string listPath;
    auto *recognise = app.add_subcommand("recognise", "stream audio files and report the answers");
    recognise->alias("recognize");
    recognise->add_option("files", files, "audio files (anything libsndfile reads); WORD.anything.wav expects WORD");
    recognise->add_option("--list", listPath, "a list: one file a line, optionally TAB and the expected word");

    ListenOptions listenOptions;
    auto *listen = app.add_subcommand("listen", "record from the sound card and stream while recording");
    listen->add_option("--seconds", listenOptions.seconds, "longest recording in seconds, 1 to 20 (default 20)")
        ->check(CLI::Range(1, 20));
    listen->add_option("--expect", listenOptions.expected, "the word that will be said");
    listen->add_option("--best", listenOptions.best, "also ask for the best N words")->check(CLI::Range(1, 999));

    int pingCount = 4;
    int pingIntervalMs = 1000;
    auto *ping = app.add_subcommand("ping", "round trips of PING and PONG");
    ping->add_option("--count", pingCount, "pings to send (default 4)")->check(CLI::Range(1, 1000000));
    ping->add_option("--interval", pingIntervalMs, "milliseconds between pings (default 1000)")
        ->check(CLI::Range(0, 3600000));

    auto *vocabulary = app.add_subcommand("vocabulary", "the server's vocabulary (GETV)");

    std::vector<std::string> bestArgs;
    auto *best = app.add_subcommand("best", "[N] [FILE...]: stream each file, then ask for the best N words (GETB, "
                                            "default 5); with no file, ask on a fresh connection");
    best->add_option("args", bestArgs, "N, then the audio files");

    std::string word;
    std::vector<std::string> wordFiles;
    auto *addWord = app.add_subcommand("add-word", "enrol a word: ADDW, then each recording as its template");
    addWord->add_option("word", word, "the word (at most 20 characters of Windows-1250)")->required();
    addWord->add_option("files", wordFiles, "recordings of the word")->required();

    std::string replayPath;
    auto *replay = app.add_subcommand("replay", "send the packets of a file written by --record");
    replay->add_option("file", replayPath, "the recorded session")->required();

    for (CLI::App *sub : {recognise, listen, ping, vocabulary, best, addWord, replay}) sub->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return Usage(e.what());
    }

    const Clock::time_point start = Clock::now();
    std::unique_ptr<Trace> tracer = trace ? std::make_unique<Trace>(start) : nullptr;
    std::unique_ptr<Recorder> recorder;
    if (!recordPath.empty()) {
        if (concurrency > 1) return Usage("--record keeps one session: it needs --concurrency 1");
        try {
            recorder = std::make_unique<Recorder>(recordPath);
        } catch (const std::exception &e) {
            return Usage(e.what());
        }
    }

    RunOptions options;
    options.connection.endpoint = endpoint;
    options.connection.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(timeoutSeconds * 1000 + 0.5));
    options.connection.trace = tracer.get();
    options.connection.recorder = recorder.get();
    options.speed = fast ? std::nullopt : std::optional<double>(speed);
    options.concurrency = concurrency;

    RunInfo info;
    info.host = endpoint.host;
    info.port = endpoint.port;
    info.speed = options.speed;
    info.concurrency = concurrency;
    info.minAccuracyPercent = minAccuracy;
    info.json = json;
    info.progress = !json && !trace && !noProgress && ::isatty(2) != 0;

    std::vector<Item> items;
    if (*recognise) {
        if (files.empty() && listPath.empty()) return Usage("recognise needs audio files or --list LIST.tsv");
        for (const auto &f : files) items.push_back({f, WordFromFileName(f)});
        if (!listPath.empty()) {
            std::string error;
            if (!ReadList(listPath, &items, &error)) return Usage("cannot read the list " + listPath + ": " + error);
            if (items.empty()) return Usage("the list " + listPath + " names no file");
        }
    } else if (*best) {
        options.best = 5;
        std::size_t first = 0;
        if (!bestArgs.empty() && AllDigits(bestArgs[0])) {
            options.best = std::stoi(bestArgs[0]);
            if (options.best < 1) return Usage("best needs a count of at least 1");
            first = 1;
        }
        if (first == bestArgs.size())
            return Ask(options.connection, "best", std::string(tessary::mdlMSGConst::GETB), std::to_string(options.best), json);
        for (std::size_t i = first; i < bestArgs.size(); ++i)
            items.push_back({bestArgs[i], WordFromFileName(bestArgs[i])});
        info.command = "best";
    } else if (*addWord) {
        if (CharacterCount(word) > 20)
            return Usage("the word \"" + word + "\" has " + std::to_string(CharacterCount(word)) +
                         " characters; the window sends at most 20");
        if (const std::string missing = tessary::Cp1250Unrepresentable(word); !missing.empty())
            return Usage("the word \"" + word + "\" has characters that Windows-1250 lacks: " + missing);
        if (word.empty()) return Usage("add-word needs a word");
        options.addWord = word;
        options.concurrency = 1;
        info.concurrency = 1;
        info.command = "add-word";
        for (const auto &f : wordFiles) items.push_back({f, ""});
    } else if (*listen) {
        info.command = "listen";
        info.progress = false;
        Report report(info);
        return Listen(listenOptions, options, report);
    } else if (*ping) {
        return Ping(options.connection, pingCount, std::chrono::milliseconds(pingIntervalMs), json);
    } else if (*vocabulary) {
        return Ask(options.connection, "vocabulary", std::string(tessary::mdlMSGConst::GETV), "", json);
    } else if (*replay) {
        return Replay(replayPath, options.connection, json);
    }

    info.expectedCount = items.size();
    info.progress = info.progress && items.size() > 1;
    Report report(info);
    const bool fatal = RunList(items, options, report);
    return report.Finish(fatal);
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tessary-cli: %s\n", e.what());
        return 2;
    }
}
