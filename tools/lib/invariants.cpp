#include "invariants.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/g711_table.hpp"
#include "common/text.hpp"
#include "oracles.hpp"
#include "pipeline/drivers.hpp"
#include "pipeline/frames.hpp"
#include "pipeline/header_rules.hpp"
#include "shorten/decoder.hpp"
#include "shorten/incremental.hpp"
#include "shorten/to_pcm.hpp"
#include "sphere/fields.hpp"
#include "sphere/header.hpp"

namespace sonavert::testkit {
namespace {

CheckOutcome broken(std::string what, const std::string& detail = {}) {
    return {false, detail.empty() ? std::move(what) : what + ": " + detail};
}

// A failure's message and kind must be catalogued under `groups`.
CheckOutcome failed_with(const Error& error, unsigned groups) {
    if (!is_catalogued(error, groups)) return broken("error not in the catalogue (message or kind)", error.message);
    return {};
}

// The fields that the library reads, and one it does not.
bool same_fields(const sphere::HeaderFields& a, const sphere::HeaderFields& b) {
    for (const char* name : {"sample_count", "sample_rate", "channel_count", "sample_n_bytes", "sample_coding",
                             "sample_byte_format", "database_id"}) {
        if (a.find(name) != b.find(name)) return false;
    }
    return true;
}

// The PCM length a parsed header promises: sample_count x channel_count x 2
// for a compressed coding, else the declared payload size, doubled for
// G.711 (one-byte samples). Only called where decoding succeeded, so the
// products fit.
std::uint64_t promised_length(const sphere::HeaderFields& fields) {
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    const std::size_t comma = coding.find(',');
    const std::string_view second = comma == std::string_view::npos ? std::string_view() : coding.substr(comma + 1);
    const auto count = static_cast<std::uint64_t>(*sphere::require_int(fields, "sample_count"));
    const auto channels = static_cast<std::uint64_t>(*sphere::require_int(fields, "channel_count"));
    if (!text::trim(second.substr(0, second.find(','))).empty()) return count * channels * 2;
    const auto width = static_cast<std::uint64_t>(*sphere::require_int(fields, "sample_n_bytes"));
    return count * channels * width * (width == 1 ? 2 : 1);
}

// A whole file's header and payload decoded as the package and the command
// read them (every coding of Reading::Corpora), with the checks in
// check_audio's order: the declared payload within the file (unless the
// payload is a stream), then the coding.
Result<ByteBuffer> decode_corpora(const sphere::SphereHeader& header) {
    ByteView payload = header.payload;
    if (!codecs::undeclared_shorten(header.fields, header.payload, header.payload.size())) {
        SV_ASSIGN_OR_RETURN(payload, pipeline::audio_payload(header));
    }
    SV_ASSIGN_OR_RETURN(const codecs::Decoder decoder,
                        codecs::choose_decoder(header.fields, header.payload, header.payload.size(),
                                               codecs::Reading::Corpora));
    SV_ASSIGN_OR_RETURN(codecs::DecodedPcm pcm,
                        codecs::decode_with(decoder, header.fields, payload, 0, shorten::ShortenSamples::Levels,
                                            codecs::Reading::Corpora));
    return std::move(pcm.pcm);
}

// True when the header's base coding is pculaw, which the package reads as
// bit-reversed mu-law where decode_pcm refuses it or (compressed) decodes
// the stream's samples as they are.
bool pculaw_base(const sphere::HeaderFields& fields) {
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    return text::ascii_lower(codecs::split_coding(coding).base) == "pculaw";
}

}  // namespace

CheckOutcome check_parse_header(ByteView input) {
    Result<sphere::SphereHeader> header = sphere::parse_header(input);
    if (!header) return failed_with(header.error(), kHeaderMessages);
    const CheckOutcome ok{true, {}};
    if (input.size() < 7 || std::memcmp(input.data(), "NIST_1A", 7) != 0) return broken("parsed without the magic");
    if (header->header_size < 1 || header->header_size > input.size()) return broken("header size out of range");
    if (header->payload.data() != input.data() + header->header_size ||
        header->payload.size() != input.size() - header->header_size) {
        return broken("payload is not the input's tail");
    }
    struct Required {
        const char* name;
        std::int64_t minimum;
    };
    for (Required r : {Required{"sample_count", 0}, Required{"sample_rate", 1}, Required{"channel_count", 1},
                       Required{"sample_n_bytes", 1}}) {
        Result<std::int64_t> value = sphere::require_int(header->fields, r.name);
        if (!value || *value < r.minimum) return broken("required field not validated", r.name);
    }

    // The header block alone, and the block followed by other bytes, parse
    // to the same fields.
    const std::size_t block_size = static_cast<std::size_t>(header->header_size);
    Result<sphere::SphereHeader> alone = sphere::parse_header(input.first(block_size));
    if (!alone || alone->header_size != header->header_size || !alone->payload.empty() ||
        !same_fields(alone->fields, header->fields)) {
        return broken("the header block alone parses otherwise");
    }
    std::vector<std::uint8_t> longer(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(block_size));
    longer.insert(longer.end(), {0xFF, 0x00, '\n'});
    Result<sphere::SphereHeader> extended = sphere::parse_header(longer);
    if (!extended || extended->payload.size() != 3 || !same_fields(extended->fields, header->fields)) {
        return broken("other bytes after the header block change the parse");
    }
    return ok;
}

// The incremental decoder against the whole-stream decode `whole` of the
// same input: the same channel count and flag, the same frames (read `step`
// at a time, every fourth call a skip of `step`), the same error, and
// frames_made() counting what was handed out. Empty when they agree.
std::string incremental_mismatch(ByteView input, const Result<shorten::ShortenPcm>& whole, std::size_t step,
                                 shorten::Versions versions) {
    Result<shorten::IncrementalDecoder> opened = shorten::IncrementalDecoder::open(
        input, shorten::Reconstruction::Proven, shorten::ShortenSamples::Levels, versions);
    if (!opened) {
        if (whole) return "the incremental decoder fails to open a stream that decodes";
        return opened.error() == whole.error() ? "" : "the incremental decoder opens otherwise: " + opened.error().message;
    }
    shorten::IncrementalDecoder& decoder = *opened;
    if (whole && (decoder.channel_count() != whole->channel_count || decoder.is_ulaw() != whole->is_ulaw)) {
        return "the incremental decoder reads another header";
    }
    const auto channels = static_cast<std::size_t>(decoder.channel_count());
    // A failure of the incremental decoder is right when it is the whole decode's.
    const auto fault = [&whole](const Error& error) -> std::string {
        if (whole) return "the incremental decoder fails a stream that decodes: " + error.message;
        return error == whole.error() ? "" : "the incremental decoder fails otherwise: " + error.message;
    };
    const auto sample = [&whole](std::size_t i) {
        const std::uint8_t* p = whole->pcm.data() + 2 * i;
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
    };
    std::vector<std::int16_t> buffer(step * channels);
    std::uint64_t frames = 0;  // made so far, read or skipped
    for (std::size_t call = 0;; ++call) {
        std::uint64_t n = 0;
        if (call % 4 == 3) {
            Result<std::uint64_t> skipped = decoder.skip(step);
            if (!skipped) return fault(skipped.error());
            n = *skipped;
        } else {
            Result<std::size_t> read = decoder.read(buffer.data(), step);
            if (!read) return fault(read.error());
            n = *read;
            if (whole) {
                if ((frames + n) * channels * 2 > whole->pcm.size()) return "the incremental decoder makes more frames";
                for (std::size_t i = 0; i < n * channels; ++i) {
                    if (buffer[i] != sample(frames * channels + i)) {
                        return "the incremental decoder makes other samples";
                    }
                }
            }
        }
        frames += n;
        if (decoder.frames_made() != frames) return "frames_made() is not the frames handed out";
        if (n < step) break;  // the stream has ended
    }
    if (!whole) return "the incremental decoder decodes a stream that fails";
    if (frames != whole->frames) return "the incremental decoder makes other frames";
    Result<std::size_t> after = decoder.read(buffer.data(), step);
    if (!after || *after != 0) return "the incremental decoder goes on after the end";
    return {};
}

// The code bytes of the same input against its levels `whole`: the same
// error, or for a mu-law stream one code byte per level that the G.711
// table takes to that level, from the whole-stream decoder and the
// incremental one alike (read `step` frames at a time); a linear stream the
// same levels. Empty when they agree.
std::string codes_mismatch(ByteView input, const Result<shorten::ShortenPcm>& whole, std::size_t step,
                           shorten::Versions versions) {
    const Result<shorten::DecodedShorten> coded = shorten::decode_shorten(
        input, shorten::Reconstruction::Proven, std::nullopt, 0, shorten::ShortenSamples::MuLawCodes, versions);
    if (!whole) {
        if (coded) return "only the decode of levels fails";
        return coded.error() == whole.error() ? "" : "the decode of codes fails otherwise: " + coded.error().message;
    }
    if (!coded) return "only the decode of codes fails: " + coded.error().message;
    if (coded->codes != whole->is_ulaw || coded->frames != whole->frames) return "the decode of codes differs";
    if (!whole->is_ulaw) {
        const bool same = coded->pcm.size() == whole->pcm.size() &&
                          std::equal(whole->pcm.data(), whole->pcm.data() + whole->pcm.size(), coded->pcm.data());
        return same ? "" : "a linear stream decodes otherwise when codes are asked for";
    }
    if (2 * coded->pcm.size() != whole->pcm.size()) return "not one code byte per level";
    static const G711Table mulaw = make_g711_table(false);
    for (std::size_t i = 0; i < coded->pcm.size(); ++i) {
        const auto level = static_cast<std::int16_t>(whole->pcm.data()[2 * i] | whole->pcm.data()[2 * i + 1] << 8);
        if (mulaw[coded->pcm.data()[i]] != level) return "a code byte is not of its level";
    }
    Result<shorten::IncrementalDecoder> opened = shorten::IncrementalDecoder::open(
        input, shorten::Reconstruction::Proven, shorten::ShortenSamples::MuLawCodes, versions);
    if (!opened || !opened->gives_codes()) return "the incremental decoder gives no codes";
    std::vector<std::uint8_t> buffer(step * coded->channel_count);
    std::size_t at = 0;
    for (;;) {
        Result<std::size_t> n = opened->read_codes(buffer.data(), step);
        if (!n) return "the incremental decoder fails reading codes: " + n.error().message;
        const std::size_t count = *n * static_cast<std::size_t>(coded->channel_count);
        if (at + count > coded->pcm.size() || !std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count),
                                                           coded->pcm.data() + at)) {
            return "the incremental decoder makes other codes";
        }
        at += count;
        if (*n < step) break;
    }
    return at == coded->pcm.size() ? "" : "the incremental decoder makes fewer codes";
}

