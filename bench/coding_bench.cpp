// The Shorten decoder and every coding's conversion, on the suite's inputs.
//
// Inputs: the SPHERE files that bench/make_inputs.py writes, read from the
// folder named by the environment variable SONAVERT_BENCH_DATA. Without it
// (or for a file missing there) the input is made here: 60 seconds per
// channel of a synthetic speech-like signal, Shorten-coded by the test kit's
// encoder with the same settings and wrapped by its SPHERE writer.
//
// Items are samples (all channels), so items_per_second is samples per
// second; the counter "faults" is the minor page faults per call. Warm
// buffers: run with
//   GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=17179869184
// so that the allocator serves every block from its heap and keeps freed
// memory mapped; each call then writes into pages an earlier call touched
// and "faults" is 0. Without it, glibc maps blocks above 32 MiB afresh on
// every call, as a Python process does, and every such result pays its
// page faults.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <random>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "codecs/g711.hpp"
#include "common/bytes.hpp"
#include "pipeline/drivers.hpp"
#include "shorten/to_pcm.hpp"
#include "shorten_encoder.hpp"
#include "sphere/header.hpp"
#include "sphere_writer.hpp"

namespace sonavert {
namespace {

enum class Kind { ShortenMono, ShortenStereo, ShortenUlaw, Pcm16Le, Pcm16Be, Pcm32Le, Pcm32Be, Ulaw, Alaw };

struct KindInfo {
    const char* file;  // name in the data folder
    unsigned channels;
    unsigned rate;
};

KindInfo info(Kind kind) {
    switch (kind) {
        case Kind::ShortenMono: return {"shorten-16k-mono.sph", 1, 16000};
        case Kind::ShortenStereo: return {"shorten-16k-stereo.sph", 2, 16000};
        case Kind::ShortenUlaw: return {"shorten-ulaw-8k.sph", 2, 8000};
        case Kind::Pcm16Le: return {"pcm16le.sph", 2, 16000};
        case Kind::Pcm16Be: return {"pcm16be.sph", 2, 16000};
        case Kind::Pcm32Le: return {"pcm32le.sph", 2, 16000};
        case Kind::Pcm32Be: return {"pcm32be.sph", 2, 16000};
        case Kind::Ulaw: return {"ulaw.sph", 2, 8000};
        case Kind::Alaw: return {"alaw.sph", 2, 8000};
    }
    throw std::logic_error("unknown input kind");
}

constexpr double kSyntheticSeconds = 60.0;

// Speech-like test signal: voiced stretches of 80..250 ms (a fundamental of
// 90..220 Hz with falling harmonics under a raised-cosine envelope) between
// pauses of up to 150 ms, over a Gaussian noise floor of 2 steps.
std::vector<std::int16_t> synthetic_channel(unsigned rate, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> floor_noise(0.0, 2.0);
    const auto n = static_cast<std::size_t>(kSyntheticSeconds * rate);
    std::vector<std::int16_t> out(n);
    std::size_t i = 0;
    while (i < n) {
        const auto voiced = static_cast<std::size_t>((0.08 + 0.17 * unit(rng)) * rate);
        const auto pause = static_cast<std::size_t>(0.15 * unit(rng) * rate);
        const double f0 = 90.0 + 130.0 * unit(rng), level = 3000.0 + 9000.0 * unit(rng);
        for (std::size_t k = 0; k < voiced + pause && i < n; ++k, ++i) {
            double v = floor_noise(rng);
            if (k < voiced) {
                const double t = static_cast<double>(k) / rate;
                const double envelope = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(k) / voiced);
                for (int h = 1; h <= 6 && h * f0 < rate / 2.0; ++h) {
                    v += envelope * level / h * std::sin(2.0 * std::numbers::pi * h * f0 * t);
                }
            }
            out[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
        }
    }
    return out;
}

std::vector<std::int16_t> synthetic_interleaved(unsigned channels, unsigned rate) {
    std::vector<std::vector<std::int16_t>> parts;
    for (unsigned c = 0; c < channels; ++c) parts.push_back(synthetic_channel(rate, 7 + c));
    std::vector<std::int16_t> out(parts[0].size() * channels);
    for (std::size_t f = 0; f < parts[0].size(); ++f) {
        for (unsigned c = 0; c < channels; ++c) out[f * channels + c] = parts[c][f];
    }
    return out;
}

// The G.711 code whose expansion is nearest to each sample.
std::vector<std::uint8_t> compand(const std::vector<std::int16_t>& pcm, bool alaw) {
    const codecs::G711Table levels = codecs::make_g711_table(alaw);
    std::vector<std::uint8_t> nearest(65536);
    for (int v = -32768; v <= 32767; ++v) {
        int best = 0;
        for (int code = 1; code < 256; ++code) {
            if (std::abs(levels[code] - v) < std::abs(levels[best] - v)) best = code;
        }
        nearest[static_cast<std::uint16_t>(v)] = static_cast<std::uint8_t>(best);
    }
    std::vector<std::uint8_t> out(pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i) out[i] = nearest[static_cast<std::uint16_t>(pcm[i])];
    return out;
}

template <class T>
ByteView bytes_of(const std::vector<T>& v) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(T));
}

