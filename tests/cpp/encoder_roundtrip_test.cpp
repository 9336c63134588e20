// Round trips: streams from the test kit's encoder decode back to exactly
// the samples it was given, over random signals and every encoder feature;
// and FFmpeg, where installed, reads the same PCM out of them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codecs/g711.hpp"
#include "shorten/to_pcm.hpp"
#include "shorten_encoder.hpp"
#include "sphere_writer.hpp"

namespace sonavert::testkit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int32_t>;

Bytes to_bytes(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

// Interleaved samples as the 16-bit PCM the decoder delivers (clamped).
Bytes expected_pcm(const Samples& samples) {
    Bytes out;
    out.reserve(samples.size() * 2);
    for (std::int32_t v : samples) {
        const auto s = static_cast<std::uint16_t>(std::clamp(v, -32768, 32767));
        out.push_back(static_cast<std::uint8_t>(s));
        out.push_back(static_cast<std::uint8_t>(s >> 8));
    }
    return out;
}

// ---- signal generators -------------------------------------------------------

enum class Signal { Noise, QuietNoise, Sweep, Silence, Extremes, Steps, Shifted, Eighths, Mixed, Wide };

const char* name_of(Signal s) {
    switch (s) {
        case Signal::Noise: return "noise";
        case Signal::QuietNoise: return "quiet noise";
        case Signal::Sweep: return "sine sweep";
        case Signal::Silence: return "silence";
        case Signal::Extremes: return "full-scale extremes";
        case Signal::Steps: return "steps";
        case Signal::Shifted: return "multiples of powers of two";
        case Signal::Eighths: return "multiples of 8";
        case Signal::Mixed: return "mixed segments";
        case Signal::Wide: return "32-bit values";
    }
    return "?";
}

std::int32_t draw(Signal kind, std::size_t i, std::uint32_t c, std::mt19937_64& rng) {
    const auto uniform = [&](std::int64_t lo, std::int64_t hi) {
        return static_cast<std::int32_t>(lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1)));
    };
    switch (kind) {
        case Signal::Noise: return uniform(-32768, 32767);
        case Signal::QuietNoise: return uniform(-3, 3);
        case Signal::Sweep: {
            const double t = static_cast<double>(i);
            return static_cast<std::int32_t>(std::lround(30000.0 * std::sin(0.0005 * t * t / 64.0 + c)));
        }
        case Signal::Silence: return 0;
        case Signal::Extremes: {
            const std::int32_t e[] = {32767, -32768, -32767, 0};
            return e[rng() % 4];
        }
        case Signal::Steps: return static_cast<std::int32_t>((i / 37) % 5) * 8000 - 16000 + static_cast<std::int32_t>(c);
        case Signal::Shifted: {
            const int shift = static_cast<int>((i / 50) % 8);
            return uniform(-(32768 >> shift), (32767 >> shift)) * (1 << shift);
        }
        case Signal::Eighths: return uniform(-4096, 4095) * 8;
        case Signal::Mixed: {
            const std::size_t segment = (i / 97) % 4;
            if (segment == 0) return 0;
            if (segment == 1) return uniform(-32768, 32767);
            if (segment == 2) return static_cast<std::int32_t>(std::lround(20000.0 * std::sin(0.01 * i)));
            return 4 * uniform(-100, 100);
        }
        case Signal::Wide: return static_cast<std::int32_t>(rng());
    }
    return 0;
}

Samples generate(Signal kind, std::size_t frames, std::uint32_t channels, std::mt19937_64& rng) {
    Samples s(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < channels; ++c) s[f * channels + c] = draw(kind, f, c, rng);
    }
    return s;
}

// Encodes, decodes with shorten_to_pcm, and compares with the input.
void expect_round_trip(const Samples& samples, const ShortenOptions& o, const std::string& what) {
    const Result<Bytes> stream = encode_shorten(samples, o);
    ASSERT_TRUE(stream.has_value()) << what << ": " << stream.error().message;
    const Result<shorten::ShortenPcm> pcm = shorten::shorten_to_pcm(ByteView(stream->data(), stream->size()));
    ASSERT_TRUE(pcm.has_value()) << what << ": " << pcm.error().message;
    EXPECT_EQ(pcm->channel_count, o.channels) << what;
    EXPECT_EQ(pcm->is_ulaw, o.sample_type == 8) << what;
    if (o.sample_type == 8) {
        Bytes codes;
        for (std::int32_t v : samples) codes.push_back(static_cast<std::uint8_t>(v >= 0 ? 0xFF - v : 0x80 + v));
        EXPECT_EQ(to_bytes(pcm->pcm), to_bytes(codecs::expand_g711(ByteView(codes.data(), codes.size()), false)))
            << what;
    } else {
        ASSERT_EQ(pcm->pcm.size(), samples.size() * 2) << what;
        EXPECT_TRUE(to_bytes(pcm->pcm) == expected_pcm(samples)) << what;
    }
}

