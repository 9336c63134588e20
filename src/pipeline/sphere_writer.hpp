// A NIST SPHERE file made from the header of the file the samples came
// from: its field lines carried over, those that describe the samples
// rewritten.
#pragma once

#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/samples.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {

// The block size of SPHERE headers: a header fills whole blocks.
inline constexpr std::size_t kSphereBlock = 1024;

// A SPHERE file of the samples of `sel` in form `to` (PCM little-endian,
// byte format "01"). The header is "NIST_1A", the header size right-aligned
// in 7 columns, then every field line of `fields` in its order, trimmed,
// except that:
// - channel_count and sample_count give the output's channels and frames;
// - sample_n_bytes, sample_sig_bits and sample_coding describe `to`
//   ("pcm", "ulaw", "alaw"; sample_sig_bits only where the header has one);
// - sample_byte_format becomes "01" for PCM; G.711 keeps the header's line
//   when its samples were 1 byte wide already and drops it otherwise;
// - sample_checksum is dropped: it no longer describes the samples.
// A sample_coding that G.711 needs, and a byte format that PCM needs, are
// added at the end when the header has none. Then "end_head", and spaces up
// to the next multiple of 1024 bytes, with a line feed at every offset that
// is a multiple of 32. `fields` must have passed validation.
Result<ByteBuffer> write_sphere(const sphere::HeaderFields& fields, const SampleView& in, const Selection& sel,
                                SampleForm to);

}  // namespace sonavert::pipeline
