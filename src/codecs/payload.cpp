#include "codecs/payload.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

#include "codecs/errors.hpp"
#include "codecs/g711.hpp"
#include "common/text.hpp"
#include "shorten/to_pcm.hpp"
#include "sphere/fields.hpp"

namespace sonavert::codecs {
namespace {

constexpr std::string_view kEmbeddedShorten = "embedded-shorten-v2.00";
// Under Corpora every version text names Shorten (v1.02, v1.09, v1.1,
// v2.00, ...): the stream's own version byte decides how it is read.
constexpr std::string_view kEmbeddedShortenAny = "embedded-shorten-v";

shorten::Versions versions_of(Reading reading) noexcept {
    return reading == Reading::Corpora ? shorten::Versions::V1AndV2 : shorten::Versions::OnlyV2;
}

// A code byte per sample: the pculaw code bytes of a Shorten stream whose
// 16-bit samples hold two of them each, in the byte order of its sample
// type, as mu-law codes (their bits reversed). The header's sample_count x
// channel_count bytes are the result, as codes or expanded levels.
Result<DecodedPcm> decode_pculaw_shorten(const sphere::HeaderFields& fields, ByteView payload, std::size_t lead,
                                         shorten::ShortenSamples samples) {
    SV_TRY(check_g711(fields, false));
    SV_ASSIGN_OR_RETURN(const shorten::ShortenPcm decoded,
                        shorten::decode_shorten(payload, shorten::Reconstruction::Proven, std::nullopt, 0,
                                                shorten::ShortenSamples::MuLawCodes, shorten::Versions::V1AndV2));
    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(fields, "channel_count"));
    if (channels < 0 || static_cast<std::uint64_t>(channels) != decoded.channel_count) {
        return errors::shorten_channels_disagree(decoded.channel_count, channels);
    }
    SV_ASSIGN_OR_RETURN(const std::int64_t sample_count, sphere::require_int(fields, "sample_count"));
    // Code bytes held: one per sample of a mu-law stream, two of a linear one.
    const std::uint64_t bytes = decoded.pcm.size();
    const std::uint64_t per_channel = bytes / decoded.channel_count;
    if (sample_count < 0 || per_channel < static_cast<std::uint64_t>(sample_count)) {
        return errors::shorten_too_short(per_channel, sample_count);
    }
    const auto n = static_cast<std::size_t>(static_cast<std::uint64_t>(sample_count) * decoded.channel_count);
    const bool swap = !decoded.codes && decoded.sample_type == 3;  // words high byte first
    const bool keep_codes = samples == shorten::ShortenSamples::MuLawCodes;
    ByteBuffer codes((keep_codes ? lead : 0) + n);
    std::uint8_t* out = codes.data() + (keep_codes ? lead : 0);
    const std::uint8_t* in = decoded.pcm.data();
    for (std::size_t i = 0; i < n; ++i) out[i] = mulaw_of_pculaw(in[swap ? i ^ 1 : i]);
    if (keep_codes) return DecodedPcm{8, std::move(codes), true};
    return DecodedPcm{16, expand_g711(codes.view(), false, lead)};
}

// 8 x n in decimal, exact for every 64-bit n (the product needs 67 bits).
std::string eight_times(std::int64_t n) {
    __int128 product = static_cast<__int128>(n) * 8;
    const bool negative = product < 0;
    unsigned __int128 magnitude =
        negative ? -static_cast<unsigned __int128>(product) : static_cast<unsigned __int128>(product);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits.insert(digits.begin(), '-');
    return digits;
}

Result<DecodedPcm> decode_g711(const sphere::HeaderFields& fields, ByteView payload, bool alaw,
                               std::size_t lead) {
    SV_TRY(check_g711(fields, alaw));
    return DecodedPcm{16, expand_g711(payload, alaw, lead)};
}

Result<DecodedPcm> decode_embedded_shorten(const sphere::HeaderFields& fields, ByteView payload,
                                           std::size_t lead, shorten::ShortenSamples samples,
                                           shorten::Versions versions) {
    // Only the first sample_count frames can become the result, so the
    // decoder stores no more than those. The field is read here but its
    // error, if any, comes in its place below, after the channel check.
    Result<std::int64_t> declared_count = sphere::require_int(fields, "sample_count");
    const bool count_known = declared_count.has_value() && *declared_count >= 0;
    SV_ASSIGN_OR_RETURN(shorten::ShortenPcm decoded,
                        count_known ? shorten::shorten_to_pcm(payload, static_cast<std::uint64_t>(*declared_count), lead,
                                                                 samples, versions)
                                    : shorten::decode_shorten(payload, shorten::Reconstruction::Proven, std::nullopt, 0,
                                                              shorten::ShortenSamples::Levels, versions));

    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(fields, "channel_count"));
    if (channels < 0 || static_cast<std::uint64_t>(channels) != decoded.channel_count) {
        return errors::shorten_channels_disagree(decoded.channel_count, channels);
    }

