#include "sample_files.hpp"

#include <cmath>
#include <stdexcept>

#include "shorten_encoder.hpp"
#include "shorten_stream_writer.hpp"
#include "sphere_writer.hpp"

namespace sonavert::testkit {
namespace {

// A deterministic signal, frames x channels interleaved: two tones and a
// little noise, then a silent stretch (ZERO blocks) and a stretch of
// multiples of 8 (a BITSHIFT).
std::vector<std::int32_t> signal(std::size_t frames, unsigned channels, double amplitude) {
    std::vector<std::int32_t> out;
    std::uint32_t noise = 12345;
    for (std::size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            noise = noise * 1103515245u + 12345u;
            const double t = static_cast<double>(f);
            double v = amplitude * (0.6 * std::sin(0.07 * t * (c + 1)) + 0.3 * std::sin(0.31 * t + c));
            v += static_cast<double>((noise >> 16) % 33) - 16.0;
            std::int32_t s = static_cast<std::int32_t>(std::lround(v));
            if (f >= frames / 2 && f < frames / 2 + frames / 6) s = 0;
            if (f >= frames / 2 + frames / 6 && f < frames / 2 + frames / 3) s &= ~7;
            out.push_back(s);
        }
    }
    return out;
}

template <class T>
T must(Result<T> r) {
    if (!r) throw std::runtime_error("sample files: " + r.error().message);
    return std::move(*r);
}

SampleFile encoded(std::string name, std::size_t frames, const ShortenOptions& options) {
    std::vector<std::int32_t> samples =
        signal(frames, options.channels, options.sample_type == 8 ? 90.0 : 9000.0);
    if (options.sample_type == 8) {
        for (std::int32_t& s : samples) s = std::max(-128, std::min(127, s));
    }
    return {std::move(name), must(encode_shorten(samples, options)), options.channels, frames};
}

// Every function code, by hand: VERBATIM, DIFF0..DIFF3, BITSHIFT, QLPC,
// ZERO, BLOCKSIZE, QUIT, with skip codes in the header. Each cycle gives
// every channel one block, so all channels end with 27 samples.
SampleFile every_command(std::string name, std::uint64_t sample_type, unsigned channels) {
    ShortenStreamWriter w;
    w.header({sample_type, channels, 4, 3, 2, 2});
    const std::uint8_t riff[] = {'R', 'I', 'F', 'F'};
    w.verbatim(riff);
    const std::int64_t residuals[4][4] = {{3, -2, 1, 0}, {1, 1, -1, 0}, {0, 1, -1, 0}, {1, -1, 0, 0}};
    for (unsigned order = 0; order < 4; ++order) {
        for (unsigned c = 0; c < channels; ++c) w.diff(order, 2, residuals[order]);
    }
    w.bitshift(1);
    const std::int64_t coefs[] = {40, -10}, lpc_residuals[] = {1, 0, -1, 2};
    for (unsigned c = 0; c < channels; ++c) w.qlpc(2, coefs, lpc_residuals);
    for (unsigned c = 0; c < channels; ++c) w.zero();
    w.blocksize(3).bitshift(0);
    const std::int64_t tail[] = {1, -1, 0};
    for (unsigned c = 0; c < channels; ++c) w.diff(1, 1, tail);
    return {std::move(name), w.quit().finish(), channels, 4 * 4 + 4 + 4 + 3};
}

struct PlainLayout {
    const char* name;
    const char* coding;       // nullptr: no sample_coding field
    const char* byte_format;  // nullptr: no sample_byte_format field
    unsigned width;
    unsigned channels;
};

SphereWriter described(std::uint64_t frames, std::uint64_t channels, unsigned width) {
    SphereWriter w;
    w.add_int("sample_count", static_cast<std::int64_t>(frames))
        .add_int("channel_count", static_cast<std::int64_t>(channels))
        .add_int("sample_n_bytes", width)
        .add_int("sample_rate", 16000);
    return w;
}

}  // namespace

