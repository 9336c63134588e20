// The two file-level conversions: a whole SPHERE file to PCM, and to WAV.
#pragma once

#include "codecs/payload.hpp"
#include "common/bytes.hpp"
#include "common/error.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {

// The bytes of a parsed header's payload that its decoder reads: every
// byte after the header for a compressed coding, else exactly the declared
// payload size (a shorter payload fails with the truncation message).
Result<ByteView> audio_payload(const sphere::SphereHeader& header);
// The same for the decoder chosen: a Shorten decoder gets every byte after
// the header, any other exactly the declared payload size.
Result<ByteView> audio_payload(const sphere::SphereHeader& header, codecs::Decoder decoder);

// The payload of a parsed (and so validated) header, decoded by its coding.
// A compressed coding gets every byte after the header; any other gets
// exactly the declared payload size, and a shorter payload fails with the
// truncation message. Bytes after the declared size are never read.
Result<codecs::DecodedPcm> decode_audio(const sphere::SphereHeader& header);

// The decoded payload of the SPHERE file in `file`, as interleaved
// little-endian PCM (the bytes of a WAV data chunk). No WAV limits apply.
Result<ByteBuffer> decode_pcm(ByteView file);

// A complete RIFF/WAV file made from the SPHERE file in `file`: header and
// decoding errors first, then the WAV limits on channel_count and
// sample_rate, then those of the WAV writer.
Result<ByteBuffer> transcode_to_wav(ByteView file);

}  // namespace sonavert::pipeline
