#include "pipeline/convert.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "codecs/payload.hpp"
#include "pipeline/aiff_writer.hpp"
#include "pipeline/au_writer.hpp"
#include "pipeline/drivers.hpp"
#include "pipeline/errors.hpp"
#include "pipeline/sphere_writer.hpp"
#include "pipeline/wav_writer.hpp"
#include "common/text.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

// t x rate truncated towards zero, as a frame number; values beyond 64 bits
// (past any file's end) become the largest.
std::uint64_t frame_at(double seconds, std::uint64_t rate) noexcept {
    const double frame = seconds * static_cast<double>(rate);
    if (!(frame < 18446744073709551616.0)) return std::numeric_limits<std::uint64_t>::max();
    return frame > 0 ? static_cast<std::uint64_t>(frame) : 0;
}

// The samples of the payload as stored, and the form they are stored in.
struct Source {
    SampleView view;
    SampleForm stored;
    codecs::DecodedPcm decoded;  // owns the samples of a Shorten payload
};

// `lead`: bytes left free in front of decoded samples (Shorten only).
// `g711_out`: the output is G.711, so a mu-law Shorten stream hands out its
// code bytes as stored rather than levels that would be encoded again (a
// stored 0x7F, a zero, would otherwise come back as 0xFF).
Result<Source> read_source(const sphere::SphereHeader& header, std::uint32_t channels, std::uint64_t frames,
                           std::size_t lead, bool g711_out) {
    SV_ASSIGN_OR_RETURN(const codecs::Decoder decoder,
                        codecs::choose_decoder(header.fields, header.payload, header.payload.size(),
                                               codecs::Reading::Corpora));
    SV_ASSIGN_OR_RETURN(const ByteView payload, audio_payload(header, decoder));
    Source source;
    source.view.channels = channels;
    source.view.frames = frames;
    switch (decoder) {
        case codecs::Decoder::PlainPcm: {
            SV_ASSIGN_OR_RETURN(const codecs::PlainPcm layout, codecs::check_plain_pcm(header.fields));
            source.stored = layout.bits_per_sample == 32 ? SampleForm::Pcm32 : SampleForm::Pcm16;
            source.view.form = source.stored;
            source.view.big_endian = layout.big_endian;
            source.view.data = payload;
            return source;
        }
        case codecs::Decoder::MuLaw:
        case codecs::Decoder::ALaw: {
            const bool alaw = decoder == codecs::Decoder::ALaw;
            SV_TRY(codecs::check_g711(header.fields, alaw));
            source.stored = alaw ? SampleForm::ALaw : SampleForm::MuLaw;
            source.view.form = source.stored;
            source.view.data = payload;
            return source;
        }
        case codecs::Decoder::EmbeddedShorten: {
            // A stream of mu-law samples is stored as mu-law, and is written
            // so unless asked otherwise.
            const std::string_view coding = sphere::field_text(header.fields, "sample_coding", "pcm");
            const codecs::CodingParts parts = codecs::split_coding(coding);
            const std::string base = text::ascii_lower(parts.base);
            const bool ulaw = base == "ulaw" || base == "mulaw" || base == "mu-law";
            const shorten::ShortenSamples samples =
                ulaw && g711_out ? shorten::ShortenSamples::MuLawCodes : shorten::ShortenSamples::Levels;
            SV_ASSIGN_OR_RETURN(source.decoded, codecs::decode_with(decoder, header.fields, payload, lead, samples,
                                                                    codecs::Reading::Corpora));
            source.stored = ulaw ? SampleForm::MuLaw : SampleForm::Pcm16;
            source.view.form = source.decoded.mulaw_codes ? SampleForm::MuLaw : SampleForm::Pcm16;
            source.view.data = source.decoded.pcm.view().subspan(lead);
            return source;
        }
        case codecs::Decoder::PcuLaw: {
            // Stored as mu-law: the code bytes with their bits put in order.
            SV_TRY(codecs::check_g711(header.fields, false));
            source.decoded = codecs::DecodedPcm{8, codecs::mulaw_codes_of_pculaw(payload), true};
            source.stored = SampleForm::MuLaw;
            source.view.form = SampleForm::MuLaw;
            source.view.data = source.decoded.pcm.view();
            return source;
        }
        case codecs::Decoder::PcuLawShorten: {
            const shorten::ShortenSamples samples =
                g711_out ? shorten::ShortenSamples::MuLawCodes : shorten::ShortenSamples::Levels;
            SV_ASSIGN_OR_RETURN(source.decoded, codecs::decode_with(decoder, header.fields, payload, lead, samples,
                                                                    codecs::Reading::Corpora));
            source.stored = SampleForm::MuLaw;
            source.view.form = source.decoded.mulaw_codes ? SampleForm::MuLaw : SampleForm::Pcm16;
            source.view.data = source.decoded.pcm.view().subspan(lead);
            return source;
        }
    }
    throw std::logic_error("unknown decoder");
}

