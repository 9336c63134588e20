// The two file-level conversions: a whole SPHERE file to PCM, and to WAV.
#pragma once

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::pipeline {

// The decoded payload of the SPHERE file in `file`, as interleaved
// little-endian PCM (the bytes of a WAV data chunk).
Result<ByteBuffer> decode_pcm(ByteView file);

// A complete RIFF/WAV file made from the SPHERE file in `file`.
Result<ByteBuffer> transcode_to_wav(ByteView file);

}  // namespace sonavert::pipeline
