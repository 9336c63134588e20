// The number syntax of SPHERE header values. Both the parse-time check of
// integer and real field lines and the typed readings of fields use these, so
// a value passes the line check exactly when it reads as a number later.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sonavert::sphere {

// An optional + or - sign, then one or more digits 0-9 and nothing else,
// within the signed 64-bit range. Leading zeros are allowed.
std::optional<std::int64_t> read_int64(std::string_view text) noexcept;

// The header size line (already trimmed): an optional +, then one or more
// digits 0-9 and nothing else, at most 2^64 - 1. Leading zeros are allowed.
std::optional<std::uint64_t> read_uint64(std::string_view text) noexcept;

// An optional + or - sign, then either a decimal number with an optional
// exponent (digits [. digits*] or . digits, then [eE][+-]digits) or one of the
// words inf, infinity, nan in any letter case. Nothing is converted, so any
// magnitude passes.
bool is_real(std::string_view text) noexcept;

}  // namespace sonavert::sphere
