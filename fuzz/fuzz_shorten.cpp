// The Shorten decoder and its PCM conversion (shorten_to_pcm), with the invariants of
// testkit::check_shorten_to_pcm (tools/lib/invariants.hpp).
#include <cstdint>

#include "fuzz_check.hpp"
#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_check(sonavert::testkit::check_shorten_to_pcm(sonavert::ByteView(data, size)));
    return 0;
}
