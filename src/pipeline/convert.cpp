#include "pipeline/convert.hpp"

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
    SV_ASSIGN_OR_RETURN(const codecs::Decoder decoder, codecs::choose_decoder(header.fields));
    SV_ASSIGN_OR_RETURN(const ByteView payload, audio_payload(header));
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
            SV_ASSIGN_OR_RETURN(source.decoded, codecs::decode_with(decoder, header.fields, payload, lead, samples));
            source.stored = ulaw ? SampleForm::MuLaw : SampleForm::Pcm16;
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

Result<ByteBuffer> convert(const sphere::SphereHeader& header, const ConvertRequest& request) {
    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(header.fields, "channel_count"));
    SV_ASSIGN_OR_RETURN(const std::int64_t frames, sphere::require_int(header.fields, "sample_count"));
    SV_ASSIGN_OR_RETURN(const std::int64_t rate, sphere::require_int(header.fields, "sample_rate"));
    // Validation keeps all three at 1 or more (sample_count at 0 or more).
    if (channels > std::numeric_limits<std::uint32_t>::max()) {
        return errors::channel_count_too_large(format_name(request.format));
    }
    // A whole file to 16-bit WAV: decoded samples get room for the WAV
    // header in front, and become the file without a copy.
    const bool whole_wav = request.format == OutputFormat::Wav && !request.channel &&
                           request.range.unit == RangeRequest::Unit::None &&
                           (request.form == FormRequest::AsStored || request.form == FormRequest::Pcm16);
    // Output as stored or G.711 may be G.711 (AIFF's is always linear).
    const bool g711_out = request.form != FormRequest::Pcm16 && request.format != OutputFormat::Aiff;
    SV_ASSIGN_OR_RETURN(Source source, read_source(header, static_cast<std::uint32_t>(channels),
                                                   static_cast<std::uint64_t>(frames),
                                                   whole_wav ? kWavHeaderSize : 0, g711_out));
    if (request.channel && (*request.channel == 0 || *request.channel > channels)) {
        if (channels == 1) return errors::no_such_channel_of_one(*request.channel);
        return errors::no_such_channel(*request.channel, channels);
    }
    SV_ASSIGN_OR_RETURN(Selection sel,
                        select_range(request.range, source.view.frames, static_cast<std::uint64_t>(rate)));
    if (request.channel) sel.channel = *request.channel - 1;

    const SampleForm to = output_form(request.form, source.stored);
    const auto sample_rate = static_cast<std::uint64_t>(rate);
    if (whole_wav && to == SampleForm::Pcm16 && !source.decoded.pcm.empty()) {
        // The checks of write_wav_samples, in its order.
        if (channels > std::numeric_limits<std::uint16_t>::max()) return errors::channel_count_too_large("WAV");
        if (rate > std::numeric_limits<std::uint32_t>::max()) return errors::sample_rate_too_large("WAV");
        return finish_wav(std::move(source.decoded.pcm), static_cast<std::uint16_t>(channels),
                          static_cast<std::uint32_t>(rate), 16);
    }
    switch (request.format) {
        case OutputFormat::Sphere: return write_sphere(header.fields, source.view, sel, to);
        case OutputFormat::Raw: return write_raw(source.view, sel, to);
        case OutputFormat::Wav: return write_wav_samples(sample_rate, source.view, sel, to);
        case OutputFormat::Au: return write_au(sample_rate, source.view, sel, to);
        case OutputFormat::Aiff: return write_aiff(sample_rate, source.view, sel, to);
    }
    throw std::logic_error("unknown output format");
}

}  // namespace sonavert::pipeline
