#include "sphere_writer.hpp"

#include <string_view>

namespace sonavert::testkit {

namespace {

// Headers grow in steps of this size when none is given, as SPHERE files
// conventionally do.
constexpr std::uint64_t kHeaderUnit = 1024;
constexpr std::string_view kMagicLine = "NIST_1A\n";
constexpr std::string_view kTerminator = "end_head\n";

Error bad_field_name(const std::string& name) {
    return invalid("sphere writer: field name \"" + name + "\" is empty or holds white space");
}
Error bad_field_value(const std::string& name) {
    return invalid("sphere writer: value of field \"" + name + "\" holds a line feed");
}
Error header_too_small(std::uint64_t needed, std::uint64_t size) {
    return invalid("sphere writer: header needs " + std::to_string(needed) + " bytes but its size is " +
                   std::to_string(size));
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string default_size_line(std::uint64_t size) {
    std::string digits = std::to_string(size);
    if (digits.size() < 7) digits.insert(0, 7 - digits.size(), ' ');
    return digits;
}

}  // namespace

SphereWriter& SphereWriter::add_typed(std::string name, const std::string& type, const std::string& value) {
    bool name_ok = !name.empty();
    for (char c : name) name_ok = name_ok && !is_ascii_space(c);
    if (!bad_field_) {
        if (!name_ok) {
            bad_field_ = bad_field_name(name);
        } else if (value.find('\n') != std::string::npos) {
            bad_field_ = bad_field_value(name);
        }
    }
    lines_.push_back(name + " " + type + " " + value);
    return *this;
}

SphereWriter& SphereWriter::add_int(std::string name, std::int64_t value) {
    return add_typed(std::move(name), "-i", std::to_string(value));
}

SphereWriter& SphereWriter::add_string(std::string name, std::string value) {
    return add_typed(std::move(name), "-s" + std::to_string(value.size()), value);
}

SphereWriter& SphereWriter::add_real(std::string name, std::string text) {
    return add_typed(std::move(name), "-r", text);
}

SphereWriter& SphereWriter::add_line(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
}

SphereWriter& SphereWriter::header_size(std::uint64_t size) {
    header_size_ = size;
    return *this;
}

SphereWriter& SphereWriter::size_line(std::string text) {
    size_line_ = std::move(text);
    return *this;
}

Result<std::vector<std::uint8_t>> SphereWriter::build(ByteView payload) const {
    if (bad_field_) return *bad_field_;
    std::uint64_t body = kTerminator.size();
    for (const std::string& line : lines_) body += line.size() + 1;

    // The size line's width depends on the size it states.
    auto needed_for = [&](std::uint64_t size) {
        const std::uint64_t size_text = size_line_ ? size_line_->size() : default_size_line(size).size();
        return kMagicLine.size() + size_text + 1 + body;
    };
    std::uint64_t size = 0;
    if (header_size_) {
        size = *header_size_;
        if (needed_for(size) > size) return header_too_small(needed_for(size), size);
    } else {
        size = kHeaderUnit;
        while (needed_for(size) > size) size += kHeaderUnit;
    }

    std::vector<std::uint8_t> out;
    out.reserve(size + payload.size());
    auto append = [&out](std::string_view text) { out.insert(out.end(), text.begin(), text.end()); };
    append(kMagicLine);
    append(size_line_ ? *size_line_ : default_size_line(size));
    append("\n");
    for (const std::string& line : lines_) {
        append(line);
        append("\n");
    }
    append(kTerminator);
    out.resize(size, ' ');
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace sonavert::testkit
