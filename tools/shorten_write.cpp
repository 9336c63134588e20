// shorten_write: the project's Shorten stream writer (testkit::BitWriter) for
// programs outside C++, the Python tests among them. It reads codes from
// standard input, one a line, and writes the bits they make to standard
// output, the last byte padded with zero bits:
//
//   b VALUE COUNT   the low COUNT bits of VALUE (COUNT 0..64)
//   z COUNT         COUNT zero bits
//   u VALUE N       unsigned code of width N (0..64): read_uvar(N)
//   s VALUE N       signed code of width N: read_var(N)
//   l VALUE         self-sized code: read_ulong()
//
// VALUE is an unsigned 64-bit number, signed for "s". Nothing is checked
// beyond the syntax and size: streams that the decoder must refuse are
// written too. A malformed line, or one whose code would take the output
// beyond kMaxBits, ends the program with status 2 and a message naming it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "shorten_stream_writer.hpp"

namespace {

// The most bits the output may hold (128 MiB): far more than any test needs,
// and a bound on the memory a mistyped count can ask for.
constexpr std::uint64_t kMaxBits = std::uint64_t{1} << 30;

// Reads an unsigned number; unlike operator>>, refuses a minus sign.
bool read_unsigned(std::istringstream& in, std::uint64_t& out) {
    in >> std::ws;
    return in.peek() != '-' && bool(in >> out);
}

// The bits a code of unsigned width n takes for `value`, or more than
// kMaxBits when that is more.
std::uint64_t uvar_bits(std::uint64_t value, std::uint64_t n) {
    const std::uint64_t prefix = n >= 64 ? 0 : value >> n;
    return prefix > kMaxBits ? kMaxBits + 1 : prefix + 1 + n;
}

bool apply(sonavert::testkit::BitWriter& w, const std::string& line) {
    std::istringstream in(line);
    char op = 0;
    if (!(in >> op)) return true;  // an empty line
    std::uint64_t value = 0, width = 0;
    std::int64_t signed_value = 0;
    bool ok = false;
    std::uint64_t adds = 0;  // bits the code adds
    switch (op) {
        case 'b':
            ok = read_unsigned(in, value) && read_unsigned(in, width) && width <= 64;
            adds = width;
            break;
        case 'z':
            ok = read_unsigned(in, value);
            adds = value;
            break;
        case 'u':
            ok = read_unsigned(in, value) && read_unsigned(in, width) && width <= 64;
            adds = uvar_bits(value, width);
            break;
        case 's':
            ok = bool(in >> signed_value) && read_unsigned(in, width) && width <= 64;
            adds = uvar_bits(sonavert::testkit::zigzag(signed_value), width);
            break;
        case 'l':
            ok = read_unsigned(in, value);
            adds = 2 * 64 + 3;  // at most
            break;
        default: break;
    }
    std::string rest;
    if (!ok || (in >> rest) || adds > kMaxBits - std::min(kMaxBits, w.bit_count())) return false;
    switch (op) {
        case 'b': w.put_bits(value, static_cast<unsigned>(width)); break;
        case 'z': w.put_zeros(value); break;
        case 'u': w.put_uvar(value, static_cast<unsigned>(width)); break;
        case 's': w.put_var(signed_value, static_cast<unsigned>(width)); break;
        case 'l': w.put_ulong(value); break;
        default: break;
    }
    return true;
}

}  // namespace

int main() {
    sonavert::testkit::BitWriter w;
    std::string line;
    for (std::uint64_t number = 1; std::getline(std::cin, line); ++number) {
        if (!apply(w, line)) {
            std::fprintf(stderr, "shorten_write: line %llu is not a code, or takes the output beyond 2^30 bits: %s\n",
                         static_cast<unsigned long long>(number), line.c_str());
            return 2;
        }
    }
    const std::vector<std::uint8_t> bytes = w.finish();
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "shorten_write: writing the output failed\n");
        return 1;
    }
    return 0;
}
