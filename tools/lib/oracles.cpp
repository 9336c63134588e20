#include "oracles.hpp"

#include <algorithm>

#include "common/catalogue.hpp"
#include "common/text.hpp"
#include "shorten/to_pcm.hpp"
#include "sphere/fields.hpp"

namespace sonavert::testkit {
namespace {

// The group bit of a catalogued code: its hundreds (common/messages.inc).
unsigned group_of(Code code) {
    switch (static_cast<unsigned>(code) / 100) {
        case 1: return kHeaderMessages;
        case 2: return kDriverMessages;
        case 3: return kWavMessages;
        case 4: return kCodingMessages;
        case 5: return kShortenMessages;
        default: return 0;
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The literal text from the start of `pattern` up to its next placeholder.
std::string_view literal_prefix(std::string_view pattern) {
    return pattern.substr(0, pattern.find('{'));
}

bool placeholder_fits(char kind, std::string_view text) {
    if (kind == 'q') return text.size() >= 2 && text.front() == '"' && text.back() == '"';
    return true;
}

}  // namespace

bool matches_pattern(std::string_view pattern, std::string_view message) {
    if (pattern.empty()) return message.empty();
    if (pattern.size() < 3 || pattern[0] != '{') {
        const std::string_view literal = literal_prefix(pattern);
        const std::size_t n = literal.empty() ? 1 : literal.size();  // a lone '{' is literal
        if (message.substr(0, n) != pattern.substr(0, n)) return false;
        return matches_pattern(pattern.substr(n), message.substr(n));
    }
    const char kind = pattern[1];
    const std::string_view rest = pattern.substr(3);
    if (kind == 'n') {
        std::size_t i = !message.empty() && message[0] == '-' ? 1 : 0;
        const std::size_t first_digit = i;
        while (i < message.size() && is_digit(message[i])) ++i;
        return i > first_digit && matches_pattern(rest, message.substr(i));
    }
    // {q} and {t}: try every place where the text that follows can start.
    const std::string_view next = literal_prefix(rest);
    if (rest.empty()) return placeholder_fits(kind, message);
    for (std::size_t at = message.find(next); at != std::string_view::npos; at = message.find(next, at + 1)) {
        if (placeholder_fits(kind, message.substr(0, at)) && matches_pattern(rest, message.substr(at))) return true;
        if (next.empty()) break;
    }
    return false;
}

bool is_catalogued(const Error& error, unsigned groups) {
    const CatalogueEntry* entry = catalogue_entry(error.code);
    return entry != nullptr && (group_of(entry->code) & groups) != 0 && entry->kind == error.kind &&
           matches_pattern(entry->pattern, error.message);
}

std::int16_t g711_level(std::uint8_t code, bool alaw) {
    if (!alaw) {
        const int u = ~code & 0xFF;
        const int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
        return static_cast<std::int16_t>((u & 0x80) != 0 ? 0x84 - t : t - 0x84);
    }
    const int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    t = seg == 0 ? t + 8 : seg == 1 ? t + 0x108 : (t + 0x108) << (seg - 1);
    return static_cast<std::int16_t>((a & 0x80) != 0 ? t : -t);
}

namespace {

std::string lower(std::string_view s) { return text::ascii_lower(s); }

// The first two comma-separated parts of the coding text, trimmed and
// lower-cased.
void coding_parts(std::string_view coding, std::string& base, std::string& compression) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = coding.find(',', start);
        parts.push_back(coding.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    base = lower(text::trim(parts[0]));
    compression = parts.size() > 1 ? lower(text::trim(parts[1])) : std::string();
}

std::optional<ReferenceAudio> reference_shorten(const sphere::HeaderFields& fields, ByteView payload) {
    Result<shorten::ShortenPcm> decoded = shorten::shorten_to_pcm(payload);
    if (!decoded) return std::nullopt;
    const std::int64_t channels = *sphere::require_int(fields, "channel_count");
    const std::int64_t count = *sphere::require_int(fields, "sample_count");
    if (static_cast<std::uint64_t>(channels) != decoded->channel_count) return std::nullopt;
    const unsigned __int128 expected = static_cast<unsigned __int128>(count) * static_cast<std::uint64_t>(channels) * 2;
    if (expected > decoded->pcm.size()) return std::nullopt;
    const std::uint8_t* p = decoded->pcm.data();
    return ReferenceAudio{std::vector<std::uint8_t>(p, p + static_cast<std::size_t>(expected)), 16};
}

}  // namespace

std::optional<ReferenceAudio> reference_audio(const sphere::SphereHeader& header) {
    const sphere::HeaderFields& fields = header.fields;
    std::string base, compression;
    coding_parts(sphere::field_text(fields, "sample_coding", "pcm"), base, compression);
    if (!compression.empty()) {
        if (compression != "embedded-shorten-v2.00") return std::nullopt;
        return reference_shorten(fields, header.payload);
    }

    const std::int64_t count = *sphere::require_int(fields, "sample_count");
    const std::int64_t channels = *sphere::require_int(fields, "channel_count");
    const std::int64_t width = *sphere::require_int(fields, "sample_n_bytes");
    // Validation keeps all three at least 0 or 1; the size must fit 63 bits.
    const __int128 frames_bytes = static_cast<__int128>(count) * channels;
    if (frames_bytes > INT64_MAX) return std::nullopt;
    const __int128 size = frames_bytes * width;
    if (size > INT64_MAX || size > static_cast<__int128>(header.payload.size())) return std::nullopt;
    const std::uint8_t* payload = header.payload.data();
    const std::size_t n = static_cast<std::size_t>(size);

    ReferenceAudio out;
    if (base == "pcm") {
        const std::string_view format = sphere::field_text(fields, "sample_byte_format", "1");
        if ((width != 2 && width != 4) || (format != "1" && format != "01" && format != "10")) return std::nullopt;
        out.bits_per_sample = static_cast<std::uint16_t>(8 * width);
        out.pcm.assign(payload, payload + n);
        if (format == "10") {
            for (std::size_t i = 0; i + width <= n; i += static_cast<std::size_t>(width)) {
                std::reverse(out.pcm.begin() + static_cast<std::ptrdiff_t>(i),
                             out.pcm.begin() + static_cast<std::ptrdiff_t>(i + width));
            }
        }
        return out;
    }
    const bool mulaw = base == "ulaw" || base == "mulaw" || base == "mu-law";
    const bool alaw = base == "alaw" || base == "a-law";
    if ((!mulaw && !alaw) || width != 1) return std::nullopt;
    out.bits_per_sample = 16;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t level = static_cast<std::uint16_t>(g711_level(payload[i], alaw));
        out.pcm.push_back(static_cast<std::uint8_t>(level & 0xFF));
        out.pcm.push_back(static_cast<std::uint8_t>(level >> 8));
    }
    return out;
}

std::optional<std::string> reference_wav_error(const sphere::HeaderFields& fields, const ReferenceAudio& audio) {
    const std::int64_t channels = *sphere::require_int(fields, "channel_count");
    const std::int64_t rate = *sphere::require_int(fields, "sample_rate");
    // The limits are computed here on their own; the messages are the catalogue's.
    if (channels > 65535) return pipeline::errors::channel_count_too_large("WAV").message;
    if (rate > 4294967295) return pipeline::errors::sample_rate_too_large("WAV").message;
    const std::uint64_t block_align = static_cast<std::uint64_t>(channels) * (audio.bits_per_sample / 8);
    if (static_cast<std::uint64_t>(rate) * block_align > 4294967295u) {
        return pipeline::errors::byte_rate_too_large().message;
    }
    const std::uint64_t length = audio.pcm.size();
    if (length + length % 2 + 36 > 4294967295u) return pipeline::errors::wav_too_large(length).message;
    if (block_align > 65535) return pipeline::errors::block_align_too_large().message;
    return std::nullopt;
}

std::optional<ShortenHeader> read_shorten_header(ByteView stream) {
    if (stream.size() < 5 || stream[0] != 'a' || stream[1] != 'j' || stream[2] != 'k' || stream[3] != 'g' ||
        (stream[4] != 1 && stream[4] != 2)) {
        return std::nullopt;
    }
    std::uint64_t pos = 40;
    bool ended = false;
    auto bit = [&]() -> unsigned {
        if (pos >= stream.size() * 8) {
            ended = true;
            return 1;
        }
        const unsigned b = (stream[pos / 8] >> (7 - pos % 8)) & 1;
        ++pos;
        return b;
    };
    auto uvar = [&](std::uint64_t n) -> std::uint64_t {
        std::uint64_t zeros = 0;
        while (!ended && bit() == 0) ended = ++zeros > (std::uint64_t{1} << 26);
        if (n > 32) ended = true;
        std::uint64_t low = 0;
        for (std::uint64_t i = 0; i < n && !ended; ++i) low = (low << 1) | bit();
        return ended ? 0 : (zeros << n) | low;
    };
    ShortenHeader h;
    for (std::uint64_t* field : {&h.sample_type, &h.channels, &h.blocksize, &h.maxnlpc, &h.nmean, &h.nskip}) {
        *field = uvar(uvar(2));
    }
    if (ended) return std::nullopt;
    return h;
}

std::string wav_mismatch(ByteView wav, const ReferenceAudio& audio, std::uint64_t channels,
                         std::uint64_t sample_rate) {
    const std::uint64_t length = audio.pcm.size();
    if (wav.size() != 44 + length + length % 2) return "file length";
    auto u32 = [&](std::size_t at) {
        return wav[at] | (wav[at + 1] << 8) | (wav[at + 2] << 16) | (std::uint64_t{wav[at + 3]} << 24);
    };
    auto u16 = [&](std::size_t at) { return std::uint64_t{wav[at]} | (std::uint64_t{wav[at + 1]} << 8); };
    auto tag = [&](std::size_t at, std::string_view text) {
        return std::equal(text.begin(), text.end(), wav.begin() + static_cast<std::ptrdiff_t>(at));
    };
    const std::uint64_t block_align = channels * (audio.bits_per_sample / 8);
    if (!tag(0, "RIFF") || !tag(8, "WAVE") || !tag(12, "fmt ") || !tag(36, "data")) return "chunk tags";
    if (u32(4) != wav.size() - 8) return "RIFF size";
    if (u32(16) != 16 || u16(20) != 1) return "fmt chunk size or format tag";
    if (u16(22) != channels) return "channel count";
    if (u32(24) != sample_rate) return "sample rate";
    if (u32(28) != sample_rate * block_align) return "byte rate";
    if (u16(32) != block_align) return "block align";
    if (u16(34) != audio.bits_per_sample) return "bits per sample";
    if (u32(40) != length) return "data size";
    if (!std::equal(audio.pcm.begin(), audio.pcm.end(), wav.begin() + 44)) return "samples";
    if (length % 2 != 0 && wav.back() != 0) return "pad byte";
    return {};
}

}  // namespace sonavert::testkit
