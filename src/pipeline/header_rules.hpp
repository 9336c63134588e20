// What the package and the command make of headers that real corpora hold
// and that decode_audio takes strictly as they stand: headers whose samples
// cannot be read right are refused with the cause named, and the original
// Switchboard-1 release's sample_count (the total over both channels) is
// read as the count per channel.
#pragma once

#include <cstdint>

#include "common/error.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {

// Refuses, in this order: lines ending in CR LF (a text-mode copy, which
// also changes the bytes of the samples), channels_interleaved FALSE with
// more than one channel, a wavpack compression part ("embedded-wavpack..."),
// a shortpack sample_byte_format ("shortpack-v0"). Reads the header only.
Status check_readable(const sphere::SphereHeader& header);

// True when sample_count counts the samples of every channel: more than one
// channel, an uncompressed coding, a sample_count that the channel count
// divides, and sample_count x sample_n_bytes exactly the payload's size
// (where the declared size, count x channels x width, would overrun it),
// and a payload that is not a Shorten stream under a header that names no
// compression (codecs::undeclared_shorten). Any other mismatch of size and
// payload is left to the truncation check.
bool counts_every_channel(const sphere::SphereHeader& header, std::uint64_t payload_size);

// check_readable, then, for a count over every channel, sample_count set to
// the count per channel, so that every later step reads the file's frames.
// Returns whether the count was changed.
Result<bool> adapt_header(sphere::SphereHeader& header, std::uint64_t payload_size);

}  // namespace sonavert::pipeline