namespace {

constexpr std::uint64_t kSeekCheckFrames = std::uint64_t{1} << 20;

// What a read of frames [first, first + count) gives on an incremental
// decoder (fresh, or resumed from `point`): the samples, or the error.
struct RangeRead {
    std::vector<std::int16_t> samples;
    std::string error;
    bool operator==(const RangeRead&) const = default;
};

RangeRead read_range(ByteView input, std::uint64_t first, std::uint64_t count, const shorten::SeekPoint* point,
                     shorten::Versions versions) {
    Result<shorten::IncrementalDecoder> opened = shorten::IncrementalDecoder::open(
        input, shorten::Reconstruction::Proven, shorten::ShortenSamples::Levels, versions);
    if (!opened) return {{}, opened.error().message};
    if (point != nullptr) opened->resume(*point);
    Result<std::uint64_t> skipped = opened->skip(first - opened->frames_made());
    if (!skipped) return {{}, skipped.error().message};
    RangeRead out;
    out.samples.resize(static_cast<std::size_t>(count * opened->channel_count()));
    Result<std::size_t> n = opened->read(out.samples.data(), static_cast<std::size_t>(count));
    if (!n) return {{}, n.error().message};
    out.samples.resize(*n * static_cast<std::size_t>(opened->channel_count()));
    return out;
}

// Seek points recorded every `spacing` frames over the whole stream, then
// reads of pseudo-random ranges (from `seed`) resumed from the last point at
// or before their first frame: each gives what the same read gives from the
// start of the stream, the same samples or the same error, for sound and
// faulty streams alike. Empty when they agree.
std::string seek_mismatch(ByteView input, std::uint64_t spacing, std::uint64_t seed, shorten::Versions versions) {
    Result<shorten::IncrementalDecoder> opened = shorten::IncrementalDecoder::open(
        input, shorten::Reconstruction::Proven, shorten::ShortenSamples::Levels, versions);
    if (!opened) return {};
    shorten::SeekPoints points(opened->point_values());
    opened->record_points(&points, spacing);
    Result<std::uint64_t> all = opened->skip(~std::uint64_t{0});
    // A stream that fails hands out nothing of its last call: the ranges
    // then reach a little beyond the last point, into the fault.
    const std::uint64_t reached = all ? *all : points.last_frame() + spacing;
    if (all && points.last_frame() > *all) return "a seek point lies beyond the stream's frames";
    // Each range below decodes the stream up to it twice more: streams of
    // many frames (a few bytes of ZERO blocks can make millions) are left
    // to the point checks above, so that one input stays quick.
    if (reached > kSeekCheckFrames) return {};
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    const auto next = [&state](std::uint64_t bound) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return bound == 0 ? 0 : state % bound;
    };
    for (int k = 0; k < 4 && !points.empty(); ++k) {
        // Ranges that start inside and beyond the recorded part, and may run
        // into the stream's end or its fault.
        const std::uint64_t first = points.last_frame() / 2 + next(reached + spacing + 2);
        const std::uint64_t count = next(3 * spacing + 2);
        const std::optional<shorten::SeekPoint> point = points.at_or_before(first);
        if (!point) continue;
        if (point->frame > first) return "the seek point found lies beyond the frame asked for";
        const RangeRead resumed = read_range(input, first, count, &*point, versions);
        const RangeRead plain = read_range(input, first, count, nullptr, versions);
        if (!(resumed == plain)) {
            return "a read resumed from a seek point differs: " + (resumed.error.empty() ? "samples" : resumed.error);
        }
    }
    return {};
}

