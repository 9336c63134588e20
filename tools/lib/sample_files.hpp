// A small set of valid inputs made by the project's own generators: bare
// Shorten streams and SPHERE files covering every sample coding, every
// Shorten sample type and command, one and two channels. They seed the fuzz
// targets and are the starting points of the damage sweeps, so each is kept
// to a few KB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonavert::testkit {

struct SampleFile {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::uint64_t channels = 0;
    std::uint64_t frames = 0;  // decoded samples per channel
};

// Shorten streams of sample types 3, 5 and 8, mono and stereo, made by the
// encoder and, for the commands the encoder never writes in that order,
// by hand: together they hold every function code from DIFF0 to VERBATIM,
// skip codes and a BLOCKSIZE change.
std::vector<SampleFile> sample_shorten_streams();

// SPHERE files: plain PCM of 16 and 32 bits in both byte orders and with
// the defaults, mu-law and A-law under each accepted name, and embedded
// Shorten with linear and mu-law samples, mono and stereo; one header uses
// CR LF line ends, tabs, a repeated field, non-ASCII text and real fields.
std::vector<SampleFile> sample_sphere_files();

}  // namespace sonavert::testkit
