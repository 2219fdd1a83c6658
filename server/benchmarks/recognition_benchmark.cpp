// The work the server does after "REST": endpoint detection and time warping
// of one utterance against every model of the seed vocabulary. The
// utterances are held-out espeak-ng renditions with 300 ms of silence on
// either side, as a live recording has.
#include <benchmark/benchmark.h>


#include "conversation.h"
#include "frame_features.h"
#include "recognizer.h"
#include "speech.h"
#include "vocabulary.h"

namespace tessary {
namespace {

const VocabularyState &Seed() {
    static const VocabularyState seed = LoadVocabularyFile(TESSARY_SEED_FILE);
    return seed;
}

std::vector<float> UtteranceOf(const char *word) {
    return AnalyzeRecording(Pad(Speak(word, Voice{"cs", 150, 40}), 2400, 2400));
}

void RecogniseAfterRest(benchmark::State &state, const char *word) {
    const VocabularyState &seed = Seed();
    const std::vector<float> frames = UtteranceOf(word);
    for (auto _ : state) {
        const std::vector<float> speech = CutSpeech(frames);
        auto ranking = Rank(speech, seed);
        benchmark::DoNotOptimize(ranking.data());
    }
    state.counters["frames"] = static_cast<double>(frames.size() / kFrameFloats);
    state.counters["words"] = static_cast<double>(seed.words.size());
}

BENCHMARK_CAPTURE(RecogniseAfterRest, ne, "ne")->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(RecogniseAfterRest, dva, "dva")->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(RecogniseAfterRest, chaloupka, "chaloupka")
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace tessary