// The checks of check_shorten_to_pcm for the stream versions `versions`.
CheckOutcome check_stream(ByteView input, shorten::Versions versions) {
    Result<shorten::ShortenPcm> result = shorten::decode_shorten(input, shorten::Reconstruction::Proven, std::nullopt,
                                                                 0, shorten::ShortenSamples::Levels, versions);
    Result<shorten::DecodedShorten> checked = shorten::decode_shorten(
        input, shorten::Reconstruction::Checked, std::nullopt, 0, shorten::ShortenSamples::Levels, versions);
    if (!result) {
        if (checked) return broken("only the fast path fails", result.error().message);
        if (!(checked.error() == result.error())) return broken("the checked path fails otherwise", checked.error().message);
        const std::string incremental = incremental_mismatch(input, result, 1 + input.size() % 300, versions);
        if (!incremental.empty()) return broken(incremental);
        const std::string codes = codes_mismatch(input, result, 1 + input.size() % 200, versions);
        if (!codes.empty()) return broken(codes);
        const std::string seek = seek_mismatch(input, 1 + input.size() % 97, input.size(), versions);
        if (!seek.empty()) return broken(seek);
        return failed_with(result.error(), kShortenMessages);
    }
    if (!checked) return broken("only the checked path fails", checked.error().message);
    const std::uint64_t channels = result->channel_count;
    if (checked->channel_count != channels || checked->is_ulaw != result->is_ulaw ||
        checked->pcm.size() != result->pcm.size() ||
        !std::equal(result->pcm.data(), result->pcm.data() + result->pcm.size(), checked->pcm.data())) {
        return broken("the fast and the checked path disagree");
    }
    const std::string incremental = incremental_mismatch(input, result, 1 + input.size() % 300, versions);
    if (!incremental.empty()) return broken(incremental);
    const std::string codes = codes_mismatch(input, result, 1 + input.size() % 200, versions);
    if (!codes.empty()) return broken(codes);
    const std::string seek = seek_mismatch(input, 1 + input.size() % 97, input.size(), versions);
    if (!seek.empty()) return broken(seek);
    const std::optional<ShortenHeader> header = read_shorten_header(input);
    if (!header) return broken("decoded a stream without a readable header");
    if (header->channels != channels || channels < 1 || channels > shorten::kMaxChannels) {
        return broken("channel count is not the header's");
    }
    const bool version1 = input[4] == 1;
    if (version1 && versions == shorten::Versions::OnlyV2) return broken("a version-1 stream decodes as version 2");
    const std::uint64_t ulaw_type = version1 ? 0 : 8;
    if (result->is_ulaw != (header->sample_type == ulaw_type)) {
        return broken("mu-law flag is not the header's sample type");
    }
    if (result->pcm.size() % (2 * channels) != 0) return broken("not whole frames of 16-bit samples");
    if (result->pcm.size() / 2 > shorten::kMaxDecodedSamples) return broken("more samples than the cap");
    return {true, {}};
}

}  // namespace

