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
                                           std::size_t lead, shorten::ShortenSamples samples) {
    // Only the first sample_count frames can become the result, so the
    // decoder stores no more than those. The field is read here but its
    // error, if any, comes in its place below, after the channel check.
    Result<std::int64_t> declared_count = sphere::require_int(fields, "sample_count");
    const bool count_known = declared_count.has_value() && *declared_count >= 0;
    SV_ASSIGN_OR_RETURN(shorten::ShortenPcm decoded,
                        count_known ? shorten::shorten_to_pcm(payload, static_cast<std::uint64_t>(*declared_count), lead,
                                                                 samples)
                                    : shorten::shorten_to_pcm(payload));

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

Result<Decoder> choose_decoder(const sphere::HeaderFields& fields) {
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    return choose_decoder(coding, split_coding(coding));
}

Result<Decoder> choose_decoder(std::string_view coding, const CodingParts& parts) {
    if (parts.compressed()) {
        const std::string compression = text::ascii_lower(parts.compression);
        if (compression != kEmbeddedShorten) {
            return errors::compression_not_supported(coding, compression);
        }
        return Decoder::EmbeddedShorten;
    }

    const std::string base = text::ascii_lower(parts.base);
    if (base == "pcm") return Decoder::PlainPcm;
    if (base == "ulaw" || base == "mulaw" || base == "mu-law") return Decoder::MuLaw;
    if (base == "alaw" || base == "a-law") return Decoder::ALaw;
    return errors::coding_not_supported(base);
}

Result<DecodedPcm> decode_with(Decoder decoder, const sphere::HeaderFields& fields, ByteView payload,
                               std::size_t lead, shorten::ShortenSamples shorten_samples) {
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
            return decode_embedded_shorten(fields, payload, lead, shorten_samples);
    }
    throw std::logic_error("unknown decoder");
}

Result<DecodedPcm> decode_payload(const sphere::HeaderFields& fields, ByteView payload) {
    SV_ASSIGN_OR_RETURN(const Decoder decoder, choose_decoder(fields));
    return decode_with(decoder, fields, payload);
}

}  // namespace sonavert::codecs
