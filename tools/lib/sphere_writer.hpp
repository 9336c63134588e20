// Builds NIST SPHERE files in memory: the magic line, the size line, field
// lines, "end_head", space padding up to the header size, then the payload.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::testkit {

class SphereWriter {
public:
    // "name -i value".
    SphereWriter& add_int(std::string name, std::int64_t value);
    // "name -s<byte length> value".
    SphereWriter& add_string(std::string name, std::string value);
    // "name -r text": the text as given, so tests can write forms such as
    // 1e400 or nan.
    SphereWriter& add_real(std::string name, std::string text);
    // A raw line written as it is (a line feed is appended); nothing is
    // checked, so tests can write malformed lines.
    SphereWriter& add_line(std::string line);

    // The exact header size. Without it the header takes the smallest
    // multiple of 1024 bytes that holds it.
    SphereWriter& header_size(std::uint64_t size);
    // Replaces the size line (default: the size right-aligned in 7 columns)
    // with a raw text; the header is then still padded to header_size().
    SphereWriter& size_line(std::string text);

    // The header followed by `payload`. Fails when a typed field's name is
    // empty or holds white space, a typed value holds a line feed, or the
    // header does not fit an explicit header size.
    Result<std::vector<std::uint8_t>> build(ByteView payload) const;

private:
    std::vector<std::string> lines_;
    std::optional<Error> bad_field_;  // the first rejected typed field
    std::optional<std::uint64_t> header_size_;
    std::optional<std::string> size_line_;

    SphereWriter& add_typed(std::string name, const std::string& type, const std::string& value);
};

}  // namespace sonavert::testkit
