// shorten_encode: raw 16-bit little-endian PCM or mu-law bytes in, a Shorten
// version 2 stream out.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "shorten_encoder.hpp"
#include "tool_support.hpp"

namespace {

using namespace sonavert;
using namespace sonavert::testkit;

constexpr const char* kUsage =
    "usage: shorten_encode [options] INPUT OUTPUT\n"
    "Encodes INPUT (interleaved 16-bit little-endian PCM, or mu-law code bytes with --type 8)\n"
    "into a Shorten version 2 stream written to OUTPUT.\n"
    "options:\n";
constexpr const char* kOwnUsage =
    "  --wav-verbatim        start the stream with a VERBATIM section holding a 44-byte WAV\n"
    "                        header of the input (16-bit PCM only)\n"
    "  --rate N              sample rate written into that header (default 16000)\n"
    "  --stats               print sizes and encoding speed to stderr\n"
    "  --help                show this message\n";

int run(int argc, char** argv) {
    const ToolMessages out("shorten_encode", std::string(kUsage) + kEncoderFlagsUsage + kOwnUsage);
    ShortenOptions options;
    bool wav_verbatim = false, stats = false;
    std::uint64_t rate = 16000;
    std::vector<std::string> paths;
    ArgCursor args(argc, argv);
    while (!args.done()) {
        const std::string arg = args.next();
        if (arg == "--help") return out.help();
        Result<bool> known = apply_encoder_flag(arg, args, options);
        if (!known) return out.usage_error(known.error().message);
        if (*known) continue;
        if (arg == "--wav-verbatim") {
            wav_verbatim = true;
        } else if (arg == "--stats") {
            stats = true;
        } else if (arg == "--rate") {
            Result<std::uint64_t> n = args.number(arg, UINT32_MAX);
            if (!n) return out.usage_error(n.error().message);
            rate = *n;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return out.usage_error("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) return out.usage_error("expected INPUT and OUTPUT");

    Result<std::vector<std::uint8_t>> input = read_file(paths[0]);
    if (!input) return out.fail(input.error().message);
    const bool mulaw = options.sample_type == 8;
    if (wav_verbatim) {
        if (mulaw) return out.usage_error("--wav-verbatim needs 16-bit PCM input");
        if (input->size() > UINT32_MAX - 36) return out.fail("input too large for a WAV header");
        options.leading_verbatim = make_wav_header(options.channels, static_cast<std::uint32_t>(rate), 16,
                                                   static_cast<std::uint32_t>(input->size()));
    }

    const auto start = std::chrono::steady_clock::now();
    const ByteView view(input->data(), input->size());
    Result<std::vector<std::uint8_t>> stream = encode_shorten_bytes(view, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!stream) return out.fail(stream.error().message);
    if (Status st = write_file(paths[1], *stream); !st) return out.fail(st.error().message);
    if (stats) {
        const double samples = static_cast<double>(mulaw ? input->size() : input->size() / 2);
        std::fprintf(stderr, "%.0f samples, %zu -> %zu bytes, %.3f s, %.1f Msamples/s\n", samples, input->size(),
                     stream->size(), seconds, samples / seconds / 1e6);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
