#include "pipeline/wav_writer.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "common/checked.hpp"
#include "pipeline/errors.hpp"
#include "pipeline/header_bytes.hpp"

namespace sonavert::pipeline {
namespace {

// The RIFF size field counts the file minus its first 8 bytes in 32 bits,
// so the padded PCM may be at most 2^32 - 1 - 36 bytes long.
constexpr std::uint64_t kMaxPaddedPcm = std::numeric_limits<std::uint32_t>::max() - 36;

// Every field of the header, once checked.
struct WavLayout {
    std::uint16_t channel_count;
    std::uint32_t sample_rate;
    std::uint16_t bits_per_sample;
    std::uint32_t block_align;
    std::uint32_t byte_rate;
    std::uint64_t pcm_length;
    std::uint64_t padded;  // pcm_length plus the pad byte, if any
};

Result<WavLayout> check_wav(std::uint16_t channel_count, std::uint32_t sample_rate, std::uint16_t bits_per_sample,
                            std::uint64_t pcm_length) {
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
    return WavLayout{channel_count, sample_rate,  bits_per_sample, block_align, static_cast<std::uint32_t>(byte_rate),
                     pcm_length,    padded};
}

// The header fields at p[0..kWavHeaderSize).
void put_fields(std::uint8_t* p, const WavLayout& w) noexcept {
    put_tag(p + 0, "RIFF");
    store_le32(p + 4, static_cast<std::uint32_t>(w.padded + 36));
    put_tag(p + 8, "WAVE");
    put_tag(p + 12, "fmt ");
    store_le32(p + 16, 16);
    store_le16(p + 20, 1);  // integer PCM
    store_le16(p + 22, w.channel_count);
    store_le32(p + 24, w.sample_rate);
    store_le32(p + 28, w.byte_rate);
    store_le16(p + 32, static_cast<std::uint16_t>(w.block_align));
    store_le16(p + 34, w.bits_per_sample);
    put_tag(p + 36, "data");
    store_le32(p + 40, static_cast<std::uint32_t>(w.pcm_length));
}

// The header at p[0..kWavHeaderSize), and the pad byte after the PCM.
void put_header(std::uint8_t* p, const WavLayout& w) noexcept {
    put_fields(p, w);
    if (w.padded != w.pcm_length) p[kWavHeaderSize + w.pcm_length] = 0;
}

// The header of a G.711 file at p[0..kWavG711HeaderSize).
void put_g711_header(std::uint8_t* p, std::uint16_t channels, std::uint32_t rate, std::uint32_t frames,
                     std::uint64_t data, bool alaw) noexcept {
    put_tag(p + 0, "RIFF");
    store_le32(p + 4, static_cast<std::uint32_t>(data + kWavG711HeaderSize - 8));
    put_tag(p + 8, "WAVE");
    put_tag(p + 12, "fmt ");
    store_le32(p + 16, 18);
    store_le16(p + 20, alaw ? 6 : 7);
    store_le16(p + 22, channels);
    store_le32(p + 24, rate);
    store_le32(p + 28, rate * std::uint32_t{channels});  // checked by the caller
    store_le16(p + 32, channels);
    store_le16(p + 34, 8);
    store_le16(p + 36, 0);  // no extension
    put_tag(p + 38, "fact");
    store_le32(p + 42, 4);
    store_le32(p + 46, frames);
    put_tag(p + 50, "data");
    store_le32(p + 54, static_cast<std::uint32_t>(data));
}

}  // namespace

Result<std::array<std::uint8_t, kWavHeaderSize>> wav_header(std::uint16_t channel_count, std::uint32_t sample_rate,
                                                            std::uint16_t bits_per_sample, std::uint64_t pcm_length) {
    SV_ASSIGN_OR_RETURN(const WavLayout layout, check_wav(channel_count, sample_rate, bits_per_sample, pcm_length));
    std::array<std::uint8_t, kWavHeaderSize> out{};
    put_fields(out.data(), layout);
    return out;
}

Result<ByteBuffer> write_wav_samples(std::uint64_t sample_rate, const SampleView& in, const Selection& sel,
                                     SampleForm to) {
    const std::uint32_t channels = selected_channels(in, sel);
    if (channels > std::numeric_limits<std::uint16_t>::max()) return errors::channel_count_too_large("WAV");
    if (sample_rate > std::numeric_limits<std::uint32_t>::max()) return errors::sample_rate_too_large("WAV");
    const auto rate = static_cast<std::uint32_t>(sample_rate);
    const auto channel_count = static_cast<std::uint16_t>(channels);
    SV_ASSIGN_OR_RETURN(const std::uint64_t data, converted_size(in, sel, to));

    if (!is_g711(to)) {
        SV_ASSIGN_OR_RETURN(ByteBuffer out,
                            start_wav(channel_count, rate, static_cast<std::uint16_t>(8 * sample_bytes(to)), data));
        convert_samples(in, sel, to, false, out.data() + kWavHeaderSize);
        return out;
    }
    if (std::uint64_t{rate} * channels > std::numeric_limits<std::uint32_t>::max()) {
        return errors::byte_rate_too_large();
    }
    if (data > std::numeric_limits<std::uint32_t>::max() - (kWavG711HeaderSize - 8)) {
        return errors::wav_too_large(data);
    }
    ByteBuffer out(static_cast<std::size_t>(kWavG711HeaderSize + data));
    // The data size bounds the frame count, so it fits 32 bits.
    put_g711_header(out.data(), channel_count, rate, static_cast<std::uint32_t>(sel.count), data,
                    to == SampleForm::ALaw);
    convert_samples(in, sel, to, false, out.data() + kWavG711HeaderSize);
    return out;
}

Result<ByteBuffer> start_wav(std::uint16_t channel_count, std::uint32_t sample_rate,
                             std::uint16_t bits_per_sample, std::uint64_t pcm_length) {
    SV_ASSIGN_OR_RETURN(const WavLayout layout, check_wav(channel_count, sample_rate, bits_per_sample, pcm_length));
    // At most 2^32 - 1 bytes, so the size fits any size_t of 32 bits or more.
    ByteBuffer out(static_cast<std::size_t>(kWavHeaderSize + layout.padded));
    put_header(out.data(), layout);
    return out;
}

Result<ByteBuffer> finish_wav(ByteBuffer&& file, std::uint16_t channel_count, std::uint32_t sample_rate,
                              std::uint16_t bits_per_sample) {
    if (file.size() < kWavHeaderSize) throw std::logic_error("finish_wav needs room for the header");
    const std::uint64_t pcm_length = file.size() - kWavHeaderSize;
    SV_ASSIGN_OR_RETURN(const WavLayout layout, check_wav(channel_count, sample_rate, bits_per_sample, pcm_length));
    ByteBuffer out = std::move(file);
    if (layout.padded != pcm_length) out.resize(static_cast<std::size_t>(kWavHeaderSize + layout.padded));
    put_header(out.data(), layout);
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
