// sonavert_decode_once: one conversion of one SPHERE file, for counting its
// instructions under callgrind. The conversion runs inside the function
// sonavert_measured_call and nothing else does, so
//
//   valgrind --tool=callgrind --toggle-collect=sonavert_measured_call sonavert_decode_once MODE FILE
//
// counts the conversion alone, the allocation and release of its result
// included, and neither start-up nor reading the file.
//
// MODE: shorten_to_pcm (the file's payload as a bare Shorten stream),
// incremental (the same stream through IncrementalDecoder, 16000 frames a
// read into one reused buffer; the size is that of all frames read),
// incremental_points (incremental, recording seek points as a reader of
// the file does), decode_pcm or transcode. Prints the size of the result in bytes; exits 1
// with the error's message when the conversion fails.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/drivers.hpp"
#include "shorten/incremental.hpp"
#include "shorten/to_pcm.hpp"
#include "sphere/header.hpp"

namespace {

using namespace sonavert;

enum class Mode : int { ShortenToPcm, Incremental, IncrementalPoints, DecodePcm, Transcode };

constexpr std::size_t kReadFrames = 16000;

// The result's size, or the error; the result itself is released here.
Result<std::uint64_t> convert(Mode mode, ByteView input) {
    switch (mode) {
        case Mode::ShortenToPcm: {
            Result<shorten::ShortenPcm> r = shorten::shorten_to_pcm(input);
            if (!r) return std::move(r).error();
            return static_cast<std::uint64_t>(r->pcm.size());
        }
        case Mode::Incremental:
        case Mode::IncrementalPoints: {
            Result<shorten::IncrementalDecoder> d = shorten::IncrementalDecoder::open(input);
            if (!d) return std::move(d).error();
            shorten::SeekPoints points(d->point_values());
            if (mode == Mode::IncrementalPoints) d->record_points(&points);
            std::vector<std::int16_t> buffer(kReadFrames * static_cast<std::size_t>(d->channel_count()));
            std::uint64_t bytes = 0;
            for (;;) {
                Result<std::size_t> n = d->read(buffer.data(), kReadFrames);
                if (!n) return std::move(n).error();
                bytes += *n * d->channel_count() * sizeof(std::int16_t);
                if (*n < kReadFrames) return bytes;
            }
        }
        case Mode::DecodePcm: {
            Result<ByteBuffer> r = pipeline::decode_pcm(input);
            if (!r) return std::move(r).error();
            return static_cast<std::uint64_t>(r->size());
        }
        case Mode::Transcode: {
            Result<ByteBuffer> r = pipeline::transcode_to_wav(input);
            if (!r) return std::move(r).error();
            return static_cast<std::uint64_t>(r->size());
        }
    }
    return invalid("unknown mode");
}

}  // namespace

// The measured region. Kept out of line under a plain name so that callgrind
// can switch collection on and off at its entry and exit.
extern "C" __attribute__((noinline)) void sonavert_measured_call(int mode, const std::uint8_t* data, std::size_t size,
                                                                 Result<std::uint64_t>* out) {
    *out = convert(static_cast<Mode>(mode), ByteView(data, size));
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: sonavert_decode_once shorten_to_pcm|incremental|incremental_points|decode_pcm|transcode FILE\n");
        return 2;
    }
    const std::string_view name = argv[1];
    Mode mode;
    if (name == "shorten_to_pcm") {
        mode = Mode::ShortenToPcm;
    } else if (name == "incremental") {
        mode = Mode::Incremental;
    } else if (name == "incremental_points") {
        mode = Mode::IncrementalPoints;
    } else if (name == "decode_pcm") {
        mode = Mode::DecodePcm;
    } else if (name == "transcode") {
        mode = Mode::Transcode;
    } else {
        std::fprintf(stderr, "sonavert_decode_once: unknown mode %s\n", argv[1]);
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "sonavert_decode_once: cannot open %s\n", argv[2]);
        return 2;
    }
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ByteView input(file);
    if (mode == Mode::ShortenToPcm || mode == Mode::Incremental || mode == Mode::IncrementalPoints) {
        Result<sphere::SphereHeader> header = sphere::parse_header(input);
        if (!header) {
            std::fprintf(stderr, "sonavert_decode_once: %s\n", header.error().message.c_str());
            return 1;
        }
        input = header->payload;
    }
    Result<std::uint64_t> size = invalid("not run");
    sonavert_measured_call(static_cast<int>(mode), input.data(), input.size(), &size);
    if (!size) {
        std::fprintf(stderr, "sonavert_decode_once: %s\n", size.error().message.c_str());
        return 1;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(*size));
    return 0;
}