// ---- properties ----------------------------------------------------------------

TEST(EncoderRoundTrip, RandomSignalsAndSettings) {
    std::mt19937_64 rng(20240607);
    const Signal kinds[] = {Signal::Noise, Signal::QuietNoise, Signal::Sweep,   Signal::Silence, Signal::Extremes,
                            Signal::Steps, Signal::Shifted,    Signal::Eighths, Signal::Mixed};
    const std::uint32_t blocksizes[] = {1, 2, 3, 5, 16, 64, 255, 256, 1000};
    const std::uint32_t nmeans[] = {0, 0, 1, 2, 4, 4, 64, 65536};
    const std::uint32_t lpc_orders[] = {0, 0, 0, 1, 2, 3, 8, 32, 40};
    for (int trial = 0; trial < 400; ++trial) {
        const Signal kind = kinds[trial % std::size(kinds)];
        ShortenOptions o;
        o.channels = trial % 9 == 0 ? 8 : 1 + static_cast<std::uint32_t>(rng() % 3);
        o.sample_type = rng() % 4 == 0 ? 3 : 5;
        o.blocksize = blocksizes[rng() % std::size(blocksizes)];
        o.nmean = nmeans[rng() % std::size(nmeans)];
        o.maxnlpc = lpc_orders[rng() % std::size(lpc_orders)];
        o.nskip = rng() % 5 == 0 ? static_cast<std::uint32_t>(rng() % 20) : 0;
        if (rng() % 4 == 0) o.bitshift = 0;
        if (rng() % 4 == 0) {
            for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k) {
                o.blocksize_schedule.push_back(1 + static_cast<std::uint32_t>(rng() % 300));
            }
        }
        if (rng() % 5 == 0) o.leading_verbatim = {'R', 'I', 'F', 'F', 0, 255};
        if (rng() % 5 == 0) o.verbatim_inserts = {{rng() % 10, {1, 2, 3}}, {rng() % 10, {}}};
        const std::size_t frames = rng() % 8 == 0 ? rng() % 4 : rng() % 3000;
        const Samples samples = generate(kind, frames, o.channels, rng);
        expect_round_trip(samples, o,
                          "trial " + std::to_string(trial) + " (" + name_of(kind) + ", " +
                              std::to_string(frames) + " frames of " + std::to_string(o.channels) + " channels)");
        if (HasFatalFailure() || HasFailure()) return;
    }
}

TEST(EncoderRoundTrip, EveryFeatureOnItsOwn) {
    std::mt19937_64 rng(99);
    struct Case {
        const char* what;
        Signal kind;
        void (*tweak)(ShortenOptions&);
    };
    const Case cases[] = {
        {"blocksize 1", Signal::Sweep, [](ShortenOptions& o) { o.blocksize = 1; }},
        {"QLPC on a sweep", Signal::Sweep, [](ShortenOptions& o) { o.maxnlpc = 16; }},
        {"QLPC with a deep history", Signal::Mixed, [](ShortenOptions& o) { o.maxnlpc = 1024; }},
        {"fixed bitshift 3", Signal::Eighths, [](ShortenOptions& o) { o.bitshift = 3; }},
        {"BLOCKSIZE changes every cycle", Signal::Noise,
         [](ShortenOptions& o) { o.blocksize_schedule = {1, 7, 256, 3}; }},
        {"VERBATIM everywhere", Signal::Steps,
         [](ShortenOptions& o) {
             o.leading_verbatim = Bytes(44, 0x5A);
             for (std::uint64_t b = 0; b < 40; b += 3) o.verbatim_inserts.push_back({b, {static_cast<std::uint8_t>(b)}});
         }},
        {"eight channels", Signal::Extremes, [](ShortenOptions& o) { o.channels = 8; }},
        {"nmean 65536", Signal::Steps, [](ShortenOptions& o) { o.nmean = 65536; }},
        {"nskip", Signal::QuietNoise, [](ShortenOptions& o) { o.nskip = 1000; }},
        {"header blocksize above the input", Signal::Noise, [](ShortenOptions& o) { o.blocksize = 100000; }},
    };
    for (const Case& c : cases) {
        ShortenOptions o;
        c.tweak(o);
        expect_round_trip(generate(c.kind, 2000, o.channels, rng), o, c.what);
    }
}

TEST(EncoderRoundTrip, WideValuesComeBackClamped) {
    // Values beyond 16 bits travel through the stream unchanged and are
    // clamped only by the PCM conversion; alternating 32-bit extremes push
    // the DIFF3 residuals to 35 bits.
    std::mt19937_64 rng(4);
    Samples samples = generate(Signal::Wide, 1500, 2, rng);
    for (std::size_t i = 0; i < 200; ++i) samples[i] = (i % 2) ? INT32_MIN : INT32_MAX;
    for (std::uint32_t maxnlpc : {0u, 4u}) {
        ShortenOptions o;
        o.channels = 2;
        o.maxnlpc = maxnlpc;
        expect_round_trip(samples, o, "wide, maxnlpc " + std::to_string(maxnlpc));
    }
}

