// Building SPHERE header texts for the header and field tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "sphere/header.hpp"

namespace sonavert::sphere::testing {

// The four required fields with valid values.
inline constexpr std::string_view kRequired =
    "sample_count -i 16000\n"
    "sample_rate -i 8000\n"
    "channel_count -i 1\n"
    "sample_n_bytes -i 2\n";

// `file` (made by sphere_file with the default magic line) with its size
// line rewritten to `size`.
inline std::string resized(std::string file, std::uint64_t size) {
    std::string size_line = std::to_string(size);
    EXPECT_LE(size_line.size(), 10u);
    size_line.insert(0, 10 - size_line.size(), ' ');
    file.replace(8, 10, size_line);
    return file;
}

// "NIST_1A\n", a size line, then `body`; the size line holds the length of
// the whole result, so the header block is all of it. `payload` follows.
inline std::string sphere_file(std::string_view body, std::string_view payload = {}) {
    std::string file = "NIST_1A\n0123456789\n";
    file += body;
    const std::size_t size = file.size();
    file = resized(std::move(file), size);
    file += payload;
    return file;
}

// A file whose header holds the required fields, then `lines`, then the
// terminator.
inline std::string sphere_with(std::string_view lines, std::string_view payload = {}) {
    return sphere_file(std::string(kRequired) + std::string(lines) + "end_head\n", payload);
}

inline ByteView view_of(const std::string& s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The message of a parse that must fail, "(parsed)" when it succeeded; checks
// the kind.
inline std::string parse_error(const std::string& file) {
    const Result<SphereHeader> r = parse_header(view_of(file));
    if (r) return "(parsed)";
    EXPECT_EQ(r.error().kind, ErrorKind::Invalid) << r.error().message;
    return r.error().message;
}

}  // namespace sonavert::sphere::testing
