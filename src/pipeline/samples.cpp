#include "pipeline/samples.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "codecs/g711.hpp"
#include "codecs/payload.hpp"
#include "common/checked.hpp"
#include "pipeline/errors.hpp"

namespace sonavert::pipeline {
namespace {

// Reads one sample of `form` as a 32-bit value whose top 16 bits are the
// 16-bit sample (so Pcm16 and G.711 levels come back shifted left by 16).
struct Reader {
    SampleForm form;
    bool big_endian;
    codecs::G711Table levels;

    std::int32_t operator()(const std::uint8_t* p) const noexcept {
        switch (form) {
            case SampleForm::Pcm16: {
                const std::uint32_t v = big_endian ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0];
                return static_cast<std::int32_t>(v << 16);
            }
            case SampleForm::Pcm32: {
                const std::uint32_t v = big_endian
                                            ? (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]
                                            : (std::uint32_t{p[3]} << 24) | (p[2] << 16) | (p[1] << 8) | p[0];
                return static_cast<std::int32_t>(v);
            }
            case SampleForm::MuLaw:
            case SampleForm::ALaw:
                return static_cast<std::int32_t>(static_cast<std::uint32_t>(levels[*p]) << 16);
        }
        return 0;
    }
};

void store(std::uint8_t* p, std::int32_t value, SampleForm to, bool big_endian) noexcept {
    const auto v = static_cast<std::uint32_t>(value);
    switch (to) {
        case SampleForm::Pcm16:
            if (big_endian) {
                p[0] = static_cast<std::uint8_t>(v >> 24);
                p[1] = static_cast<std::uint8_t>(v >> 16);
            } else {
                store_le16(p, static_cast<std::uint16_t>(v >> 16));
            }
            return;
        case SampleForm::Pcm32:
            if (big_endian) {
                for (int b = 0; b < 4; ++b) p[b] = static_cast<std::uint8_t>(v >> (24 - 8 * b));
            } else {
                store_le32(p, v);
            }
            return;
        case SampleForm::MuLaw:
            *p = codecs::mulaw_from_linear(static_cast<std::int16_t>(value >> 16));
            return;
        case SampleForm::ALaw:
            *p = codecs::alaw_from_linear(static_cast<std::int16_t>(value >> 16));
            return;
    }
}

// The byte offset of frame `first` and the number of samples to convert.
struct Span {
    std::size_t offset;
    std::size_t samples;
};

Span span_of(const SampleView& in, const Selection& sel) {
    const std::uint64_t width = sample_bytes(in.form);
    std::uint64_t end = 0, frame_bytes = 0, need = 0;
    if (!checked_add(sel.first, sel.count, end) || end > in.frames ||
        (sel.channel && *sel.channel >= in.channels) || !checked_mul<std::uint64_t>(in.channels, width, frame_bytes) ||
        !checked_mul(end, frame_bytes, need) || need > in.data.size()) {
        throw std::logic_error("sample selection outside the samples");
    }
    // Both fit: they are below in.data.size().
    return Span{static_cast<std::size_t>(sel.first * frame_bytes),
                static_cast<std::size_t>(sel.count * (sel.channel ? 1 : in.channels))};
}

}  // namespace

unsigned sample_bytes(SampleForm form) noexcept {
    switch (form) {
        case SampleForm::Pcm16: return 2;
        case SampleForm::Pcm32: return 4;
        case SampleForm::MuLaw:
        case SampleForm::ALaw: return 1;
    }
    return 1;
}

Selection everything(const SampleView& in) noexcept { return Selection{0, in.frames, std::nullopt}; }

Result<std::uint64_t> converted_size(const SampleView& in, const Selection& sel, SampleForm to) {
    const Span span = span_of(in, sel);
    std::uint64_t size = 0;
    if (!checked_mul<std::uint64_t>(span.samples, sample_bytes(to), size) ||
        size > std::numeric_limits<std::size_t>::max()) {
        return errors::output_too_large(span.samples);
    }
    return size;
}

void convert_samples(const SampleView& in, const Selection& sel, SampleForm to, bool big_endian_out,
                     std::uint8_t* out) noexcept {
    const Span span = span_of(in, sel);
    if (span.samples == 0) return;
    const unsigned in_width = sample_bytes(in.form);
    const std::uint8_t* src = in.data.data() + span.offset + (sel.channel ? *sel.channel * in_width : 0);
    const std::size_t stride = sel.channel ? std::size_t{in.channels} * in_width : in_width;

    // The common cases first: every channel kept in the same form.
    if (!sel.channel && in.form == to && (is_g711(to) || in.big_endian == big_endian_out)) {
        std::memcpy(out, src, span.samples * in_width);
        return;
    }
    if (!sel.channel && in.form == to) {
        codecs::copy_byte_swapped(src, out, span.samples * in_width, in_width);
        return;
    }
    if (in.form == to && is_g711(to)) {
        for (std::size_t i = 0; i < span.samples; ++i) out[i] = src[i * stride];
        return;
    }

    const Reader read{in.form, in.big_endian, codecs::make_g711_table(in.form == SampleForm::ALaw)};
    const unsigned out_width = sample_bytes(to);
    for (std::size_t i = 0; i < span.samples; ++i) {
        store(out + i * out_width, read(src + i * stride), to, big_endian_out);
    }
}

Result<ByteBuffer> header_and_samples(std::uint64_t header, const SampleView& in, const Selection& sel,
                                      SampleForm to, bool big_endian_out, std::uint64_t limit,
                                      std::string_view format) {
    SV_ASSIGN_OR_RETURN(const std::uint64_t body, converted_size(in, sel, to));
    std::uint64_t total = 0;
    if (!checked_add(header, body, total) || total > limit) return errors::format_size_limit(format, body);
    if (total > std::numeric_limits<std::size_t>::max()) return errors::output_too_large(body);
    ByteBuffer out(static_cast<std::size_t>(total));
    convert_samples(in, sel, to, big_endian_out, out.data() + header);
    return out;
}

Result<ByteBuffer> write_raw(const SampleView& in, const Selection& sel, SampleForm to) {
    return header_and_samples(0, in, sel, to, false, std::numeric_limits<std::uint64_t>::max(), "raw");
}

}  // namespace sonavert::pipeline
