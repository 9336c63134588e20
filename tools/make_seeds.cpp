// make_seeds: writes the seed corpora of the fuzz targets, made by the
// project's own generators, one folder per target:
//   DIR/fuzz_header/      the header blocks of the SPHERE files
//   DIR/fuzz_shorten/     the bare Shorten streams
//   DIR/fuzz_transcode/   the SPHERE files
//   DIR/fuzz_decode_pcm/  the SPHERE files
// The files are the valid sample files (sample_files.hpp) and a few at the
// limits: streams that reach the decoded-sample cap of a fuzzing build
// (2^22), large values and block means, QLPC of order 32, mu-law under a
// bitshift, and headers at each WAV limit and past the payload size.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sample_files.hpp"
#include "shorten_stream_writer.hpp"
#include "sphere/header.hpp"
#include "sphere_writer.hpp"
#include "tool_support.hpp"

namespace {

using namespace sonavert;
using namespace sonavert::testkit;

using Bytes = std::vector<std::uint8_t>;

// `blocks` ZERO blocks of 65536 samples: 64 of them reach 2^22 samples.
Bytes zero_blocks(std::uint64_t blocks) {
    ShortenStreamWriter w;
    w.header({5, 1, 65536, 0, 0, 0});
    for (std::uint64_t i = 0; i < blocks; ++i) w.zero();
    return w.quit().finish();
}

std::vector<SampleFile> edge_streams() {
    std::vector<SampleFile> out;
    out.push_back({"zero-blocks-at-fuzz-cap", zero_blocks(64), 1, 64 * 65536});
    out.push_back({"zero-blocks-past-fuzz-cap", zero_blocks(65), 1, 0});
    {   // Samples near 2^49 (block means beyond 2^46), then a DIFF0 block
        // whose mean offset sums them.
        ShortenStreamWriter w;
        w.header({5, 1, 128, 0, 4, 0});
        const std::vector<std::int64_t> large(128, (std::int64_t{1} << 31) - 1), small(128, 1);
        w.diff(3, 31, large).diff(3, 31, large).diff(0, 2, small);
        out.push_back({"large-means", w.quit().finish(), 1, 384});
    }
    {   // QLPC of order 32.
        ShortenStreamWriter w;
        w.header({5, 1, 64, 32, 2, 0});
        std::vector<std::int64_t> coefs(32, -1), residuals(64);
        coefs[0] = 40;
        for (std::size_t i = 0; i < residuals.size(); ++i) residuals[i] = static_cast<std::int64_t>(i % 7) - 3;
        w.qlpc(3, coefs, residuals).qlpc(3, coefs, residuals);
        out.push_back({"qlpc-order-32", w.quit().finish(), 1, 128});
    }
    {   // Mu-law values beyond -128..127 under a bitshift.
        ShortenStreamWriter w;
        w.header({8, 1, 4, 0, 0, 0});
        const std::int64_t values[] = {200, -300, 5, 1000};
        w.bitshift(2).diff(0, 11, values);
        out.push_back({"mulaw-bitshift", w.quit().finish(), 1, 4});
    }
    return out;
}

Bytes sphere_with(std::int64_t count, std::int64_t channels, std::int64_t width, std::int64_t rate,
                  const char* coding, const Bytes& payload) {
    SphereWriter w;
    w.add_int("sample_count", count).add_int("channel_count", channels).add_int("sample_n_bytes", width);
    w.add_int("sample_rate", rate).add_string("sample_coding", coding).header_size(256);
    Result<Bytes> file = w.build(payload);
    return file ? std::move(*file) : Bytes();
}

std::vector<SampleFile> edge_sphere_files() {
    const char* shorten = "pcm,embedded-shorten-v2.00";
    return {
        {"wav-channels", sphere_with(0, 65536, 2, 16000, "pcm", {}), 0, 0},
        {"wav-rate", sphere_with(0, 1, 2, std::int64_t{1} << 32, "pcm", {}), 0, 0},
        {"wav-byte-rate", sphere_with(0, 2, 2, (std::int64_t{1} << 32) - 1, "pcm", {}), 0, 0},
        {"wav-block-align", sphere_with(0, 32768, 2, 1, "pcm", {}), 0, 0},
        {"payload-size-overflow", sphere_with(std::int64_t{1} << 62, 1, 2, 16000, "pcm", {}), 0, 0},
        {"shorten-past-fuzz-cap-one-frame", sphere_with(1, 1, 2, 16000, shorten, zero_blocks(65)), 0, 0},
        {"shorten-at-fuzz-cap-one-frame", sphere_with(1, 1, 2, 16000, shorten, zero_blocks(64)), 0, 0},
    };
}

constexpr const char* kUsage =
    "usage: make_seeds DIR\n"
    "Writes the fuzz targets' seed inputs into DIR/<target>/.\n";

int run(int argc, char** argv) {
    const ToolMessages out("make_seeds", kUsage);
    if (argc == 2 && std::string(argv[1]) == "--help") return out.help();
    if (argc != 2) return out.usage_error("expected DIR");
    const std::filesystem::path dir(argv[1]);

    int written = 0;
    auto put = [&](const char* target, const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::filesystem::create_directories(dir / target);
        const Status st = write_file((dir / target / name).string(), bytes);
        if (st) ++written;
        return st;
    };
    std::vector<SampleFile> streams = sample_shorten_streams();
    for (SampleFile& s : edge_streams()) streams.push_back(std::move(s));
    for (const SampleFile& s : streams) {
        if (Status st = put("fuzz_shorten", s.name, s.bytes); !st) return out.fail(st.error().message);
        // The same stream as version 1 (the reader of both versions takes
        // it under version 1's rules; the version-2 reader refuses it).
        if (s.bytes.size() > 4 && s.bytes[4] == 2) {
            std::vector<std::uint8_t> v1 = s.bytes;
            v1[4] = 1;
            if (Status st = put("fuzz_shorten", s.name + "-v1", v1); !st) return out.fail(st.error().message);
        }
    }
    std::vector<SampleFile> files = sample_sphere_files();
    for (SampleFile& s : edge_sphere_files()) files.push_back(std::move(s));
    for (const SampleFile& s : files) {
        for (const char* target : {"fuzz_transcode", "fuzz_decode_pcm"}) {
            if (Status st = put(target, s.name, s.bytes); !st) return out.fail(st.error().message);
        }
        Result<sphere::SphereHeader> header = sphere::parse_header(s.bytes);
        if (!header) return out.fail(s.name + ": " + header.error().message);
        const Bytes block(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(header->header_size));
        if (Status st = put("fuzz_header", s.name, block); !st) return out.fail(st.error().message);
    }
    std::printf("%d seed files in %s\n", written, dir.string().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