    SV_ASSIGN_OR_RETURN(const std::int64_t sample_count, std::move(declared_count));
    // A negative count (which validation rules out) or one beyond what was
    // decoded fails; the message counts the frames decoded, whole frames
    // only (an incomplete last cycle through the channels is no frame).
    if (sample_count < 0 || decoded.frames < static_cast<std::uint64_t>(sample_count)) {
        return errors::shorten_too_short(decoded.frames, sample_count);
    }
    // The decoder kept exactly sample_count frames (see shorten_to_pcm), so
    // a longer stream has already been cut without a copy.
    const unsigned width = decoded.codes ? 1 : 2;
    const std::uint64_t expected = lead + static_cast<std::uint64_t>(sample_count) * decoded.channel_count * width;
    if (decoded.pcm.size() != expected) throw std::logic_error("shorten result is not sample_count frames long");
    return DecodedPcm{static_cast<std::uint16_t>(8 * width), std::move(decoded.pcm), decoded.codes};
}

}  // namespace

CodingParts split_coding(std::string_view coding) {
    const std::size_t comma = coding.find(',');
    if (comma == std::string_view::npos) return {text::trim(coding), {}};
    std::string_view rest = coding.substr(comma + 1);
    rest = rest.substr(0, rest.find(','));
    return {text::trim(coding.substr(0, comma)), text::trim(rest)};
}

void copy_byte_swapped(const std::uint8_t* in, std::uint8_t* out, std::size_t n,
                       unsigned width) noexcept {
    // Eight bytes (four 16-bit or two 32-bit samples) at a time, with shifts
    // and masks on 64-bit words: both compilers vectorise this loop with
    // baseline SSE2, which they do not for __builtin_bswap32.
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr std::uint64_t kLowPairs = 0x0000FFFF0000FFFFull;
    const std::size_t words = n / 8;
    for (std::size_t k = 0; k < words; ++k) {
        std::uint64_t v;
        std::memcpy(&v, in + 8 * k, 8);
        v = ((v >> 8) & kLowBytes) | ((v & kLowBytes) << 8);
        if (width == 4) v = ((v >> 16) & kLowPairs) | ((v & kLowPairs) << 16);
        std::memcpy(out + 8 * k, &v, 8);
    }
    std::size_t i = 8 * words;
    for (; i + width <= n; i += width) {
        for (unsigned b = 0; b < width; ++b) out[i + b] = in[i + width - 1 - b];
    }
    if (i < n) std::memcpy(out + i, in + i, n - i);
}

Status check_g711(const sphere::HeaderFields& fields, bool alaw) {
    SV_ASSIGN_OR_RETURN(const std::int64_t width, sphere::require_int(fields, "sample_n_bytes"));
    if (width != 1) return alaw ? errors::alaw_width_not_supported(width) : errors::ulaw_width_not_supported(width);
    return ok_status();
}

Result<PlainPcm> check_plain_pcm(const sphere::HeaderFields& fields) {
    SV_ASSIGN_OR_RETURN(const std::int64_t width, sphere::require_int(fields, "sample_n_bytes"));
    if (width != 2 && width != 4) return errors::pcm_width_not_supported(eight_times(width));

    const std::string_view format = sphere::byte_format(fields);
    const bool little_endian = format == "01" || format == "1";
    if (!little_endian && format != "10") return errors::byte_format_not_recognized(format);
    return PlainPcm{static_cast<std::uint16_t>(8 * width), !little_endian};
}

void convert_plain_pcm(const PlainPcm& layout, ByteView payload, std::uint8_t* out) noexcept {
    if (payload.empty()) return;
    if (layout.big_endian) {
        copy_byte_swapped(payload.data(), out, payload.size(), layout.bits_per_sample / 8u);
    } else {
        std::memcpy(out, payload.data(), payload.size());
    }
}

