#include "sphere/header.hpp"

#include "common/text.hpp"
#include "sphere/errors.hpp"
#include "sphere/fields.hpp"
#include "sphere/numbers.hpp"

namespace sonavert::sphere {

void HeaderFields::set(std::string_view name, std::string_view value) {
    const auto it = map_.lower_bound(name);
    if (it != map_.end() && it->first == name) {
        it->second.assign(value);
    } else {
        map_.emplace_hint(it, std::string(name), std::string(value));
    }
}

const std::string* HeaderFields::find(std::string_view name) const {
    const auto it = map_.find(name);
    return it == map_.end() ? nullptr : &it->second;
}

namespace {

constexpr std::string_view kMagic = "NIST_1A";
constexpr std::string_view kTerminator = "end_head";
constexpr auto npos = std::string_view::npos;

// Reads one trimmed, non-empty field line that is not the terminator into
// `fields`: name, type token, value, and the value's syntax for its type.
Status read_field_line(std::string_view line, HeaderFields& fields) {
    const text::WhiteSpaceHit after_name = text::find_white_space(line);
    if (after_name.pos == npos) return errors::malformed_line(line);
    const std::string_view name = line.substr(0, after_name.pos);
    // The line is trimmed, so neither the name nor the rest can be empty here.
    const std::string_view rest = text::trim(line.substr(after_name.pos + after_name.length));

    const text::WhiteSpaceHit after_type = text::find_white_space(rest);
    const std::string_view type = rest.substr(0, after_type.pos);
    const std::string_view value =
        after_type.pos == npos ? std::string_view()
                               : text::trim(rest.substr(after_type.pos + after_type.length));

    // A type token begins with a hyphen-minus (one byte), so it holds at least
    // two characters exactly when it holds at least two bytes.
    if (type.size() < 2 || type[0] != '-') return errors::bad_type_token(line);
    switch (type[1]) {
        case 'i':
            if (!read_int64(value)) return errors::declared_integer_mismatch(name, value);
            break;
        case 'r':
            if (!is_real(value)) return errors::declared_real_mismatch(name, value);
            break;
        case 's': break;
        default: return errors::unknown_type(type, line);
    }
    fields.set(name, value);
    return ok_status();
}

}  // namespace

Result<SphereHeader> parse_header(ByteView file) {
    const std::string_view input(reinterpret_cast<const char*>(file.data()), file.size());
    if (input.substr(0, kMagic.size()) != kMagic) return errors::missing_magic();

    const std::size_t first_lf = input.find('\n');
    if (first_lf == npos) return errors::truncated_header();
    const std::size_t second_lf = input.find('\n', first_lf + 1);
    if (second_lf == npos) return errors::no_size_line();

    const std::string_view size_line = input.substr(first_lf + 1, second_lf - first_lf - 1);
    if (!text::is_valid_utf8(size_line)) return errors::size_line_not_utf8();
    const std::string_view size_text = text::trim(size_line);
    const std::optional<std::uint64_t> size = read_uint64(size_text);
    if (!size) return errors::invalid_size_line(size_text);
    if (*size == 0) return errors::non_positive_size();
    if (*size > input.size()) return errors::header_size_exceeds_input(*size, input.size());

    const std::string_view block = input.substr(0, static_cast<std::size_t>(*size));
    // The size line passed its own check and is fenced by line feeds, which
    // no multi-byte sequence can straddle, so it need not be checked again.
    const bool block_valid =
        block.size() > second_lf
            ? text::is_valid_utf8(block.substr(0, first_lf)) &&
                  text::is_valid_utf8(block.substr(second_lf))
            : text::is_valid_utf8(block);
    if (!block_valid) return errors::header_not_utf8();

    // The pieces of the block between line feeds; the first two (magic and
    // size line) are skipped unread. A block that ends before the third piece
    // has no field lines and so no terminator.
    SphereHeader header;
    bool terminated = false;
    for (std::size_t pos = second_lf + 1; pos <= block.size();) {
        const std::size_t lf = block.find('\n', pos);
        const std::size_t piece_end = lf == npos ? block.size() : lf;
        const std::string_view line = text::trim(block.substr(pos, piece_end - pos));
        if (line == kTerminator) {
            terminated = true;
            break;
        }
        if (!line.empty()) SV_TRY(read_field_line(line, header.fields));
        if (lf == npos) break;
        pos = lf + 1;
    }
    if (!terminated) return errors::missing_terminator();

    SV_TRY(validate_header(header.fields));
    header.header_size = *size;
    header.payload = file.subspan(static_cast<std::size_t>(*size));
    return header;
}

}  // namespace sonavert::sphere