TEST(EncoderRoundTrip, MulawCodes) {
    std::mt19937_64 rng(8);
    Samples all_codes(256), random(5000), quiet(3000);
    for (int c = 0; c < 256; ++c) all_codes[c] = mulaw_code_to_value(static_cast<std::uint8_t>(c));
    for (auto& v : random) v = mulaw_code_to_value(static_cast<std::uint8_t>(rng()));
    for (std::size_t i = 0; i < quiet.size(); ++i) quiet[i] = (i / 300) % 2 ? 0 : static_cast<std::int32_t>(rng() % 5) - 2;
    for (std::uint32_t blocksize : {1u, 13u, 256u}) {
        for (std::uint32_t maxnlpc : {0u, 5u}) {
            for (std::uint32_t channels : {1u, 2u}) {
                ShortenOptions o;
                o.sample_type = 8;
                o.blocksize = blocksize;
                o.maxnlpc = maxnlpc;
                o.channels = channels;
                o.nmean = blocksize == 13 ? 0 : 4;
                const std::string what = "blocksize " + std::to_string(blocksize) + ", maxnlpc " +
                                         std::to_string(maxnlpc) + ", channels " + std::to_string(channels);
                expect_round_trip(all_codes, o, "all codes, " + what);
                expect_round_trip(random, o, "random codes, " + what);
                expect_round_trip(quiet, o, "quiet codes, " + what);
            }
        }
    }
}

// ---- FFmpeg cross-check -----------------------------------------------------------

bool ffmpeg_available() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

Bytes read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(EncoderFfmpeg, SphereShortenFilesGiveTheSamePcm) {
    if (!ffmpeg_available()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("sonavert_encoder_ffmpeg_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::mt19937_64 rng(77);
    struct Case {
        Signal kind;
        std::uint32_t channels, blocksize, nmean, maxnlpc;
        std::size_t frames;
    };
    const Case cases[] = {
        {Signal::Sweep, 1, 256, 4, 0, 20000},   {Signal::Mixed, 2, 256, 4, 0, 9001},
        {Signal::Noise, 2, 100, 0, 0, 3333},    {Signal::Steps, 1, 1000, 4, 8, 7777},
        {Signal::Sweep, 2, 256, 4, 16, 10000},  {Signal::Extremes, 1, 31, 2, 3, 5000},
        {Signal::QuietNoise, 1, 256, 4, 0, 4096},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string what = std::string(name_of(c.kind)) + ", case " + std::to_string(index);
        ShortenOptions o;
        o.channels = c.channels;
        o.blocksize = c.blocksize;
        o.nmean = c.nmean;
        o.maxnlpc = c.maxnlpc;
        o.bitshift = 0;
        const Samples samples = generate(c.kind, c.frames, c.channels, rng);
        const Result<Bytes> stream = encode_shorten(samples, o);
        ASSERT_TRUE(stream.has_value()) << what;
        SphereWriter w;
        w.add_int("channel_count", c.channels)
            .add_int("sample_count", static_cast<std::int64_t>(c.frames))
            .add_int("sample_rate", 16000)
            .add_int("sample_n_bytes", 2)
            .add_string("sample_byte_format", "01")
            .add_string("sample_coding", "pcm,embedded-shorten-v2.00");
        const Result<Bytes> file = w.build(ByteView(stream->data(), stream->size()));
        ASSERT_TRUE(file.has_value()) << what;
        const std::filesystem::path sph = dir / ("case" + std::to_string(index) + ".sph");
        const std::filesystem::path raw = dir / ("case" + std::to_string(index) + ".raw");
        std::ofstream(sph, std::ios::binary).write(reinterpret_cast<const char*>(file->data()),
                                                   static_cast<std::streamsize>(file->size()));
        const std::string command = "ffmpeg -v error -y -i '" + sph.string() + "' -f s16le '" + raw.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << what << ": " << command;

        const Result<shorten::ShortenPcm> ours = shorten::shorten_to_pcm(ByteView(stream->data(), stream->size()));
        ASSERT_TRUE(ours.has_value()) << what << ": " << ours.error().message;
        const Bytes theirs = read_all(raw);
        EXPECT_EQ(theirs.size(), ours->pcm.size()) << what;
        EXPECT_TRUE(theirs == to_bytes(ours->pcm)) << what;
        EXPECT_TRUE(theirs == expected_pcm(samples)) << what;
        ++index;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace sonavert::testkit