std::vector<SampleFile> sample_shorten_streams() {
    std::vector<SampleFile> out;
    ShortenOptions o;
    o.blocksize = 64;
    o.nmean = 4;
    o.nskip = 2;
    out.push_back(encoded("type5-mono-fixed", 300, o));

    o = ShortenOptions{};
    o.sample_type = 3;
    o.channels = 2;
    o.blocksize = 96;
    o.nmean = 0;
    o.maxnlpc = 8;
    o.blocksize_schedule = {96, 40};
    o.verbatim_inserts = {{1, {'x', 'y'}}};
    out.push_back(encoded("type3-stereo-lpc", 240, o));

    o = ShortenOptions{};
    o.sample_type = 8;
    o.blocksize = 100;
    out.push_back(encoded("type8-mono", 300, o));

    o.channels = 2;
    o.maxnlpc = 4;
    o.blocksize = 64;
    out.push_back(encoded("type8-stereo-lpc", 200, o));

    out.push_back(every_command("every-command-mono", 5, 1));
    out.push_back(every_command("every-command-stereo", 5, 2));
    out.push_back(every_command("every-command-mulaw-stereo", 8, 2));
    return out;
}

std::vector<SampleFile> sample_sphere_files() {
    std::vector<SampleFile> out;
    const PlainLayout plain[] = {
        {"pcm16-le-mono", "pcm", "01", 2, 1},   {"pcm16-be-stereo", "pcm", "10", 2, 2},
        {"pcm32-le-mono", "pcm", "1", 4, 1},    {"pcm32-be-stereo", "pcm", "10", 4, 2},
        {"pcm16-defaults", nullptr, nullptr, 2, 1}, {"ulaw-mono", "ulaw", nullptr, 1, 1},
        {"mu-law-stereo", "mu-law", nullptr, 1, 2}, {"alaw-mono", "alaw", nullptr, 1, 1},
        {"a-law-stereo", "a-law", "1", 1, 2},
    };
    const std::uint64_t frames = 120;
    for (const PlainLayout& p : plain) {
        std::vector<std::uint8_t> payload;
        std::uint32_t x = 7;
        for (std::uint64_t i = 0; i < frames * p.channels * p.width; ++i) {
            x = x * 1664525u + 1013904223u;
            payload.push_back(static_cast<std::uint8_t>(x >> 24));
        }
        SphereWriter w = described(frames, p.channels, p.width);
        if (p.coding != nullptr) w.add_string("sample_coding", p.coding);
        if (p.byte_format != nullptr) w.add_string("sample_byte_format", p.byte_format);
        w.header_size(512);
        out.push_back({p.name, must(w.build(payload)), p.channels, frames});
    }

    // A header in a looser hand: CR LF, tabs, a repeated field (the last
    // one counts), UTF-8 text, real fields, an empty string value, and
    // trailing bytes after the declared payload.
    {
        SphereWriter w;
        w.add_line("database_id -s7 tidigit\r")
            .add_line("sample_count\t-i\t100")
            .add_line("channel_count -i 1")
            .add_line("sample_count -i 60\r")
            .add_line("sample_rate -i +16000")
            .add_line("sample_n_bytes -s1 2")
            .add_line("speaker_name -s6 Zo\xc3\xab N")
            .add_line("sample_max -r 1.5e3")
            .add_line("sample_min -r -inf")
            .add_line("comment -s")
            .add_line("")
            .header_size(400);
        const std::vector<std::uint8_t> payload(60 * 2 + 5, 0x41);
        out.push_back({"pcm16-loose-header", must(w.build(payload)), 1, 60});
    }

    for (const SampleFile& s : sample_shorten_streams()) {
        const bool mulaw = s.name.find("type8") != std::string::npos || s.name.find("mulaw") != std::string::npos;
        SphereWriter w = described(s.frames, s.channels, 2);
        w.add_string("sample_coding", mulaw ? "ulaw,embedded-shorten-v2.00" : "pcm,embedded-shorten-v2.00")
            .add_string("sample_byte_format", "01")
            .header_size(512);
        out.push_back({"shorten-" + s.name, must(w.build(s.bytes)), s.channels, s.frames});
    }
    return out;
}

}  // namespace sonavert::testkit
