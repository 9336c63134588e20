// The NIST SPHERE header: parsing the text header of a whole file into its
// field map and a view of the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::sphere {

// Field name -> value text (trimmed), exact byte-wise keys, last one wins.
// Read only through the operations of fields.hpp.
class HeaderFields {
public:
    // Inserts or replaces. The name is copied only when it is new.
    void set(std::string_view name, std::string_view value);
    // The value text, or null when the field is absent.
    const std::string* find(std::string_view name) const;
    std::size_t size() const noexcept { return map_.size(); }

private:
    // WATCHOUT: a tree, not a hash table. Field names come from untrusted
    // input, and the standard hash is fixed and public, so crafted colliding
    // names would turn a hash table quadratic; a tree keeps every search at a
    // logarithmic number of byte-wise comparisons.
    std::map<std::string, std::string, std::less<>> map_;
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

}  // namespace sonavert::sphere
