#include "pipeline/aiff_writer.hpp"

#include <bit>
#include <limits>

#include "pipeline/errors.hpp"
#include "pipeline/header_bytes.hpp"

namespace sonavert::pipeline {
namespace {

// The FORM chunk's size field counts the file minus its first 8 bytes.
constexpr std::uint64_t kMaxFile = std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 8;
constexpr std::uint16_t kExtendedBias = 16383;

}  // namespace

SampleForm aiff_form(SampleForm to) noexcept { return is_g711(to) ? SampleForm::Pcm16 : to; }

void store_extended(std::uint8_t* p, std::uint64_t value) noexcept {
    // value = 1.m x 2^e with e = floor(log2 value): the explicit integer bit
    // leads the 64-bit mantissa.
    const int exponent = std::bit_width(value) - 1;
    store_be16(p, static_cast<std::uint16_t>(kExtendedBias + exponent));
    const std::uint64_t mantissa = value << (63 - exponent);
    store_be32(p + 2, static_cast<std::uint32_t>(mantissa >> 32));
    store_be32(p + 6, static_cast<std::uint32_t>(mantissa));
}

Result<ByteBuffer> write_aiff(std::uint64_t sample_rate, const SampleView& in, const Selection& sel, SampleForm to) {
    const std::uint32_t channels = selected_channels(in, sel);
    if (channels > std::numeric_limits<std::uint16_t>::max()) return errors::channel_count_too_large("AIFF");
    const SampleForm form = aiff_form(to);
    SV_ASSIGN_OR_RETURN(ByteBuffer out, header_and_samples(kAiffHeaderSize, in, sel, form, true, kMaxFile, "AIFF"));
    // Within kMaxFile, so every size below fits its 32-bit field, and so does
    // the frame count (at most the data size).
    const auto data = static_cast<std::uint32_t>(out.size() - kAiffHeaderSize);
    std::uint8_t* p = out.data();
    put_tag(p, "FORM");
    store_be32(p + 4, static_cast<std::uint32_t>(out.size() - 8));
    put_tag(p + 8, "AIFF");
    put_tag(p + 12, "COMM");
    store_be32(p + 16, 18);
    store_be16(p + 20, static_cast<std::uint16_t>(channels));
    store_be32(p + 22, static_cast<std::uint32_t>(sel.count));
    store_be16(p + 26, static_cast<std::uint16_t>(8 * sample_bytes(form)));
    store_extended(p + 28, sample_rate);
    put_tag(p + 38, "SSND");
    store_be32(p + 42, data + 8);
    store_be32(p + 46, 0);  // offset
    store_be32(p + 50, 0);  // block size
    return out;
}

}  // namespace sonavert::pipeline
