#include "material.h"

#include "speech.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tessary {
namespace {

// espeak-ng voice variants that are trained on, and those kept back.
const std::vector<std::string> kTrainedVariants = {
    "",       "m1",     "m2",   "m4",      "m6",    "m8",     "f1",    "f2",     "f4",   "f5",
    "klatt",  "klatt2", "klatt4", "klatt6", "adam", "anika",  "boris", "david",  "edward", "grandpa",
    "linda",  "max",    "norbert", "paul",  "robert", "steph", "victor", "zac",  "Andy",  "Annie",
    "Mike",   "quincy",
};
const std::vector<std::string> kHeldOutVariants = {"m3", "m5", "m7", "f3", "croak", "klatt3", "iven", "benjamin"};
constexpr int kRenditionsPerVariant = 2;

const std::vector<double> kDitaStretches = {0.8, 0.9, 1.0, 1.15, 1.3};
const std::vector<double> kMachacStretches = {0.9, 1.0, 1.15};
constexpr int kNaturalCopiesFactor = 3;

std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string HashName(std::string_view text) {
    char name[40];
    std::snprintf(name, sizeof name, "%016llx.raw", static_cast<unsigned long long>(Fnv1a(text)));
    return name;
}

std::vector<std::int16_t> ReadRaw(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                               (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return samples;
}

void WriteRaw(const std::filesystem::path &file, const std::vector<std::int16_t> &samples) {
    const std::filesystem::path temp = file.string() + ".tmp" + std::to_string(::getpid()) + "." +
                                       std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
    {
        std::ofstream out(temp, std::ios::binary);
        for (std::int16_t s : samples) {
            const auto u = static_cast<std::uint16_t>(s);
            out.put(static_cast<char>(u & 0xFF));
            out.put(static_cast<char>(u >> 8));
        }
        if (!out.flush()) throw std::runtime_error("cannot write " + temp.string());
    }
    std::filesystem::rename(temp, file);
}

// Runs a shell command whose standard output is 16-bit little-endian mono.
std::vector<std::int16_t> RunForSamples(const std::string &command) {
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run: " + command);
    std::vector<char> bytes;
    char buffer[8192];
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe);
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    const int status = ::pclose(pipe);
    if (status != 0 || bytes.size() < 2) throw std::runtime_error("failed: " + command);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                               (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return samples;
}

// The output of command, from the cache when it was made before; key names
// what command makes (the command itself when empty).
std::vector<std::int16_t> Cached(const std::string &command, const std::filesystem::path &cache,
                                 const std::string &key = {}) {
    return CachedRecording(key.empty() ? command : key, cache, [&] { return RunForSamples(command); });
}

const char *kToRaw8k = " -t raw -r 8000 -e signed-integer -b 16 -c 1 -L -";

std::string EspeakCommand(const std::string &word, const std::string &variant, int speed, int pitch) {
    const std::string voice = variant.empty() ? "cs" : "cs+" + variant;
    return "espeak-ng -v " + ShellQuote(voice) + " -s " + std::to_string(speed) + " -p " + std::to_string(pitch) +
           " --stdout -- " + ShellQuote(word) + " | sox -R -V1 -t wav -" + kToRaw8k;
}

// UTF-8 Czech text to ISO-8859-2, as Festival's Czech voices read it.
std::string ToLatin2(const std::string &utf8) {
    static const std::vector<std::pair<std::string, unsigned char>> map = {
        {"á", 0xE1}, {"č", 0xE8}, {"ď", 0xEF}, {"é", 0xE9}, {"ě", 0xEC}, {"í", 0xED}, {"ň", 0xF2},
        {"ó", 0xF3}, {"ř", 0xF8}, {"š", 0xB9}, {"ť", 0xBB}, {"ú", 0xFA}, {"ů", 0xF9}, {"ý", 0xFD},
        {"ž", 0xBE}, {"Á", 0xC1}, {"Č", 0xC8}, {"Ď", 0xCF}, {"É", 0xC9}, {"Ě", 0xCC}, {"Í", 0xCD},
        {"Ň", 0xD2}, {"Ó", 0xD3}, {"Ř", 0xD8}, {"Š", 0xA9}, {"Ť", 0xAB}, {"Ú", 0xDA}, {"Ů", 0xD9},
        {"Ý", 0xDD}, {"Ž", 0xAE}};
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += utf8[i++];
            continue;
        }
        bool found = false;
        for (const auto &[u, l] : map) {
            if (utf8.compare(i, u.size(), u) == 0) {
                out += static_cast<char>(l);
                i += u.size();
                found = true;
                break;
            }
        }
        if (!found) throw std::runtime_error("no ISO-8859-2 letter for the text " + utf8);
    }
    return out;
}