template <class T>
T must(Result<T> r) {
    if (!r) throw std::runtime_error("making a benchmark input failed: " + r.error().message);
    return std::move(*r);
}

std::vector<std::uint8_t> sphere_file(const KindInfo& k, std::size_t frames, unsigned n_bytes,
                                      const char* byte_format, const char* coding, ByteView payload) {
    testkit::SphereWriter w;
    w.add_int("channel_count", k.channels)
        .add_int("sample_count", static_cast<std::int64_t>(frames))
        .add_int("sample_rate", k.rate)
        .add_int("sample_n_bytes", n_bytes)
        .add_string("sample_byte_format", byte_format)
        .add_string("sample_coding", coding);
    return must(w.build(payload));
}

std::vector<std::uint8_t> synthesize(Kind kind) {
    const KindInfo k = info(kind);
    const std::vector<std::int16_t> pcm = synthetic_interleaved(k.channels, k.rate);
    const std::size_t frames = pcm.size() / k.channels;
    testkit::ShortenOptions shorten;
    shorten.channels = k.channels;
    shorten.blocksize = 256;
    shorten.maxnlpc = 0;
    switch (kind) {
        case Kind::ShortenMono:
        case Kind::ShortenStereo:
            shorten.nmean = 4;
            return sphere_file(k, frames, 2, "01", "pcm,embedded-shorten-v2.00",
                               bytes_of(must(testkit::encode_shorten_pcm16(bytes_of(pcm), shorten))));
        case Kind::ShortenUlaw:
            shorten.nmean = 0;
            shorten.sample_type = 8;
            return sphere_file(k, frames, 1, "1", "ulaw,embedded-shorten-v2.00",
                               bytes_of(must(testkit::encode_shorten_mulaw(bytes_of(compand(pcm, false)), shorten))));
        case Kind::Pcm16Le:
        case Kind::Pcm16Be: {
            std::vector<std::uint8_t> payload(bytes_of(pcm).begin(), bytes_of(pcm).end());
            const bool big = kind == Kind::Pcm16Be;
            if (big) {
                for (std::size_t i = 0; i + 1 < payload.size(); i += 2) std::swap(payload[i], payload[i + 1]);
            }
            return sphere_file(k, frames, 2, big ? "10" : "01", "pcm", bytes_of(payload));
        }
        case Kind::Pcm32Le:
        case Kind::Pcm32Be: {
            const bool big = kind == Kind::Pcm32Be;
            std::vector<std::uint8_t> payload(pcm.size() * 4);
            for (std::size_t i = 0; i < pcm.size(); ++i) {
                const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(pcm[i]) * 65536 + 12345);
                for (unsigned b = 0; b < 4; ++b) payload[4 * i + (big ? 3 - b : b)] = static_cast<std::uint8_t>(v >> 8 * b);
            }
            return sphere_file(k, frames, 4, big ? "10" : "01", "pcm", bytes_of(payload));
        }
        case Kind::Ulaw:
        case Kind::Alaw: {
            const bool alaw = kind == Kind::Alaw;
            return sphere_file(k, frames, 1, "1", alaw ? "alaw" : "ulaw", bytes_of(compand(pcm, alaw)));
        }
    }
    throw std::logic_error("unknown input kind");
}

struct Input {
    std::vector<std::uint8_t> file;
    ByteView payload;       // the part after the header
    std::uint64_t samples;  // all channels
};