SampleForm output_form(FormRequest form, SampleForm stored) noexcept {
    switch (form) {
        case FormRequest::AsStored: return stored;
        case FormRequest::Pcm16: return SampleForm::Pcm16;
        case FormRequest::MuLaw: return SampleForm::MuLaw;
        case FormRequest::ALaw: return SampleForm::ALaw;
    }
    return stored;
}

std::string_view format_name(OutputFormat format) noexcept {
    switch (format) {
        case OutputFormat::Sphere: return "SPHERE";
        case OutputFormat::Raw: return "raw";
        case OutputFormat::Wav: return "WAV";
        case OutputFormat::Au: return "AU";
        case OutputFormat::Aiff: return "AIFF";
    }
    return "raw";
}

}  // namespace

Result<Selection> select_range(const RangeRequest& range, std::uint64_t frames, std::uint64_t rate) {
    std::uint64_t begin = 0, end = 0;
    switch (range.unit) {
        case RangeRequest::Unit::None: break;
        case RangeRequest::Unit::Seconds:
            begin = frame_at(range.begin_seconds, rate);
            end = frame_at(range.end_seconds, rate);
            break;
        case RangeRequest::Unit::Samples:
            begin = range.begin_sample;
            end = range.end_sample;
            break;
    }
    if (end == 0 || end > frames) end = frames;
    if (begin > frames) return errors::range_starts_after_end(begin, frames);
    if (end < begin) return errors::range_ends_before_start(end, begin);
    return Selection{begin, end - begin, std::nullopt};
}

