#include "pipeline/wav_writer.hpp"

#include <cstring>
#include <limits>

#include "common/checked.hpp"
#include "pipeline/errors.hpp"

namespace sonavert::pipeline {
namespace {

// The RIFF size field counts the file minus its first 8 bytes in 32 bits,
// so the padded PCM may be at most 2^32 - 1 - 36 bytes long.
constexpr std::uint64_t kMaxPaddedPcm = std::numeric_limits<std::uint32_t>::max() - 36;

void put_tag(std::uint8_t* p, const char (&tag)[5]) { std::memcpy(p, tag, 4); }

}  // namespace

Result<ByteBuffer> start_wav(std::uint16_t channel_count, std::uint32_t sample_rate,
                             std::uint16_t bits_per_sample, std::uint64_t pcm_length) {
    if (bits_per_sample % 8 != 0) return errors::bits_not_multiple_of_8(bits_per_sample);

    // Both factors are 16-bit, so the 32-bit product cannot overflow.
    const std::uint32_t block_align = std::uint32_t{channel_count} * (bits_per_sample / 8u);
    // The full product of two 32-bit values fits in 64 bits.
    const std::uint64_t byte_rate = std::uint64_t{sample_rate} * block_align;
    if (byte_rate > std::numeric_limits<std::uint32_t>::max()) return errors::byte_rate_too_large();

    const std::uint64_t pad = pcm_length & 1u;
    std::uint64_t padded = 0;
    if (!checked_add(pcm_length, pad, padded) || padded > kMaxPaddedPcm) {
        return errors::wav_too_large(pcm_length);
    }

    // WATCHOUT: the three checks above are the ones callers rely on, in that
    // order; this one comes last so that it never hides one of them.
    if (block_align > std::numeric_limits<std::uint16_t>::max()) {
        return errors::block_align_too_large();
    }

    // At most 2^32 - 1 bytes, so the size fits any size_t of 32 bits or more.
    ByteBuffer out(static_cast<std::size_t>(kWavHeaderSize + padded));
    std::uint8_t* p = out.data();
    put_tag(p + 0, "RIFF");
    store_le32(p + 4, static_cast<std::uint32_t>(padded + 36));
    put_tag(p + 8, "WAVE");
    put_tag(p + 12, "fmt ");
    store_le32(p + 16, 16);
    store_le16(p + 20, 1);  // integer PCM
    store_le16(p + 22, channel_count);
    store_le32(p + 24, sample_rate);
    store_le32(p + 28, static_cast<std::uint32_t>(byte_rate));
    store_le16(p + 32, static_cast<std::uint16_t>(block_align));
    store_le16(p + 34, bits_per_sample);
    put_tag(p + 36, "data");
    store_le32(p + 40, static_cast<std::uint32_t>(pcm_length));
    if (pad != 0) p[kWavHeaderSize + pcm_length] = 0;
    return out;
}

Result<ByteBuffer> write_wav(std::uint16_t channel_count, std::uint32_t sample_rate,
                             std::uint16_t bits_per_sample, ByteView pcm) {
    SV_ASSIGN_OR_RETURN(ByteBuffer out,
                        start_wav(channel_count, sample_rate, bits_per_sample, pcm.size()));
    if (!pcm.empty()) std::memcpy(out.data() + kWavHeaderSize, pcm.data(), pcm.size());
    return out;
}

}  // namespace sonavert::pipeline
