// The SPHERE header parser: any input either fails with a message or yields a
// header whose payload is the input's tail and whose required fields are valid.
#include <cstdint>

#include "fuzz_check.hpp"
#include "sphere/fields.hpp"
#include "sphere/header.hpp"

using namespace sonavert;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    Result<sphere::SphereHeader> header = sphere::parse_header(input);
    if (!header) {
        FUZZ_CHECK(!header.error().message.empty());
        return 0;
    }
    FUZZ_CHECK(header->header_size >= 1 && header->header_size <= size);
    FUZZ_CHECK(header->payload.data() == data + header->header_size);
    FUZZ_CHECK(header->payload.size() == size - header->header_size);
    struct Required { const char* name; std::int64_t minimum; };
    for (Required r : {Required{"sample_count", 0}, Required{"sample_rate", 1},
                       Required{"channel_count", 1}, Required{"sample_n_bytes", 1}}) {
        Result<std::int64_t> value = sphere::require_int(header->fields, r.name);
        FUZZ_CHECK(value.has_value() && *value >= r.minimum);
    }
    FUZZ_CHECK(sphere::validate_header(header->fields).ok());
    (void)sphere::declared_payload_size(header->fields);
    return 0;
}
