// The Shorten decoder and its PCM conversion: success means whole frames of
// 16-bit samples for a channel count in 1..256.
#include <cstdint>

#include "fuzz_check.hpp"
#include "shorten/to_pcm.hpp"

using namespace sonavert;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Result<shorten::ShortenPcm> result = shorten::shorten_to_pcm(ByteView(data, size));
    if (!result) {
        FUZZ_CHECK(!result.error().message.empty());
        return 0;
    }
    FUZZ_CHECK(result->channel_count >= 1 && result->channel_count <= 256);
    FUZZ_CHECK(result->pcm.size() % (2 * result->channel_count) == 0);
    FUZZ_CHECK(size >= 5 && data[0] == 'a' && data[1] == 'j' && data[2] == 'k' && data[3] == 'g');
    return 0;
}