CheckOutcome check_shorten_to_pcm(ByteView input) {
    // The native entry point reads version 2 only; the package reads version
    // 1 too, and a version-2 stream the same way either way.
    CheckOutcome strict = check_stream(input, shorten::Versions::OnlyV2);
    if (!strict.broken.empty()) return strict;
    const Result<shorten::ShortenPcm> only_v2 = shorten::shorten_to_pcm(input);
    if (only_v2.has_value() != strict.succeeded) return broken("shorten_to_pcm is not the decode of version 2");
    if (input.size() < 5 || input[4] != 1) return strict;
    return check_stream(input, shorten::Versions::V1AndV2);
}

CheckOutcome check_decode_pcm(ByteView input) {
    Result<ByteBuffer> pcm = pipeline::decode_pcm(input);
    Result<sphere::SphereHeader> header = sphere::parse_header(input);
    if (!header) {
        if (pcm || !(pcm.error() == header.error())) return broken("a header failure is not parse_header's error");
        return {};
    }
    const std::optional<ReferenceAudio> expected = reference_audio(*header);
    if (!pcm) {
        if (expected) return broken("decode_pcm failed where the reference decodes", pcm.error().message);
        return failed_with(pcm.error(), kDriverMessages | kCodingMessages | kShortenMessages);
    }
    if (!expected) return broken("decode_pcm succeeded where the reference fails");
    if (pcm->size() != promised_length(header->fields)) return broken("PCM length is not the header's");
    if (pcm->size() != expected->pcm.size() || !std::equal(expected->pcm.begin(), expected->pcm.end(), pcm->data())) {
        return broken("PCM differs from the reference");
    }
    return {true, {}};
}

