// Typed readings of SPHERE header fields, validation of the required fields
// and the payload size the header declares.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.hpp"
#include "sphere/header.hpp"

namespace sonavert::sphere {

// A required integer field as a signed 64-bit value.
Result<std::int64_t> require_int(const HeaderFields& fields, std::string_view name);

// The field's value text, or `fallback` when the field is absent. The view
// lives as long as `fields` (or `fallback`).
std::string_view field_text(const HeaderFields& fields, std::string_view name,
                            std::string_view fallback);

// sample_byte_format's text, "1" when absent.
std::string_view byte_format(const HeaderFields& fields);

// sample_count * channel_count * sample_n_bytes in bytes.
Result<std::uint64_t> declared_payload_size(const HeaderFields& fields);

// Checks presence and ranges of the four required fields.
Status validate_header(const HeaderFields& fields);

}  // namespace sonavert::sphere