namespace {

// The shape of a file as its validated header gives it.
struct Shape {
    std::int64_t channels = 0, frames = 0, rate = 0;
};

Result<Shape> shape_of(const sphere::SphereHeader& header, OutputFormat format) {
    Shape shape;
    SV_ASSIGN_OR_RETURN(shape.channels, sphere::require_int(header.fields, "channel_count"));
    SV_ASSIGN_OR_RETURN(shape.frames, sphere::require_int(header.fields, "sample_count"));
    SV_ASSIGN_OR_RETURN(shape.rate, sphere::require_int(header.fields, "sample_rate"));
    // Validation keeps all three at 1 or more (sample_count at 0 or more).
    if (shape.channels > std::numeric_limits<std::uint32_t>::max()) {
        return errors::channel_count_too_large(format_name(format));
    }
    return shape;
}

// The error for channel `channel` (counted from 1) of a file of `channels`,
// or none when the file has it.
Status check_channel(std::uint64_t channel, std::int64_t channels) {
    if (channel != 0 && channel <= static_cast<std::uint64_t>(channels)) return ok_status();
    if (channels == 1) return errors::no_such_channel_of_one(channel);
    return errors::no_such_channel(channel, channels);
}

// Decodes the payload and writes `sel` of it; `choose` (the channel and
// range checks) runs after decoding and may change `sel`. A whole file to
// 16-bit WAV: decoded samples get room for the WAV header in front, and
// become the file without a copy.
template <typename Choose>
Result<ByteBuffer> decode_and_write(const sphere::SphereHeader& header, OutputFormat format, FormRequest form,
                                    const Shape& shape, bool whole, Choose choose) {
    const bool whole_wav = whole && format == OutputFormat::Wav &&
                           (form == FormRequest::AsStored || form == FormRequest::Pcm16);
    // Output as stored or G.711 may be G.711 (AIFF's is always linear).
    const bool g711_out = form != FormRequest::Pcm16 && format != OutputFormat::Aiff;
    SV_ASSIGN_OR_RETURN(Source source, read_source(header, static_cast<std::uint32_t>(shape.channels),
                                                   static_cast<std::uint64_t>(shape.frames),
                                                   whole_wav ? kWavHeaderSize : 0, g711_out));
    SV_ASSIGN_OR_RETURN(const Selection sel, choose(source.view));
    const SampleForm to = output_form(form, source.stored);
    const auto sample_rate = static_cast<std::uint64_t>(shape.rate);
    // (Decoded samples are 16-bit levels with room in front, unless they are
    // code bytes.)
    if (whole_wav && to == SampleForm::Pcm16 && !source.decoded.pcm.empty() && !source.decoded.mulaw_codes) {
        // The checks of write_wav_samples, in its order.
        if (shape.channels > std::numeric_limits<std::uint16_t>::max()) {
            return errors::channel_count_too_large("WAV");
        }
        if (shape.rate > std::numeric_limits<std::uint32_t>::max()) return errors::sample_rate_too_large("WAV");
        return finish_wav(std::move(source.decoded.pcm), static_cast<std::uint16_t>(shape.channels),
                          static_cast<std::uint32_t>(shape.rate), 16);
    }
    switch (format) {
        case OutputFormat::Sphere: return write_sphere(header.fields, source.view, sel, to);
        case OutputFormat::Raw: return write_raw(source.view, sel, to);
        case OutputFormat::Wav: return write_wav_samples(sample_rate, source.view, sel, to);
        case OutputFormat::Au: return write_au(sample_rate, source.view, sel, to);
        case OutputFormat::Aiff: return write_aiff(sample_rate, source.view, sel, to);
    }
    throw std::logic_error("unknown output format");
}

}  // namespace

Result<ByteBuffer> convert(const sphere::SphereHeader& header, const ConvertRequest& request) {
    SV_ASSIGN_OR_RETURN(const Shape shape, shape_of(header, request.format));
    const bool whole = !request.channel && request.range.unit == RangeRequest::Unit::None;
    return decode_and_write(header, request.format, request.form, shape, whole,
                            [&](const SampleView& view) -> Result<Selection> {
                                if (request.channel) SV_TRY(check_channel(*request.channel, shape.channels));
                                SV_ASSIGN_OR_RETURN(Selection sel,
                                                    select_range(request.range, view.frames,
                                                                 static_cast<std::uint64_t>(shape.rate)));
                                if (request.channel) sel.channel = *request.channel - 1;
                                return sel;
                            });
}

Result<ByteBuffer> convert_selection(const sphere::SphereHeader& header, OutputFormat format, FormRequest form,
                                     const Selection& sel) {
    SV_ASSIGN_OR_RETURN(const Shape shape, shape_of(header, format));
    const auto frames = static_cast<std::uint64_t>(shape.frames);
    const bool whole = !sel.channel && sel.first == 0 && sel.count == frames;
    return decode_and_write(header, format, form, shape, whole, [&](const SampleView&) -> Result<Selection> {
        if (sel.channel) SV_TRY(check_channel(std::uint64_t{*sel.channel} + 1, shape.channels));
        if (sel.first > frames) return errors::range_starts_after_end(sel.first, frames);
        Selection cut = sel;
        cut.count = std::min(sel.count, frames - sel.first);
        return cut;
    });
}

}  // namespace sonavert::pipeline
