#include "sphere/header.hpp"

#include <stdexcept>

#include "common/text.hpp"
#include "sphere/errors.hpp"
#include "sphere/fields.hpp"
#include "sphere/numbers.hpp"

namespace sonavert::sphere {

namespace {

constexpr std::string_view kMagic = "NIST_1A";
constexpr std::string_view kTerminator = "end_head";
constexpr auto npos = std::string_view::npos;

bool is_read_field(std::string_view name) {
    for (const std::string_view read : kReadFields) {
        if (name == read) return true;
    }
    return false;
}

// The parts of a trimmed, non-empty field line.
struct FieldLine {
    std::string_view name, type, value;
};

// Splits the line at its first whitespace (the name) and the rest at its
// first whitespace (the type token); the value is what follows, trimmed.
// Nothing when the line holds no whitespace.
std::optional<FieldLine> split_field_line(std::string_view line) {
    const text::WhiteSpaceHit after_name = text::find_white_space(line);
    if (after_name.pos == npos) return std::nullopt;
    // The line is trimmed, so neither the name nor the rest can be empty here.
    const std::string_view rest = text::trim(line.substr(after_name.pos + after_name.length));
    const text::WhiteSpaceHit after_type = text::find_white_space(rest);
    return FieldLine{line.substr(0, after_name.pos), rest.substr(0, after_type.pos),
                     after_type.pos == npos ? std::string_view()
                                            : text::trim(rest.substr(after_type.pos + after_type.length))};
}

// Calls visit(line, at) for every line of `text` (split at line feeds, the
// piece after the last one included), `line` trimmed of White_Space and
// `at` the offset in `text` where the untrimmed line starts, until visit
// returns false.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    for (std::size_t pos = 0; pos <= text.size();) {
        const std::size_t lf = text.find('\n', pos);
        const std::size_t end = lf == npos ? text.size() : lf;
        if (!visit(text::trim(text.substr(pos, end - pos)), pos) || lf == npos) return;
        pos = lf + 1;
    }
}

// Checks one trimmed, non-empty field line that is not the terminator: name,
// type token, and the value's syntax for its type.
Result<FieldLine> read_field_line(std::string_view line) {
    const std::optional<FieldLine> field = split_field_line(line);
    if (!field) return errors::malformed_line(line);
    // A type token begins with a hyphen-minus (one byte), so it holds at least
    // two characters exactly when it holds at least two bytes.
    if (field->type.size() < 2 || field->type[0] != '-') return errors::bad_type_token(line);
    switch (field->type[1]) {
        case 'i':
            if (!read_int64(field->value)) return errors::declared_integer_mismatch(field->name, field->value);
            break;
        case 'r':
            if (!is_real(field->value)) return errors::declared_real_mismatch(field->name, field->value);
            break;
        case 's': break;
        default: return errors::unknown_type(field->type, line);
    }
    return *field;
}

}  // namespace

void HeaderFields::set(std::string_view name, std::string_view value) {
    const auto it = map_.lower_bound(name);
    if (it != map_.end() && it->first == name) {
        it->second.assign(value);
    } else {
        map_.emplace_hint(it, std::string(name), std::string(value));
    }
}

std::optional<std::string_view> HeaderFields::find(std::string_view name) const {
    const auto it = map_.find(name);
    if (it != map_.end()) return std::string_view(it->second);
    // A parsed header set() every field read that it has.
    if (lines_.empty() || is_read_field(name)) return std::nullopt;
    std::optional<std::string_view> value;
    for_each_line(lines_, [&](std::string_view line, std::size_t) {
        if (const std::optional<FieldLine> field = line.empty() ? std::nullopt : split_field_line(line)) {
            if (field->name == name) value = field->value;  // the last one wins
        }
        return true;
    });
    return value;
}

Result<SphereHeader> parse_header(ByteView file) { return parse_header(file, file.size()); }

std::uint64_t header_bytes_needed(ByteView prefix) noexcept {
    const std::string_view input(reinterpret_cast<const char*>(prefix.data()), prefix.size());
    const std::uint64_t more = std::uint64_t{prefix.size()} + 1;
    if (input.size() >= kMagic.size() && input.substr(0, kMagic.size()) != kMagic) return prefix.size();
    const std::size_t first_lf = input.find('\n');
    const std::size_t second_lf = first_lf == npos ? npos : input.find('\n', first_lf + 1);
    if (second_lf == npos) return more;
    const std::string_view size_line = input.substr(first_lf + 1, second_lf - first_lf - 1);
    if (!text::is_valid_utf8(size_line)) return prefix.size();
    const std::optional<std::uint64_t> size = read_uint64(text::trim(size_line));
    if (!size || *size <= prefix.size()) return prefix.size();
    return *size;
}

void for_each_field(const HeaderFields& fields, const std::function<void(const FieldEntry&)>& visit) {
    for_each_line(fields.lines(), [&](std::string_view line, std::size_t) {
        if (const std::optional<FieldLine> field = line.empty() ? std::nullopt : split_field_line(line)) {
            visit(FieldEntry{field->name, field->type[1], field->value});
        }
        return true;
    });
}

Result<SphereHeader> parse_header(ByteView file, std::uint64_t file_length) {
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
    if (*size > file_length) return errors::header_size_exceeds_input(*size, file_length);
    if (*size > input.size()) throw std::logic_error("parse_header: the prefix ends inside the header");

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
    if (block.size() <= second_lf) return errors::missing_terminator();
    const std::string_view lines = block.substr(second_lf + 1);
    std::optional<std::size_t> terminator;
    Status status;
    for_each_line(lines, [&](std::string_view line, std::size_t at) {
        if (line == kTerminator) {
            terminator = at;
            return false;
        }
        if (line.empty()) return true;
        Result<FieldLine> field = read_field_line(line);
        if (!field) {
            status = std::move(field).error();
            return false;
        }
        if (is_read_field(field->name)) header.fields.set(field->name, field->value);
        return true;
    });
    SV_TRY(status);
    if (!terminator) return errors::missing_terminator();
    header.fields.keep_lines(lines.substr(0, *terminator));

    SV_TRY(validate_header(header.fields));
    header.header_size = *size;
    header.payload = file.subspan(static_cast<std::size_t>(*size));
    return header;
}

}  // namespace sonavert::sphere
