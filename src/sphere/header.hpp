// The NIST SPHERE header: parsing the text header of a whole file into its
// field map and a view of the payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::sphere {

// The fields the library reads (through fields.hpp); no other is read.
inline constexpr std::array<std::string_view, 6> kReadFields = {
    "sample_count", "sample_rate", "channel_count", "sample_n_bytes", "sample_coding", "sample_byte_format",
};

// Field name -> value text (trimmed), exact byte-wise keys, the last value
// set for a name wins. Read only through the operations of fields.hpp.
//
// A parsed header holds copies of the values of kReadFields only; any other
// name is looked up by reading the header's field lines again. So a header
// of a million fields costs the memory of the few values read rather than a
// map of a million entries, and lookups of the fields read stay cheap.
class HeaderFields {
public:
    // Inserts or replaces, keeping copies of name and value.
    void set(std::string_view name, std::string_view value);
    // The value text, or nullopt when the field is absent. The view lives as
    // long as these fields and, for a parsed header, the input.
    std::optional<std::string_view> find(std::string_view name) const;

    // For the parser: the header's validated field lines, up to the
    // terminator, where find() looks up names that were not set().
    void keep_lines(std::string_view lines) noexcept { lines_ = lines; }
    // The header's field lines up to the terminator, as stored (empty for
    // fields that were only set()): for writers that carry a header over.
    std::string_view lines() const noexcept { return lines_; }

private:
    // WATCHOUT: a tree, not a hash table. Field names come from untrusted
    // input, and the standard hash is fixed and public, so crafted colliding
    // names would turn a hash table quadratic; a tree keeps every search at a
    // logarithmic number of byte-wise comparisons.
    std::map<std::string, std::string, std::less<>> map_;
    std::string_view lines_;  // a view of the input, or empty
};

struct SphereHeader {
    HeaderFields fields;
    std::uint64_t header_size = 0;
    ByteView payload;  // the input from header_size to its end; borrowed
};

// Parses and validates the header of the SPHERE file in `file`: the magic
// line, the size line, the field lines up to "end_head", then
// validate_header. The payload views `file`, so it lives as long as `file`.
// Every failure is an Invalid error with the message of sphere/errors.hpp.
Result<SphereHeader> parse_header(ByteView file);

// parse_header for a prefix of a file of `file_length` bytes (at least
// prefix.size()): the result and every message are those of parse_header on
// the whole file, provided the prefix holds at least
// header_bytes_needed(prefix) bytes or the whole file. The payload view is
// the part of the prefix after the header.
Result<SphereHeader> parse_header(ByteView prefix, std::uint64_t file_length);

// How many bytes from the start of a file parse_header reads, as far as
// `prefix` tells: prefix.size() when it already decides (a wrong magic, a
// bad size line), the declared header size once the size line is complete,
// and prefix.size() + 1 (more is needed) while the size line is not.
std::uint64_t header_bytes_needed(ByteView prefix) noexcept;

// One field line of a parsed header: its name, type letter ('i', 'r' or
// 's') and value text, views of the header.
struct FieldEntry {
    std::string_view name;
    char type;
    std::string_view value;
};

// Calls visit(entry) for every field line of a parsed header, in the order of
// the lines (a name may come more than once; the last line wins).
void for_each_field(const HeaderFields& fields, const std::function<void(const FieldEntry&)>& visit);

}  // namespace sonavert::sphere
