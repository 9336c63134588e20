// What must hold for every input of each entry point, as one check per
// entry point. The fuzz targets and the damage sweeps run the same checks.
//
// Each check runs its entry point on `input` (and the reference model of
// oracles.hpp beside it) and reports whether the call succeeded and which
// invariant, if any, was broken.
#pragma once

#include <string>

#include "common/bytes.hpp"

namespace sonavert::testkit {

struct CheckOutcome {
    bool succeeded = false;  // the entry point returned a result
    std::string broken;      // empty when every invariant holds
};

// parse_header: a failure is a catalogued header message; a success is a
// validated header whose payload is the input's tail, and the bytes after
// the header block do not change the fields.
CheckOutcome check_parse_header(ByteView input);

// shorten_to_pcm: a failure is a catalogued Shorten message; a success holds
// whole frames (2 x channels x frames bytes) within the decoded-length cap,
// for the channel count and sample type of the stream's header. The fast
// reconstruction and the fully checked one agree in samples and errors, and
// the incremental decoder makes the same frames and fails the same way.
// Asked for mu-law code bytes, both decoders fail the same way too, and give
// a mu-law stream's codes, one byte per level and of that level, and a
// linear stream's levels unchanged.
CheckOutcome check_shorten_to_pcm(ByteView input);

// decode_pcm: a header failure is parse_header's error; a later failure is a
// catalogued payload message and happens exactly when the reference model
// cannot decode either; a success is exactly the reference PCM, whose
// length is the declared payload size for plain PCM, twice it for G.711 and
// sample_count x channel_count x 2 for embedded Shorten.
CheckOutcome check_decode_pcm(ByteView input);

// transcode: fails with decode_pcm's error where that fails; otherwise fails
// with exactly the WAV limit the reference model names, or returns the
// canonical WAV file of decode_pcm's PCM (44 + padded length bytes, sizes,
// channel count, rate and widths agreeing with the header).
CheckOutcome check_transcode(ByteView input);

// The package module's header path against the native module's: reading the
// header from a byte source (only the bytes the header needs) succeeds and
// fails exactly as parse_header on the whole input, with the same message.
// The package reads every coding of codecs::Reading::Corpora: where
// decode_pcm succeeds it gives the same samples (pculaw aside); for plain
// PCM and G.711 the checks before decoding fail exactly when the whole
// decode fails, with its message, and reading every frame gives the whole
// decode's samples.
CheckOutcome check_header_reader(ByteView input);

}  // namespace sonavert::testkit
