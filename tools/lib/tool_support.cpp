#include "tool_support.hpp"

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/bytes.hpp"

namespace sonavert::testkit {

namespace {

Error missing_value(const std::string& flag) { return invalid("missing value for " + flag); }
Error bad_number(const std::string& flag, const std::string& text, std::uint64_t max) {
    return invalid("bad value for " + flag + ": '" + text + "' (expected a number 0.." + std::to_string(max) + ")");
}
Error bad_bitshift(const std::string& text) {
    return invalid("bad value for --bitshift: '" + text + "' (expected auto or a number)");
}
Error cannot_open(const std::string& path, const char* mode) {
    return invalid(std::string("cannot open '") + path + "' for " + mode);
}
Error io_failed(const std::string& path, const char* what) {
    return invalid(std::string(what) + " '" + path + "' failed");
}

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

const char* const kEncoderFlagsUsage =
    "  --channels N          interleaved channels, 1..256 (default 1)\n"
    "  --type T              shorten sample type: 5 or 3 (16-bit PCM), 8 (mu-law) (default 5)\n"
    "  --blocksize N         samples per block, 1..16777216 (default 256)\n"
    "  --nmean N             block means behind the offset, 0..65536 (default 4)\n"
    "  --maxnlpc N           highest QLPC order, 0..1024; 0 disables QLPC (default 0)\n"
    "  --nskip N             skip codes after the header, 0..1048576 (default 0)\n"
    "  --bitshift auto|N     shift out shared trailing zero bits per block, or a fixed shift 0..32\n"
    "                        (default auto)\n"
    "  --blocksize-schedule N,N,...  block lengths of successive cycles, repeated\n";

int ToolMessages::fail(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", name_, message.c_str());
    return 1;
}

int ToolMessages::usage_error(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n%s", name_, message.c_str(), usage_.c_str());
    return 2;
}

int ToolMessages::help() const {
    std::fputs(usage_.c_str(), stdout);
    return 0;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return cannot_open(path, "reading");
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    if (std::ferror(f.get())) return io_failed(path, "reading");
    return bytes;
}

Status write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return cannot_open(path, "writing");
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) {
        return io_failed(path, "writing");
    }
    if (std::fclose(f.release()) != 0) return io_failed(path, "writing");
    return ok_status();
}

std::string ArgCursor::next() {
    inline_value_.reset();
    std::string arg = args_[pos_++];
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        inline_value_ = arg.substr(eq + 1);
        arg.resize(eq);
    }
    return arg;
}

Result<std::string> ArgCursor::value(const std::string& flag) {
    if (inline_value_) {
        std::string v = std::move(*inline_value_);
        inline_value_.reset();
        return v;
    }
    if (done()) return missing_value(flag);
    return args_[pos_++];
}

Result<std::uint64_t> ArgCursor::number(const std::string& flag, std::uint64_t max) {
    SV_ASSIGN_OR_RETURN(std::string text, value(flag));
    const std::optional<std::uint64_t> n = parse_unsigned(text, max);
    if (!n) return bad_number(flag, text, max);
    return *n;
}

Result<bool> apply_encoder_flag(const std::string& flag, ArgCursor& args, ShortenOptions& o) {
    // Ranges here only keep the numbers in 32 bits; the encoder checks the
    // real bounds and names them.
    constexpr std::uint64_t kMax32 = UINT32_MAX;
    auto set = [&](std::uint32_t& field) -> Result<bool> {
        SV_ASSIGN_OR_RETURN(std::uint64_t n, args.number(flag, kMax32));
        field = static_cast<std::uint32_t>(n);
        return true;
    };
    if (flag == "--channels") return set(o.channels);
    if (flag == "--type") return set(o.sample_type);
    if (flag == "--blocksize") return set(o.blocksize);
    if (flag == "--nmean") return set(o.nmean);
    if (flag == "--maxnlpc") return set(o.maxnlpc);
    if (flag == "--nskip") return set(o.nskip);
    if (flag == "--bitshift") {
        SV_ASSIGN_OR_RETURN(std::string text, args.value(flag));
        if (text == "auto") {
            o.bitshift.reset();
            return true;
        }
        const std::optional<std::uint64_t> n = parse_unsigned(text, kMax32);
        if (!n) return bad_bitshift(text);
        o.bitshift = static_cast<std::uint32_t>(*n);
        return true;
    }
    if (flag == "--blocksize-schedule") {
        SV_ASSIGN_OR_RETURN(std::string text, args.value(flag));
        o.blocksize_schedule.clear();
        std::size_t start = 0;
        while (true) {
            const std::size_t comma = text.find(',', start);
            const std::string item = text.substr(start, comma - start);
            const std::optional<std::uint64_t> n = parse_unsigned(item, kMax32);
            if (!n) return bad_number(flag, item, kMax32);
            o.blocksize_schedule.push_back(static_cast<std::uint32_t>(*n));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        return true;
    }
    return false;
}

std::vector<std::uint8_t> make_wav_header(std::uint32_t channels, std::uint32_t rate,
                                          std::uint32_t bits_per_sample, std::uint32_t data_bytes) {
    std::vector<std::uint8_t> h(44);
    std::uint8_t* p = h.data();
    const std::uint32_t block_align = channels * (bits_per_sample / 8);
    std::memcpy(p, "RIFF", 4);
    store_le32(p + 4, 36 + data_bytes);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    store_le32(p + 16, 16);
    store_le16(p + 20, 1);
    store_le16(p + 22, static_cast<std::uint16_t>(channels));
    store_le32(p + 24, rate);
    store_le32(p + 28, rate * block_align);
    store_le16(p + 32, static_cast<std::uint16_t>(block_align));
    store_le16(p + 34, static_cast<std::uint16_t>(bits_per_sample));
    std::memcpy(p + 36, "data", 4);
    store_le32(p + 40, data_bytes);
    return h;
}

}  // namespace sonavert::testkit
