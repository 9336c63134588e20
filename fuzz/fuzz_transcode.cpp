// The whole transcode flow: a WAV file is the canonical 44-byte header plus the
// padded PCM that decode_pcm returns for the same input, with agreeing sizes.
#include <cstdint>
#include <cstring>

#include "fuzz_check.hpp"
#include "pipeline/drivers.hpp"

using namespace sonavert;

namespace {
std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    Result<ByteBuffer> wav = pipeline::transcode_to_wav(input);
    Result<ByteBuffer> pcm = pipeline::decode_pcm(input);
    if (!wav) {
        // Only the WAV limits may fail where decoding succeeded.
        if (pcm) {
            const std::string& m = wav.error().message;
            FUZZ_CHECK(m == "channel_count too large for WAV" || m == "sample_rate too large for WAV" ||
                       m.rfind("WAV ", 0) == 0 || m.rfind("output exceeds", 0) == 0);
        }
        return 0;
    }
    FUZZ_CHECK(pcm.has_value());
    const std::size_t length = pcm->size();
    FUZZ_CHECK(wav->size() == 44 + length + (length & 1));
    const std::uint8_t* w = wav->data();
    FUZZ_CHECK(std::memcmp(w, "RIFF", 4) == 0 && std::memcmp(w + 8, "WAVEfmt ", 8) == 0);
    FUZZ_CHECK(le32(w + 4) == wav->size() - 8);
    FUZZ_CHECK(le32(w + 40) == length);
    FUZZ_CHECK(length == 0 || std::memcmp(w + 44, pcm->data(), length) == 0);
    return 0;
}