CheckOutcome check_transcode(ByteView input) {
    Result<ByteBuffer> wav = pipeline::transcode_to_wav(input);
    Result<ByteBuffer> pcm = pipeline::decode_pcm(input);
    if (!pcm) {
        if (wav || !(wav.error() == pcm.error())) return broken("transcode and decode_pcm fail apart");
        return {};
    }
    Result<sphere::SphereHeader> header = sphere::parse_header(input);
    if (!header) return broken("decode_pcm succeeded on a header that does not parse");
    const std::optional<ReferenceAudio> audio = reference_audio(*header);
    if (!audio || audio->pcm.size() != pcm->size()) return broken("decode_pcm disagrees with the reference");
    const std::optional<std::string> limit = reference_wav_error(header->fields, *audio);
    if (limit) {
        if (wav) return broken("transcode passed a WAV limit", *limit);
        if (wav.error().message != *limit) return broken("another WAV limit", wav.error().message);
        return failed_with(wav.error(), kWavMessages);
    }
    if (!wav) return broken("transcode failed where decode_pcm succeeds", wav.error().message);
    const auto channels = static_cast<std::uint64_t>(*sphere::require_int(header->fields, "channel_count"));
    const auto rate = static_cast<std::uint64_t>(*sphere::require_int(header->fields, "sample_rate"));
    const std::string mismatch = wav_mismatch(wav->view(), *audio, channels, rate);
    if (!mismatch.empty()) return broken("WAV file differs", mismatch);
    return {true, {}};
}

