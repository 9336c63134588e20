// Helpers shared by the payload, WAV writer and driver tests.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"

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

// A SPHERE file: the magic, a 1024-byte header (larger when the fields need
// it) holding one line per field, and `payload`. Integer texts are
// declared -i, every other text -s.
inline Bytes sphere_file(const std::vector<std::pair<std::string, std::string>>& fields,
                         const Bytes& payload) {
    std::string lines;
    for (const auto& [name, value] : fields) {
        const bool integer = !value.empty() &&
                             value.find_first_not_of("0123456789", value[0] == '-') == std::string::npos;
        lines += name + (integer ? " -i " : " -s" + std::to_string(value.size()) + " ") + value + "\n";
    }
    lines += "end_head\n";
    std::size_t size = 1024;
    while (size < lines.size() + 16) size += 1024;
    std::string size_line = std::to_string(size);
    std::string head = "NIST_1A\n" + std::string(7 - size_line.size(), ' ') + size_line + "\n" + lines;
    head.resize(size, ' ');
    Bytes file(head.begin(), head.end());
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

// A minimal Shorten version 2 writer: sample type 5, one DIFF0 block per
// channel holding every frame (energy 15, so each 16-bit residual is a stop
// bit and 16 low bits), then QUIT.

class BitWriter {
public:
    void bit(unsigned b) {
        if (used_ == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> used_);
        used_ = (used_ + 1) % 8;
    }
    void uvar(std::uint64_t value, unsigned width) {
        for (std::uint64_t zeros = value >> width; zeros > 0; --zeros) bit(0);
        bit(1);
        for (unsigned i = width; i-- > 0;) bit((value >> i) & 1u);
    }
    void var(std::int64_t value, unsigned width) {
        uvar(value >= 0 ? 2 * static_cast<std::uint64_t>(value)
                        : 2 * static_cast<std::uint64_t>(-(value + 1)) + 1,
             width);
    }
    void ulong(std::uint64_t value) {
        unsigned width = 0;
        while (width < 64 && (value >> width) != 0) ++width;
        uvar(width, 2);
        uvar(value, width);
    }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
    unsigned used_ = 0;
};

// `channels[c]` holds the samples of channel c; all have the same length,
// which must be at least 1.
inline std::vector<std::uint8_t> shorten_stream(const std::vector<std::vector<std::int16_t>>& channels) {
    BitWriter w;
    for (char c : {'a', 'j', 'k', 'g'}) {
        for (int i = 7; i >= 0; --i) w.bit((static_cast<unsigned>(c) >> i) & 1u);
    }
    for (int i = 7; i >= 0; --i) w.bit((2u >> i) & 1u);
    w.ulong(5);                       // sample type: 16-bit linear
    w.ulong(channels.size());         // channel count
    w.ulong(channels.front().size()); // blocksize
    w.ulong(0);                       // maxnlpc
    w.ulong(0);                       // nmean
    w.ulong(0);                       // nskip
    for (const auto& samples : channels) {
        w.uvar(0, 2);   // DIFF0
        w.uvar(15, 3);  // energy
        for (std::int16_t s : samples) w.var(s, 16);
    }
    w.uvar(4, 2);  // QUIT
    return w.take();
}

}  // namespace sonavert::testing