Result<Decoder> choose_decoder(const sphere::HeaderFields& fields, Reading reading) {
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    return choose_decoder(coding, split_coding(coding), reading);
}

Result<Decoder> choose_decoder(std::string_view coding, const CodingParts& parts, Reading reading) {
    const bool corpora = reading == Reading::Corpora;
    const std::string base = text::ascii_lower(parts.base);
    if (parts.compressed()) {
        const std::string compression = text::ascii_lower(parts.compression);
        if (compression == kEmbeddedShorten || (corpora && compression.starts_with(kEmbeddedShortenAny))) {
            return corpora && base == "pculaw" ? Decoder::PcuLawShorten : Decoder::EmbeddedShorten;
        }
        return errors::compression_not_supported(coding, compression);
    }

    if (base == "pcm") return Decoder::PlainPcm;
    if (base == "ulaw" || base == "mulaw" || base == "mu-law") return Decoder::MuLaw;
    if (base == "alaw" || base == "a-law") return Decoder::ALaw;
    if (corpora && base == "pculaw") return Decoder::PcuLaw;
    return errors::coding_not_supported(base);
}

bool undeclared_shorten(const sphere::HeaderFields& fields, ByteView start, std::uint64_t length) {
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    if (split_coding(coding).compressed()) return false;
    const Result<std::uint64_t> declared = sphere::declared_payload_size(fields);
    if (!declared || length >= *declared) return false;
    return start.size() >= 5 && std::memcmp(start.data(), "ajkg", 4) == 0 && (start[4] == 1 || start[4] == 2);
}

Result<Decoder> choose_decoder(const sphere::HeaderFields& fields, ByteView start, std::uint64_t length,
                               Reading reading) {
    if (reading == Reading::Corpora && undeclared_shorten(fields, start, length)) {
        const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
        const bool pculaw = text::ascii_lower(split_coding(coding).base) == "pculaw";
        return pculaw ? Decoder::PcuLawShorten : Decoder::EmbeddedShorten;
    }
    return choose_decoder(fields, reading);
}

std::uint8_t mulaw_of_pculaw(std::uint8_t code) noexcept {
    code = static_cast<std::uint8_t>((code & 0xF0) >> 4 | (code & 0x0F) << 4);
    code = static_cast<std::uint8_t>((code & 0xCC) >> 2 | (code & 0x33) << 2);
    return static_cast<std::uint8_t>((code & 0xAA) >> 1 | (code & 0x55) << 1);
}

ByteBuffer mulaw_codes_of_pculaw(ByteView payload) {
    ByteBuffer codes(payload.size());
    for (std::size_t i = 0; i < payload.size(); ++i) codes.data()[i] = mulaw_of_pculaw(payload[i]);
    return codes;
}

Result<DecodedPcm> decode_with(Decoder decoder, const sphere::HeaderFields& fields, ByteView payload,
                               std::size_t lead, shorten::ShortenSamples shorten_samples, Reading reading) {
    switch (decoder) {
        case Decoder::PlainPcm: {
            SV_ASSIGN_OR_RETURN(const PlainPcm layout, check_plain_pcm(fields));
            DecodedPcm out{layout.bits_per_sample, ByteBuffer(lead + payload.size())};
            convert_plain_pcm(layout, payload, out.pcm.data() + lead);
            return out;
        }
        case Decoder::MuLaw:
            return decode_g711(fields, payload, false, lead);
        case Decoder::ALaw:
            return decode_g711(fields, payload, true, lead);
        case Decoder::EmbeddedShorten:
            return decode_embedded_shorten(fields, payload, lead, shorten_samples, versions_of(reading));
        case Decoder::PcuLaw: {
            SV_TRY(check_g711(fields, false));
            return DecodedPcm{16, expand_g711(mulaw_codes_of_pculaw(payload).view(), false, lead)};
        }
        case Decoder::PcuLawShorten:
            return decode_pculaw_shorten(fields, payload, lead, shorten_samples);
    }
    throw std::logic_error("unknown decoder");
}

Result<DecodedPcm> decode_payload(const sphere::HeaderFields& fields, ByteView payload) {
    SV_ASSIGN_OR_RETURN(const Decoder decoder, choose_decoder(fields));
    return decode_with(decoder, fields, payload);
}

}  // namespace sonavert::codecs
