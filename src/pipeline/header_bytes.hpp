// Small helpers the file writers share for their headers.
#pragma once

#include <cstdint>
#include <cstring>

namespace sonavert::pipeline {

// A four-character chunk or magic tag.
inline void put_tag(std::uint8_t* p, const char (&tag)[5]) noexcept { std::memcpy(p, tag, 4); }

inline void store_be16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace sonavert::pipeline