// Festival speaks every word with voice at stretch; the recordings land in
// the cache as 8000 Hz raw files named by what made them.
std::vector<std::vector<std::int16_t>> FestivalWords(const std::vector<std::string> &words, const std::string &voice,
                                                     double stretch, const std::filesystem::path &cache) {
    char stretchText[16];
    std::snprintf(stretchText, sizeof stretchText, "%.2f", stretch);
    std::vector<std::filesystem::path> files;
    bool all = true;
    for (const auto &w : words) {
        files.push_back(cache / HashName("festival -R " + voice + " " + stretchText + " " + w));
        all = all && std::filesystem::exists(files.back());
    }
    if (!all) {
        const std::filesystem::path dir = cache / ("festival-" + voice + "-" + stretchText);
        std::filesystem::create_directories(dir);
        std::string script = "(voice_czech_" + voice + ")\n(Parameter.set 'Duration_Stretch " + stretchText + ")\n";
        for (std::size_t i = 0; i < words.size(); ++i)
            script += "(utt.save.wave (utt.synth (Utterance Text \"" + ToLatin2(words[i]) + "\")) \"" +
                      (dir / (std::to_string(i) + ".wav")).string() + "\" 'riff)\n";
        const std::filesystem::path scriptFile = dir / "say.scm";
        {
            std::ofstream out(scriptFile, std::ios::binary);
            out << script;
        }
        const std::string command = "festival -b " + ShellQuote(scriptFile.string()) + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string wav = (dir / (std::to_string(i) + ".wav")).string();
            WriteRaw(files[i], RunForSamples("sox -R -V1 " + ShellQuote(wav) + kToRaw8k));
        }
        std::filesystem::remove_all(dir);
    }
    std::vector<std::vector<std::int16_t>> out;
    for (const auto &f : files) out.push_back(ReadRaw(f));
    return out;
}

struct Recipe {
    std::size_t base = 0;  // index of the base rendition
    std::string effects;   // sox effects
    int lead = 0;          // samples of background before the word
    int trail = 0;
    std::string noise;     // colour, or empty for none
    double snrDb = 0;
    std::uint32_t seed = 0;
};

}  // namespace

bool FestivalAvailable() {
    return std::system("command -v festival >/dev/null 2>&1") == 0 &&
           std::filesystem::exists("/usr/share/festival/voices/czech/czech_dita") &&
           std::filesystem::exists("/usr/share/festival/voices/czech/czech_machac");
}

std::vector<std::int16_t> SoxNoise(const std::string &colour, int seconds, const std::filesystem::path &cache) {
    return Cached("sox -R -V1 -n -r 8000 -c 1 -t raw -e signed-integer -b 16 -L - synth " + std::to_string(seconds) +
                      " " + colour + "noise vol 0.3",
                  cache);
}

std::vector<std::int16_t> MixNoise(const std::vector<std::int16_t> &samples, std::size_t speechBegin,
                                   std::size_t speechEnd, const std::vector<std::int16_t> &noise, double snrDb,
                                   std::uint32_t seed) {
    double power = 0;
    for (std::size_t i = speechBegin; i < speechEnd; ++i) power += static_cast<double>(samples[i]) * samples[i];
    power /= static_cast<double>(std::max<std::size_t>(1, speechEnd - speechBegin));
    double noisePower = 0;
    for (std::int16_t s : noise) noisePower += static_cast<double>(s) * s;
    noisePower /= static_cast<double>(std::max<std::size_t>(1, noise.size()));
    const double scale = noisePower > 0 ? std::sqrt(power / std::pow(10.0, snrDb / 10.0) / noisePower) : 0.0;
    std::mt19937 random(seed);
    std::size_t at = noise.empty() ? 0 : random() % noise.size();
    std::vector<std::int16_t> out(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double n = noise.empty() ? 0.0 : noise[at] * scale;
        if (!noise.empty() && ++at == noise.size()) at = 0;
        out[i] = static_cast<std::int16_t>(std::clamp(std::lround(samples[i] + n), -32768L, 32767L));
    }
    return out;
}

