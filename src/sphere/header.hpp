// The NIST SPHERE header: parsing the text header of a whole file into its
// field map and a view of the payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::sphere {

// Field name -> value text (trimmed), exact byte-wise keys, last one wins.
// Read only through the operations of fields.hpp.
class HeaderFields {
public:
    // Inserts or replaces.
    void set(std::string_view name, std::string_view value);
    // The value text, or null when the field is absent.
    const std::string* find(std::string_view name) const;
    std::size_t size() const noexcept { return map_.size(); }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    std::unordered_map<std::string, std::string, Hash, std::equal_to<>> map_;
};

struct SphereHeader {
    HeaderFields fields;
    std::uint64_t header_size = 0;
    ByteView payload;  // the input from header_size to its end; borrowed
};

// Parses and validates the header of the SPHERE file in `file`.
Result<SphereHeader> parse_header(ByteView file);

}  // namespace sonavert::sphere
