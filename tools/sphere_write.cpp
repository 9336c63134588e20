// sphere_write: builds a NIST SPHERE file from header fields given on the
// command line and a raw payload file, optionally Shorten-compressing it.
#include <cstdio>
#include <string>
#include <vector>

#include "shorten_encoder.hpp"
#include "sphere_writer.hpp"
#include "tool_support.hpp"

namespace {

using namespace sonavert;
using namespace sonavert::testkit;

constexpr const char* kUsage =
    "usage: sphere_write [options] PAYLOAD OUTPUT\n"
    "Writes OUTPUT, a SPHERE file whose payload is the file PAYLOAD.\n"
    "options:\n"
    "  --int NAME=VALUE      add the field line 'NAME -i VALUE'\n"
    "  --string NAME=VALUE   add the field line 'NAME -s<len> VALUE'\n"
    "  --real NAME=VALUE     add the field line 'NAME -r VALUE'\n"
    "  --line TEXT           add TEXT as a raw header line\n"
    "  --header-size N       exact header size (default: the smallest multiple of 1024 that fits)\n"
    "  --describe pcm16|ulaw add channel_count, sample_count, sample_rate, sample_n_bytes,\n"
    "                        sample_byte_format and sample_coding for a payload of interleaved\n"
    "                        16-bit little-endian PCM or mu-law bytes\n"
    "  --rate N              sample_rate for --describe (default 16000)\n"
    "  --shorten             compress the payload into a Shorten stream (needs --describe); the\n"
    "                        coding becomes pcm,embedded-shorten-v2.00 or ulaw,embedded-shorten-v2.00\n"
    "  --help                show this message\n"
    "Shorten options (with --shorten; --channels also feeds --describe):\n";


// Splits "NAME=VALUE"; false when there is no '='.
bool split_field(const std::string& text, std::string& name, std::string& value) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    name = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

int run(int argc, char** argv) {
    const ToolMessages out("sphere_write", std::string(kUsage) + kEncoderFlagsUsage);
    SphereWriter writer;
    ShortenOptions options;
    bool type_given = false, shorten = false;
    std::string describe;
    std::uint64_t rate = 16000;
    std::vector<std::string> paths;
    ArgCursor args(argc, argv);
    while (!args.done()) {
        const std::string arg = args.next();
        if (arg == "--help") return out.help();
        Result<bool> known = apply_encoder_flag(arg, args, options);
        if (!known) return out.usage_error(known.error().message);
        if (*known) {
            type_given = type_given || arg == "--type";
            continue;
        }
        if (arg == "--int" || arg == "--string" || arg == "--real" || arg == "--line" || arg == "--describe") {
            Result<std::string> text = args.value(arg);
            if (!text) return out.usage_error(text.error().message);
            std::string name, value;
            if (arg == "--line") {
                writer.add_line(*text);
            } else if (arg == "--describe") {
                if (*text != "pcm16" && *text != "ulaw") return out.usage_error("--describe takes pcm16 or ulaw");
                describe = *text;
            } else if (!split_field(*text, name, value)) {
                return out.usage_error(arg + " takes NAME=VALUE, got '" + *text + "'");
            } else if (arg == "--int") {
                const bool negative = !value.empty() && value[0] == '-';
                const std::optional<std::uint64_t> n =
                    parse_unsigned(negative ? value.substr(1) : value, std::uint64_t{INT64_MAX} + negative);
                if (!n) return out.usage_error("--int " + name + " needs an integer, got '" + value + "'");
                writer.add_int(name, negative ? static_cast<std::int64_t>(0 - *n) : static_cast<std::int64_t>(*n));
            } else if (arg == "--string") {
                writer.add_string(name, value);
            } else {
                writer.add_real(name, value);
            }
        } else if (arg == "--header-size") {
            Result<std::uint64_t> n = args.number(arg, UINT64_MAX);
            if (!n) return out.usage_error(n.error().message);
            writer.header_size(*n);
        } else if (arg == "--rate") {
            Result<std::uint64_t> n = args.number(arg, INT64_MAX);
            if (!n) return out.usage_error(n.error().message);
            rate = *n;
        } else if (arg == "--shorten") {
            shorten = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return out.usage_error("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) return out.usage_error("expected PAYLOAD and OUTPUT");
    if (shorten && describe.empty()) return out.usage_error("--shorten needs --describe pcm16|ulaw");

    Result<std::vector<std::uint8_t>> payload = read_file(paths[0]);
    if (!payload) return out.fail(payload.error().message);

    if (!describe.empty()) {
        const bool ulaw = describe == "ulaw";
        const std::uint64_t bytes_per_sample = ulaw ? 1 : 2;
        const std::uint64_t frame_bytes = bytes_per_sample * options.channels;
        if (frame_bytes == 0 || payload->size() % frame_bytes != 0) {
            return out.fail("payload of " + std::to_string(payload->size()) + " bytes is not a whole number of " +
                        std::to_string(options.channels) + "-channel " + describe + " frames");
        }
        writer.add_int("channel_count", options.channels)
            .add_int("sample_count", static_cast<std::int64_t>(payload->size() / frame_bytes))
            .add_int("sample_rate", static_cast<std::int64_t>(rate))
            .add_int("sample_n_bytes", static_cast<std::int64_t>(bytes_per_sample))
            .add_string("sample_byte_format", ulaw ? "1" : "01")
            .add_string("sample_coding", std::string(ulaw ? "ulaw" : "pcm") +
                                             (shorten ? ",embedded-shorten-v2.00" : ""));
        if (shorten) {
            if (!type_given) options.sample_type = ulaw ? 8 : 5;
            const ByteView view(payload->data(), payload->size());
            Result<std::vector<std::uint8_t>> stream = encode_shorten_bytes(view, options);
            if (!stream) return out.fail(stream.error().message);
            *payload = std::move(*stream);
        }
    }

    Result<std::vector<std::uint8_t>> file = writer.build(ByteView(payload->data(), payload->size()));
    if (!file) return out.fail(file.error().message);
    if (Status st = write_file(paths[1], *file); !st) return out.fail(st.error().message);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
