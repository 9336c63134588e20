// Every failure of the Shorten decoder, bit reader included: one helper per
// message, with its kind. Inserted values are plain decimal.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.hpp"

namespace sonavert::shorten::errors {

// Bit reader.
inline Error ran_past_end() {
    return invalid("truncated or corrupt shorten stream: ran past end of bitstream");
}
inline Error runaway_unary() { return invalid("runaway unary code"); }
inline Error oversized_width(std::uint64_t n) {
    return invalid("oversized uvar width " + std::to_string(n));
}

// Preamble and header.
inline Error missing_magic() { return invalid("not a shorten stream (missing 'ajkg' magic)"); }
inline Error missing_version() { return invalid("truncated shorten stream: missing version byte"); }
inline Error unsupported_version(std::uint64_t v) {
    return unsupported("shorten version " + std::to_string(v) + " not supported (only v2 is validated)");
}
inline Error implausible_nskip(std::uint64_t n) {
    return invalid("implausible nskip " + std::to_string(n));
}
inline Error unsupported_sample_type(std::uint64_t t) {
    return unsupported("shorten sample type " + std::to_string(t) +
                       " not supported (16-bit PCM and mu-law only)");
}
inline Error invalid_channel_count(std::uint64_t n) {
    return invalid("invalid shorten channel count " + std::to_string(n));
}
inline Error invalid_blocksize(std::uint64_t n) {
    return invalid("invalid shorten blocksize " + std::to_string(n));
}
inline Error implausible_maxnlpc(std::uint64_t n) {
    return unsupported("implausible maxnlpc " + std::to_string(n));
}
inline Error implausible_nmean(std::uint64_t n) {
    return unsupported("implausible nmean " + std::to_string(n));
}

// Commands and reconstruction.
inline Error unknown_function(std::uint64_t c) {
    return invalid("unknown shorten function code " + std::to_string(c));
}
inline Error implausible_bitshift(std::uint64_t n) {
    return unsupported("shorten bitshift " + std::to_string(n) +
                       " is implausibly large (corrupt or unsupported)");
}
inline Error qlpc_order_exceeds(std::uint64_t order, std::uint64_t maxnlpc) {
    return invalid("shorten QLPC order " + std::to_string(order) + " exceeds maxnlpc " +
                   std::to_string(maxnlpc));
}
inline Error reconstruction_overflow() {
    return invalid("shorten reconstruction overflowed i64 (corrupt stream)");
}
inline Error exceeds_decoded_length() {
    return invalid("shorten stream exceeds the maximum decoded length");
}
inline Error type8_domain(std::int64_t v) {
    return unsupported("shorten type-8 reconstructed value " + std::to_string(v) +
                       " is outside the 8-bit mu-law domain");
}

}  // namespace sonavert::shorten::errors