std::vector<Rendition> MakeMaterial(const std::vector<std::string> &words, const MaterialOptions &options) {
    std::filesystem::create_directories(options.cache);
    auto progress = [&](const std::string &line) {
        if (options.progress) options.progress(line);
    };

    // Base renditions by espeak-ng.
    struct EspeakJob {
        std::string word, variant;
        int speed, pitch;
        bool heldOut;
    };
    std::vector<EspeakJob> espeak;
    auto addVariants = [&](const std::vector<std::string> &variants, bool heldOut) {
        for (const std::string &variant : variants) {
            std::mt19937 random(static_cast<std::uint32_t>(Fnv1a("voice " + variant)));
            for (int r = 0; r < kRenditionsPerVariant; ++r) {
                const int speed = 120 + static_cast<int>(random() % 111);  // 120..230 words a minute
                const int pitch = 20 + static_cast<int>(random() % 61);    // 20..80
                for (const std::string &w : words) espeak.push_back({w, variant, speed, pitch, heldOut});
            }
        }
    };
    if (!options.heldOutOnly) addVariants(kTrainedVariants, false);
    addVariants(kHeldOutVariants, true);
    std::vector<Rendition> base(espeak.size());
    progress("speaking " + std::to_string(espeak.size()) + " words with espeak-ng");
    Parallel(espeak.size(), options.threads, [&](std::size_t i) {
        const EspeakJob &j = espeak[i];
        Rendition &r = base[i];
        r.word = j.word;
        r.speaker = "espeak cs" + (j.variant.empty() ? "" : "+" + j.variant);
        r.source = r.speaker + " s" + std::to_string(j.speed) + " p" + std::to_string(j.pitch);
        r.heldOut = j.heldOut;
        r.samples = Cached(EspeakCommand(j.word, j.variant, j.speed, j.pitch), options.cache);
    });

    // Base renditions by Festival.
    if (options.festival) {
        struct FestivalJob {
            std::string voice;
            double stretch;
            bool heldOut;
        };
        std::vector<FestivalJob> jobs;
        for (const auto &[voice, stretches] : {std::pair{"dita", &kDitaStretches}, std::pair{"machac", &kMachacStretches}}) {
            const bool heldOut = options.heldOutVoice == voice;
            if (options.heldOutOnly && !heldOut) continue;
            for (double s : *stretches) jobs.push_back({voice, s, heldOut});
        }
        progress("speaking " + std::to_string(jobs.size() * words.size()) + " words with Festival");
        std::vector<std::vector<std::vector<std::int16_t>>> spoken(jobs.size());
        Parallel(jobs.size(), options.threads, [&](std::size_t i) {
            spoken[i] = FestivalWords(words, jobs[i].voice, jobs[i].stretch, options.cache);
        });
        for (std::size_t i = 0; i < jobs.size(); ++i)
            for (std::size_t w = 0; w < words.size(); ++w) {
                Rendition r;
                r.word = words[w];
                r.speaker = "festival " + jobs[i].voice;
                char stretch[16];
                std::snprintf(stretch, sizeof stretch, "%.2f", jobs[i].stretch);
                r.source = r.speaker + " stretch " + stretch;
                r.heldOut = jobs[i].heldOut;
                r.samples = std::move(spoken[i][w]);
                base.push_back(std::move(r));
            }
    }

    // Augmented copies of the training renditions.
    std::vector<Recipe> recipes;
    for (std::size_t b = 0; b < base.size(); ++b) {
        if (base[b].heldOut) continue;
        std::mt19937 random(static_cast<std::uint32_t>(Fnv1a(base[b].source + " " + base[b].word)));
        auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
        // The natural voices are few: they get more copies, over a wider
        // range of vocal tracts (a female voice made to sound male).
        const bool natural = base[b].speaker.starts_with("festival");
        const int copies = natural ? kNaturalCopiesFactor * options.augmentedCopies : options.augmentedCopies;
        for (int c = 0; c < copies; ++c) {
            Recipe recipe;
            recipe.base = b;
            char text[160];
            const double speed = natural ? uniform(0.78, 1.2) : uniform(0.88, 1.14);  // formants and pitch move together
            const double tempo = uniform(0.85, 1.2) / speed;
            // Below 0.86 the slowed rate falls under the telephone band's top:
            // back to 8000 Hz first.
            std::snprintf(text, sizeof text, speed < 0.86 ? "speed %.3f rate 8000 tempo -s %.3f" : "speed %.3f tempo -s %.3f",
                          speed, tempo);
            recipe.effects = text;
            if (uniform(0, 1) < 0.3) recipe.effects += " sinc 300-3400";
            if (uniform(0, 1) < 0.3) {
                std::snprintf(text, sizeof text, " reverb %d 50 %d", static_cast<int>(uniform(20, 70)),
                              static_cast<int>(uniform(20, 80)));
                recipe.effects += text;
            }
            std::snprintf(text, sizeof text, " gain %.1f", uniform(-20.0, 6.0));
            recipe.effects += text;
            recipe.lead = static_cast<int>(uniform(0, 8000));
            recipe.trail = static_cast<int>(uniform(0, 8000));
            if (uniform(0, 1) < 0.75) {
                static const char *kColours[] = {"white", "pink", "brown"};
                recipe.noise = kColours[random() % 3];
                recipe.snrDb = uniform(5.0, 30.0);
            }
            recipe.seed = static_cast<std::uint32_t>(random());
            recipes.push_back(std::move(recipe));
        }
    }
    std::vector<std::int16_t> noises[3];
    const char *colours[] = {"white", "pink", "brown"};
    for (int i = 0; i < 3; ++i) noises[i] = SoxNoise(colours[i], 20, options.cache);
    progress("augmenting " + std::to_string(recipes.size()) + " recordings with sox");
    // The base recordings are handed to sox through files of the cache.
    // Every other augmented copy comes twice: as its recipe says, and in
    // white or pink noise at 8 to 20 dB SNR.
    std::vector<Rendition> augmented(recipes.size());
    std::vector<Rendition> noisy(recipes.size());
    Parallel(recipes.size(), options.threads, [&](std::size_t i) {
        const Recipe &recipe = recipes[i];
        const Rendition &from = base[recipe.base];
        std::vector<std::int16_t> word =
            SoxEffects(from.samples, "base " + from.source + " " + from.word, recipe.effects, options.cache);
        std::vector<std::int16_t> padded(static_cast<std::size_t>(recipe.lead), 0);
        padded.insert(padded.end(), word.begin(), word.end());
        padded.resize(padded.size() + static_cast<std::size_t>(recipe.trail), 0);
        Rendition &r = augmented[i];
        r.word = from.word;
        r.speaker = from.speaker;
        r.source = from.source + " | " + recipe.effects;
        if (i % 2 == 0) {
            Rendition &n = noisy[i];
            n.word = from.word;
            n.speaker = from.speaker;
            const int colour = static_cast<int>(recipe.seed % 2);
            const double snr = 8.0 + static_cast<double>(recipe.seed % 1201) / 100.0;
            n.samples = MixNoise(padded, static_cast<std::size_t>(recipe.lead),
                                 static_cast<std::size_t>(recipe.lead) + word.size(), noises[colour], snr,
                                 recipe.seed + 1);
            char text[64];
            std::snprintf(text, sizeof text, " + %s noise %.0f dB", colour ? "pink" : "white", snr);
            n.source = r.source + text;
        }
        if (!recipe.noise.empty()) {
            const int colour = recipe.noise == "white" ? 0 : recipe.noise == "pink" ? 1 : 2;
            r.samples = MixNoise(padded, static_cast<std::size_t>(recipe.lead),
                                 static_cast<std::size_t>(recipe.lead) + word.size(), noises[colour], recipe.snrDb,
                                 recipe.seed);
            char text[64];
            std::snprintf(text, sizeof text, " + %s noise %.0f dB", recipe.noise.c_str(), recipe.snrDb);
            r.source += text;
        } else {
            r.samples = std::move(padded);
        }
    });
    for (auto &r : augmented) base.push_back(std::move(r));
    for (auto &r : noisy)
        if (!r.samples.empty()) base.push_back(std::move(r));
    return base;
}