// The input of a kind, loaded or made once per process.
const Input& input(Kind kind) {
    static std::map<Kind, Input> cache;
    auto found = cache.find(kind);
    if (found != cache.end()) return found->second;
    Input in;
    if (const char* dir = std::getenv("SONAVERT_BENCH_DATA")) {
        std::ifstream f(std::string(dir) + "/" + info(kind).file, std::ios::binary);
        if (f) in.file.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (in.file.empty()) in.file = synthesize(kind);
    const sphere::SphereHeader header = must(sphere::parse_header(ByteView(in.file)));
    in.payload = header.payload;
    const std::optional<std::string_view> count = header.fields.find("sample_count");
    in.samples = std::stoull(std::string(count.value_or("0"))) * info(kind).channels;
    return cache.emplace(kind, std::move(in)).first->second;
}

long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Runs `call` (which returns the result's size, or 0 after reporting an
// error to `state`) once per iteration and sets the counters.
template <class Call>
void measure(benchmark::State& state, const Input& in, Call call) {
    const long faults_before = minor_faults();
    for (auto _ : state) {
        benchmark::DoNotOptimize(call());
    }
    const auto iterations = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.samples));
    state.counters["faults"] = static_cast<double>(minor_faults() - faults_before) / iterations;
}

void BM_ShortenToPcm(benchmark::State& state, Kind kind) {
    const Input& in = input(kind);
    measure(state, in, [&] {
        Result<shorten::ShortenPcm> r = shorten::shorten_to_pcm(in.payload);
        if (!r) state.SkipWithError(r.error().message.c_str());
        return r ? r->pcm.size() : 0;
    });
}

void BM_DecodePcm(benchmark::State& state, Kind kind) {
    const Input& in = input(kind);
    measure(state, in, [&] {
        Result<ByteBuffer> r = pipeline::decode_pcm(ByteView(in.file));
        if (!r) state.SkipWithError(r.error().message.c_str());
        return r ? r->size() : 0;
    });
}

void BM_Transcode(benchmark::State& state, Kind kind) {
    const Input& in = input(kind);
    measure(state, in, [&] {
        Result<ByteBuffer> r = pipeline::transcode_to_wav(ByteView(in.file));
        if (!r) state.SkipWithError(r.error().message.c_str());
        return r ? r->size() : 0;
    });
}

// The G.711 expansion alone, over the payload of a G.711 file.
void BM_G711Expand(benchmark::State& state, Kind kind) {
    const Input& in = input(kind);
    measure(state, in, [&] { return codecs::expand_g711(in.payload, kind == Kind::Alaw).size(); });
}

#define SV_BENCH(fn, name, kind) BENCHMARK_CAPTURE(fn, name, kind)->Unit(benchmark::kMillisecond)->MinTime(0.3)
SV_BENCH(BM_ShortenToPcm, shorten_16k_stereo, Kind::ShortenStereo);
SV_BENCH(BM_ShortenToPcm, shorten_16k_mono, Kind::ShortenMono);
SV_BENCH(BM_ShortenToPcm, shorten_ulaw_8k, Kind::ShortenUlaw);
SV_BENCH(BM_G711Expand, ulaw, Kind::Ulaw);
SV_BENCH(BM_G711Expand, alaw, Kind::Alaw);
SV_BENCH(BM_DecodePcm, shorten_16k_stereo, Kind::ShortenStereo);
SV_BENCH(BM_DecodePcm, shorten_16k_mono, Kind::ShortenMono);
SV_BENCH(BM_DecodePcm, shorten_ulaw_8k, Kind::ShortenUlaw);
SV_BENCH(BM_DecodePcm, pcm16le, Kind::Pcm16Le);
SV_BENCH(BM_DecodePcm, pcm16be, Kind::Pcm16Be);
SV_BENCH(BM_DecodePcm, pcm32le, Kind::Pcm32Le);
SV_BENCH(BM_DecodePcm, pcm32be, Kind::Pcm32Be);
SV_BENCH(BM_DecodePcm, ulaw, Kind::Ulaw);
SV_BENCH(BM_DecodePcm, alaw, Kind::Alaw);
SV_BENCH(BM_Transcode, shorten_16k_stereo, Kind::ShortenStereo);
SV_BENCH(BM_Transcode, shorten_16k_mono, Kind::ShortenMono);
SV_BENCH(BM_Transcode, shorten_ulaw_8k, Kind::ShortenUlaw);
SV_BENCH(BM_Transcode, pcm16le, Kind::Pcm16Le);
SV_BENCH(BM_Transcode, pcm16be, Kind::Pcm16Be);
SV_BENCH(BM_Transcode, pcm32le, Kind::Pcm32Le);
SV_BENCH(BM_Transcode, pcm32be, Kind::Pcm32Be);
SV_BENCH(BM_Transcode, ulaw, Kind::Ulaw);
SV_BENCH(BM_Transcode, alaw, Kind::Alaw);

}  // namespace
}  // namespace sonavert
