// decode_pcm, the SPHERE file to PCM flow, with the invariants of
// testkit::check_decode_pcm (tools/lib/invariants.hpp).
#include <cstdint>

#include "fuzz_check.hpp"
#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_check(sonavert::testkit::check_decode_pcm(sonavert::ByteView(data, size)));
    return 0;
}