std::vector<std::int16_t> CachedRecording(const std::string &key, const std::filesystem::path &cache,
                                          const std::function<std::vector<std::int16_t>()> &make) {
    const std::filesystem::path file = cache / HashName(key);
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) return ReadRaw(file);
    std::filesystem::create_directories(cache);
    std::vector<std::int16_t> samples = make();
    WriteRaw(file, samples);
    return samples;
}

std::vector<std::int16_t> SoxEffects(const std::vector<std::int16_t> &samples, const std::string &key,
                                     const std::string &effects, const std::filesystem::path &cache) {
    // The samples are handed to sox through a file of the cache.
    const std::filesystem::path baseFile = cache / HashName(key);
    std::error_code ec;
    if (!std::filesystem::exists(baseFile, ec)) {
        std::filesystem::create_directories(cache);
        WriteRaw(baseFile, samples);
    }
    const std::string command = "sox -R -V1 -t raw -r 8000 -e signed-integer -b 16 -c 1 -L " +
                                ShellQuote(baseFile.string()) + kToRaw8k + " " + effects;
    return Cached(command, cache, "sox " + key + " " + effects);
}

void Parallel(std::size_t count, int threads, const std::function<void(std::size_t)> &job) {
    std::atomic<std::size_t> next{0};
    std::mutex errorMutex;
    std::exception_ptr error;
    auto work = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) return;
            try {
                job(i);
            } catch (...) {
                std::lock_guard lock(errorMutex);
                if (!error) error = std::current_exception();
                next = count;
            }
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::max(1, threads); ++t) pool.emplace_back(work);
    work();
    for (auto &t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace tessary
