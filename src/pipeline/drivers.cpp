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

}  // namespace

Result<codecs::DecodedPcm> decode_audio(const sphere::SphereHeader& header) {
    const std::string_view coding = sphere::field_text(header.fields, "sample_coding", "pcm");
    if (codecs::split_coding(coding).compressed()) {
        return codecs::decode_payload(header.fields, header.payload);
    }
    SV_ASSIGN_OR_RETURN(const std::uint64_t size, sphere::declared_payload_size(header.fields));
    if (header.payload.size() < size) return errors::payload_truncated(size, header.payload.size());
    return codecs::decode_payload(header.fields, header.payload.first(size));
}

Result<ByteBuffer> decode_pcm(ByteView file) {
    SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file));
    SV_ASSIGN_OR_RETURN(codecs::DecodedPcm decoded, decode_audio(header));
    return std::move(decoded.pcm);
}

Result<ByteBuffer> transcode_to_wav(ByteView file) {
    SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file));
    SV_ASSIGN_OR_RETURN(const codecs::DecodedPcm decoded, decode_audio(header));

    // Validation guarantees both values are at least 1.
    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(header.fields, "channel_count"));
    if (channels > kMaxWavChannels) return errors::channel_count_too_large();
    SV_ASSIGN_OR_RETURN(const std::int64_t rate, sphere::require_int(header.fields, "sample_rate"));
    if (rate > kMaxWavSampleRate) return errors::sample_rate_too_large();

    // The writer's copy into the final buffer is the only copy of the PCM.
    return write_wav(static_cast<std::uint16_t>(channels), static_cast<std::uint32_t>(rate),
                     decoded.bits_per_sample, decoded.pcm.view());
}

}  // namespace sonavert::pipeline
