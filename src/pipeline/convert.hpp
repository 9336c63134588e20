// The conversion of the sph2pipe-style command: a SPHERE file (or
// headerless samples under another file's header) to a chosen file format,
// sample form, channel and range, in one owned buffer.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/samples.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {

enum class OutputFormat { Sphere, Raw, Wav, Au, Aiff };

// The sample form asked for: as stored (G.711 stays G.711, PCM keeps its
// width), 16-bit linear, mu-law or A-law.
enum class FormRequest { AsStored, Pcm16, MuLaw, ALaw };

// A range of frames, by time or by sample number. An absent or zero end
// means the end of the file; an absent begin means 0. Times are converted
// to frames as begin x rate and end x rate, each truncated towards zero.
struct RangeRequest {
    enum class Unit { None, Seconds, Samples } unit = Unit::None;
    double begin_seconds = 0, end_seconds = 0;
    std::uint64_t begin_sample = 0, end_sample = 0;
};

struct ConvertRequest {
    OutputFormat format = OutputFormat::Sphere;
    FormRequest form = FormRequest::AsStored;
    std::optional<std::uint32_t> channel;  // counted from 1; none: every channel
    RangeRequest range;
};

// The frames [first, first + count) a range selects from `frames` frames
// at `rate`: an end past the file is cut to its end. Errors (Invalid): a
// begin after the end of the file; an end before the begin.
Result<Selection> select_range(const RangeRequest& range, std::uint64_t frames, std::uint64_t rate);

// Converts the samples of a parsed header (its payload: the rest of its
// file, or headerless samples put in its place). Errors, in this order:
// the decoder's (coding, width, byte format, truncation, Shorten), the
// channel asked for beyond the file's, the range, then the writer's.
Result<ByteBuffer> convert(const sphere::SphereHeader& header, const ConvertRequest& request);

// convert() of frames and a channel chosen by the caller: `sel` (counted
// from 0) instead of a channel number and a range; frames past the file's
// end are cut off, as a slice cuts them. Errors, in this order: the
// decoder's, a channel of `sel` beyond the file's, a first frame after the
// file's end, then the writer's.
Result<ByteBuffer> convert_selection(const sphere::SphereHeader& header, OutputFormat format, FormRequest form,
                                     const Selection& sel);

}  // namespace sonavert::pipeline
