// decode_pcm: a plain coding returns exactly the declared payload size (twice
// it for G.711); a Shorten coding returns sample_count frames of 16 bits.
#include <cstdint>

#include "common/text.hpp"
#include "fuzz_check.hpp"
#include "pipeline/drivers.hpp"
#include "sphere/fields.hpp"
#include "sphere/header.hpp"

using namespace sonavert;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    Result<ByteBuffer> pcm = pipeline::decode_pcm(input);
    if (!pcm) return 0;
    Result<sphere::SphereHeader> header = sphere::parse_header(input);
    FUZZ_CHECK(header.has_value());
    const auto& fields = header->fields;
    // The compression part: the second comma-separated part, trimmed and lower-cased.
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    const std::size_t comma = coding.find(',');
    std::string compression;
    if (comma != std::string_view::npos) {
        std::string_view rest = coding.substr(comma + 1);
        compression = text::ascii_lower(text::trim(rest.substr(0, rest.find(','))));
    }
    const std::int64_t count = *sphere::require_int(fields, "sample_count");
    const std::int64_t channels = *sphere::require_int(fields, "channel_count");
    if (!compression.empty()) {
        FUZZ_CHECK(compression == "embedded-shorten-v2.00");
        FUZZ_CHECK(pcm->size() == static_cast<std::uint64_t>(count) * channels * 2);
        return 0;
    }
    Result<std::uint64_t> declared = sphere::declared_payload_size(fields);
    FUZZ_CHECK(declared.has_value());
    FUZZ_CHECK(pcm->size() == *declared || pcm->size() == 2 * *declared);
    return 0;
}
