#include "pipeline/drivers.hpp"

#include <cstdint>
#include <limits>

#include "pipeline/errors.hpp"
#include "pipeline/wav_writer.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

// The widths of the WAV header's channel and sample-rate fields.
constexpr std::int64_t kMaxWavChannels = std::numeric_limits<std::uint16_t>::max();
constexpr std::int64_t kMaxWavSampleRate = std::numeric_limits<std::uint32_t>::max();

// The header's sample_coding text (default "pcm"), split once per call.
struct Coding {
    std::string_view text;
    codecs::CodingParts parts;
};
Coding coding_of(const sphere::HeaderFields& fields) {
    const std::string_view text = sphere::field_text(fields, "sample_coding", "pcm");
    return {text, codecs::split_coding(text)};
}

// Exactly the declared payload size, or the truncation message.
Result<ByteView> declared_payload(const sphere::SphereHeader& header) {
    SV_ASSIGN_OR_RETURN(const std::uint64_t size, sphere::declared_payload_size(header.fields));
    if (header.payload.size() < size) return errors::payload_truncated(size, header.payload.size());
    return header.payload.first(size);
}

// The bytes handed to the decoder: every byte after the header for a
// compressed coding, else exactly the declared payload size.
Result<ByteView> audio_payload(const sphere::SphereHeader& header, const Coding& coding) {
    if (coding.parts.compressed()) return header.payload;
    return declared_payload(header);
}

struct WavFormat {
    std::uint16_t channel_count;
    std::uint32_t sample_rate;
};

// The header's channel_count and sample_rate within the WAV fields' widths.
// Validation guarantees both are at least 1.
Result<WavFormat> wav_format(const sphere::HeaderFields& fields) {
    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(fields, "channel_count"));
    if (channels > kMaxWavChannels) return errors::channel_count_too_large("WAV");
    SV_ASSIGN_OR_RETURN(const std::int64_t rate, sphere::require_int(fields, "sample_rate"));
    if (rate > kMaxWavSampleRate) return errors::sample_rate_too_large("WAV");
    return WavFormat{static_cast<std::uint16_t>(channels), static_cast<std::uint32_t>(rate)};
}

}  // namespace

Result<ByteView> audio_payload(const sphere::SphereHeader& header) {
    return audio_payload(header, coding_of(header.fields));
}

Result<ByteView> audio_payload(const sphere::SphereHeader& header, codecs::Decoder decoder) {
    if (codecs::reads_stream(decoder)) return header.payload;
    return declared_payload(header);
}

Result<codecs::DecodedPcm> decode_audio(const sphere::SphereHeader& header) {
    const Coding coding = coding_of(header.fields);
    SV_ASSIGN_OR_RETURN(const ByteView payload, audio_payload(header, coding));
    SV_ASSIGN_OR_RETURN(const codecs::Decoder decoder, codecs::choose_decoder(coding.text, coding.parts));
    return codecs::decode_with(decoder, header.fields, payload);
}

Result<ByteBuffer> decode_pcm(ByteView file) {
    SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file));
    SV_ASSIGN_OR_RETURN(codecs::DecodedPcm decoded, decode_audio(header));
    return std::move(decoded.pcm);
}

Result<ByteBuffer> transcode_to_wav(ByteView file) {
    SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file));
    const Coding coding = coding_of(header.fields);
    SV_ASSIGN_OR_RETURN(const ByteView payload, audio_payload(header, coding));
    SV_ASSIGN_OR_RETURN(const codecs::Decoder decoder, codecs::choose_decoder(coding.text, coding.parts));

    if (decoder == codecs::Decoder::PlainPcm) {
        // Plain PCM is converted straight into the WAV file: every check
        // that decoding makes comes first, as in the general path below,
        // and the conversion itself cannot fail. This saves a buffer the
        // size of the payload, whose fresh pages cost more than the copy.
        SV_ASSIGN_OR_RETURN(const codecs::PlainPcm layout, codecs::check_plain_pcm(header.fields));
        SV_ASSIGN_OR_RETURN(const WavFormat format, wav_format(header.fields));
        SV_ASSIGN_OR_RETURN(ByteBuffer wav, start_wav(format.channel_count, format.sample_rate,
                                                      layout.bits_per_sample, payload.size()));
        codecs::convert_plain_pcm(layout, payload, wav.data() + kWavHeaderSize);
        return wav;
    }

    // The decoder leaves room for the WAV header in front of the PCM, so the
    // PCM is never copied.
    SV_ASSIGN_OR_RETURN(codecs::DecodedPcm decoded,
                        codecs::decode_with(decoder, header.fields, payload, kWavHeaderSize));
    SV_ASSIGN_OR_RETURN(const WavFormat format, wav_format(header.fields));
    return finish_wav(std::move(decoded.pcm), format.channel_count, format.sample_rate, decoded.bits_per_sample);
}

}  // namespace sonavert::pipeline
