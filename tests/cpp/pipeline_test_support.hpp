// Helpers shared by the payload, WAV writer and driver tests.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "pipeline/frames.hpp"
#include "shorten_encoder.hpp"
#include "sphere_writer.hpp"

namespace sonavert::testing {

using Bytes = std::vector<std::uint8_t>;

// An error as "Kind: message", so that a failed comparison prints both.
inline std::string describe(const Error& e) {
    return (e.kind == ErrorKind::Invalid ? "Invalid: " : "Unsupported: ") + e.message;
}

// Bytes written as whitespace-separated hexadecimal pairs.
inline Bytes from_hex(const std::string& hex) {
    std::istringstream in(hex);
    Bytes bytes;
    unsigned value = 0;
    while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

// A SPHERE file with one line per field, then `payload`. Texts that are
// 64-bit integers in their shortest form are declared -i, every other text
// (leading zeros or a plus sign included) -s.
inline Bytes sphere_file(const std::vector<std::pair<std::string, std::string>>& fields,
                         const Bytes& payload) {
    testkit::SphereWriter writer;
    for (const auto& [name, value] : fields) {
        std::int64_t number = 0;
        const char* end = value.data() + value.size();
        const auto [stop, error] = std::from_chars(value.data(), end, number);
        if (error == std::errc() && stop == end && std::to_string(number) == value) {
            writer.add_int(name, number);
        } else {
            writer.add_string(name, value);
        }
    }
    Result<Bytes> file = writer.build(ByteView(payload));
    EXPECT_TRUE(file.has_value()) << file.error().message;
    return file.has_value() ? std::move(file).value() : Bytes{};
}

// The fields of a plain PCM file; `extra` entries are appended (a later
// line of the same name replaces an earlier one).
inline std::vector<std::pair<std::string, std::string>> pcm_fields(
    std::string count, std::string channels, std::string n_bytes,
    std::vector<std::pair<std::string, std::string>> extra = {}) {
    std::vector<std::pair<std::string, std::string>> f = {{"sample_count", std::move(count)},
                                                          {"channel_count", std::move(channels)},
                                                          {"sample_n_bytes", std::move(n_bytes)},
                                                          {"sample_rate", "16000"}};
    f.insert(f.end(), extra.begin(), extra.end());
    return f;
}

// A Shorten stream (sample type 5) of the samples of `channels`, one
// vector per channel, all of the same length.
inline Bytes shorten_stream(const std::vector<std::vector<std::int16_t>>& channels) {
    std::vector<std::int32_t> interleaved;
    for (std::size_t f = 0; f < channels.front().size(); ++f) {
        for (const auto& channel : channels) interleaved.push_back(channel[f]);
    }
    testkit::ShortenOptions options;
    options.channels = static_cast<std::uint32_t>(channels.size());
    Result<Bytes> stream = testkit::encode_shorten(interleaved, options);
    EXPECT_TRUE(stream.has_value()) << stream.error().message;
    return stream.has_value() ? std::move(stream).value() : Bytes{};
}

// A file opened for frame reads: its source, header and layout.
struct OpenedFile {
    pipeline::ByteSource source;
    pipeline::HeaderBlock block;
    pipeline::AudioLayout layout;
};

inline OpenedFile open_file(const pipeline::ByteSource& source) {
    Result<pipeline::HeaderBlock> block = pipeline::read_header(source);
    EXPECT_TRUE(block.has_value());
    Result<pipeline::AudioLayout> layout = pipeline::check_audio(block->header, source.size());
    EXPECT_TRUE(layout.has_value());
    return {source, std::move(block).value(), *layout};
}

}  // namespace sonavert::testing
