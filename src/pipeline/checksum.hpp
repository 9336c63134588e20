// NIST's sample_checksum: the sum, modulo 65536, of a file's 16-bit samples
// as unsigned values (in the order its byte format gives), or of the code
// bytes of 1-byte mu-law and A-law samples. Checking it decodes the whole
// file, so a damaged Shorten stream fails as it fails a conversion.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.hpp"
#include "pipeline/frames.hpp"

namespace sonavert::pipeline {

enum class ChecksumState {
    Match,      // the samples sum to the header's sample_checksum
    Mismatch,   // they do not: the samples are not those the file was made with
    Unchecked,  // the file decodes, but there is no checksum to compare
};

struct ChecksumCheck {
    ChecksumState state = ChecksumState::Unchecked;
    std::int64_t declared = 0;   // sample_checksum (Match, Mismatch)
    std::uint16_t computed = 0;  // the samples' sum (Match, Mismatch)
    std::string_view unchecked_because;  // a static text (Unchecked)
};

// Reads and checks the whole file in `source`: its header (with the
// package's refusals and counts, see check_audio), every sample (a Shorten
// stream decoded to its end, with the checks and messages of decoding it),
// then the checksum. A file that cannot be read or decoded is an error; a
// mismatch is a result. Needs no interpreter; keeps no state between calls
// beyond one reusable read buffer per thread.
Result<ChecksumCheck> check_checksum(const ByteSource& source);

// The checksum of 16-bit samples stored as `bytes` (an even count), little-
// or big-endian, and of 1-byte codes.
std::uint16_t checksum16(ByteView bytes, bool big_endian) noexcept;
std::uint16_t checksum8(ByteView bytes) noexcept;

}  // namespace sonavert::pipeline
