// Every message of the SPHERE header subsystem (parser, field readings and
// validation), one helper per message. All are of kind Invalid. Texts marked
// "quoted" go in through text::Quoted; names of required fields and numbers
// go in plainly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/text.hpp"

namespace sonavert::sphere::errors {

// ---- Parser ----------------------------------------------------------------

inline Error missing_magic() { return invalid("not a NIST SPHERE file (missing 'NIST_1A' magic)"); }
inline Error truncated_header() { return invalid("truncated SPHERE header"); }
inline Error no_size_line() { return invalid("truncated SPHERE header (no size line)"); }
inline Error size_line_not_utf8() { return invalid("invalid header size line"); }
// `line`: the trimmed size line, quoted.
inline Error invalid_size_line(std::string_view line) {
    return invalid(text::message("invalid header size line: ", text::Quoted{line}));
}
inline Error non_positive_size() { return invalid("non-positive header size"); }
inline Error header_size_exceeds_input(std::uint64_t size, std::uint64_t length) {
    return invalid("header claims " + std::to_string(size) + " bytes but only " +
                   std::to_string(length) + " available");
}
inline Error header_not_utf8() { return invalid("SPHERE header is not valid ASCII"); }
inline Error malformed_line(std::string_view line) {
    return invalid(text::message("malformed SPHERE header line: ", text::Quoted{line}));
}
inline Error bad_type_token(std::string_view line) {
    return invalid(text::message("unknown field type in line: ", text::Quoted{line}));
}
inline Error unknown_type(std::string_view type, std::string_view line) {
    return invalid(text::message("unknown field type ", text::Quoted{type}, " in line: ", text::Quoted{line}));
}
inline Error declared_integer_mismatch(std::string_view name, std::string_view value) {
    return invalid(text::message("field ", text::Quoted{name}, " declared integer but value is ", text::Quoted{value}));
}
inline Error declared_real_mismatch(std::string_view name, std::string_view value) {
    return invalid(text::message("field ", text::Quoted{name}, " declared real but value is ", text::Quoted{value}));
}
inline Error missing_terminator() { return invalid("SPHERE header missing 'end_head' terminator"); }

// ---- Field readings and validation -------------------------------------------

// `name` goes in as it is, without quotes.
inline Error missing_required_field(std::string_view name) {
    return invalid("SPHERE header missing required field: " + std::string(name));
}
inline Error not_an_integer(std::string_view name) {
    return invalid(text::message("field ", text::Quoted{name}, " is not an integer"));
}
inline Error payload_size_overflows() { return invalid("declared payload size overflows"); }
inline Error channel_count_below_one(std::int64_t value) {
    return invalid("channel_count must be >= 1, got " + std::to_string(value));
}
inline Error sample_n_bytes_below_one(std::int64_t value) {
    return invalid("sample_n_bytes must be >= 1, got " + std::to_string(value));
}
inline Error sample_count_negative(std::int64_t value) {
    return invalid("sample_count must be >= 0, got " + std::to_string(value));
}
inline Error sample_rate_below_one(std::int64_t value) {
    return invalid("sample_rate must be >= 1, got " + std::to_string(value));
}

}  // namespace sonavert::sphere::errors
