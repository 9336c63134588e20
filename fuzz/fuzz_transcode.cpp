// transcode, the whole SPHERE file to WAV flow, with the invariants of
// testkit::check_transcode (tools/lib/invariants.hpp).
#include <cstdint>

#include "fuzz_check.hpp"
#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_check(sonavert::testkit::check_transcode(sonavert::ByteView(data, size)));
    return 0;
}