CheckOutcome check_header_reader(ByteView input) {
    const Result<sphere::SphereHeader> whole = sphere::parse_header(input);
    const pipeline::ByteSource source = pipeline::ByteSource::of_memory(input);
    const Result<pipeline::HeaderBlock> read = pipeline::read_header(source);
    if (whole.has_value() != read.has_value()) return broken("the header reader and parse_header disagree");
    if (!whole) {
        if (!(whole.error() == read.error())) return broken("the header reader fails otherwise", read.error().message);
        return {};
    }
    if (read->header.header_size != whole->header_size || !same_fields(read->header.fields, whole->fields)) {
        return broken("the header reader parses otherwise");
    }
    const Result<pipeline::AudioLayout> layout = pipeline::check_audio(read->header, input.size());
    // The reads refuse what check_readable refuses, with its message, and
    // read a sample_count over every channel as the count per channel.
    sphere::SphereHeader adapted = *whole;
    const Result<bool> rules = pipeline::adapt_header(adapted, adapted.payload.size());
    if (!rules) {
        if (layout || !(layout.error() == rules.error())) return broken("the audio checks refuse otherwise");
        return {true, {}};
    }
    if (layout && layout->counts_every_channel != *rules) return broken("the audio checks count otherwise");
    // The package reads every variant that real corpora carry (version-1
    // Shorten, any embedded-shorten version text, pculaw, undeclared
    // Shorten payloads), a superset of decode_pcm: where decode_pcm
    // succeeds on a header the package takes as it stands, the package
    // gives the same samples, pculaw aside.
    const Result<ByteBuffer> decoded = decode_corpora(adapted);
    if (!*rules && !pculaw_base(whole->fields)) {
        const Result<ByteBuffer> strict = pipeline::decode_pcm(input);
        if (strict && (!decoded || decoded->size() != strict->size() ||
                       !std::equal(strict->view().begin(), strict->view().end(), decoded->data()))) {
            return broken("the package reads otherwise than decode_pcm");
        }
    }
    // Shorten: the audio checks pass before the stream is decoded; reading
    // every frame then fails as the whole decode does (below).
    const bool shorten = layout && (layout->stored == pipeline::Stored::Shorten ||
                                    layout->stored == pipeline::Stored::PcuLawShorten);
    if (layout.has_value() != decoded.has_value() && !shorten) return broken("the audio checks and decoding disagree");
    if (!layout) {
        if (!(layout.error() == decoded.error())) return broken("the audio checks fail otherwise");
        return {true, {}};
    }
    const pipeline::FrameRequest all{0, layout->frames, {},
                                     layout->bits_per_sample == 32 ? pipeline::SampleType::Int32
                                                                   : pipeline::SampleType::Int16};
    const Result<std::uint64_t> size = pipeline::request_size(*layout, all);
    if (!size) return broken("reading every frame is too large");
    std::vector<std::uint8_t> out(static_cast<std::size_t>(*size));
    const Status status = pipeline::read_frames(source, *layout, all, out.data());
    if (!decoded) {
        if (status.ok()) return broken("reading every frame succeeds where decoding fails");
        if (!(status.error() == decoded.error())) return broken("reading every frame fails otherwise", status.error().message);
        return {true, {}};
    }
    if (*size != decoded->size()) return broken("the frames read are not the decoded length");
    if (!status.ok() || !std::equal(out.begin(), out.end(), decoded->data())) {
        return broken("the frames read are not the decoded samples");
    }
    return {true, {}};
}

}  // namespace sonavert::testkit
