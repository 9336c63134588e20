// The function codes of a Shorten version 2 stream: the command that each
// read_uvar(2) code of the command loop names. The one list of them, for
// the decoder, the stream writers and the tests.
#pragma once

#include <cstdint>

namespace sonavert::shorten {

enum FunctionCode : std::uint64_t {
    kDiff0 = 0,      // block: residuals around the mean offset
    kDiff1 = 1,      // block: first difference
    kDiff2 = 2,      // block: second difference
    kDiff3 = 3,      // block: third difference
    kQuit = 4,       // end of the stream
    kBlocksize = 5,  // read_ulong(): the blocksize of following blocks
    kBitshift = 6,   // read_uvar(2): the output shift of following blocks
    kQlpc = 7,       // block: quantised linear prediction
    kZero = 8,       // block: blocksize zero samples
    kVerbatim = 9,   // read_uvar(5) count, then that many read_uvar(8) bytes, ignored
};

// Codes of this value and above are unknown.
inline constexpr std::uint64_t kFunctionCodeCount = 10;

}  // namespace sonavert::shorten
