#include "pipeline/sphere_writer.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "pipeline/errors.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

constexpr std::string_view kMagicLine = "NIST_1A\n";
constexpr std::size_t kSizeLine = 8;  // seven columns and a line feed
constexpr std::string_view kTerminator = "end_head\n";
constexpr std::size_t kPadLine = 32;  // a line feed at every multiple of it

std::string string_line(std::string_view name, std::string_view value) {
    return std::string(name) + " -s" + std::to_string(value.size()) + " " + std::string(value) + "\n";
}

std::string int_line(std::string_view name, std::uint64_t value) {
    return std::string(name) + " -i " + std::to_string(value) + "\n";
}

std::string_view coding_name(SampleForm to) noexcept {
    switch (to) {
        case SampleForm::MuLaw: return "ulaw";
        case SampleForm::ALaw: return "alaw";
        default: return "pcm";
    }
}

}  // namespace

Result<ByteBuffer> write_sphere(const sphere::HeaderFields& fields, const SampleView& in, const Selection& sel,
                                SampleForm to) {
    SV_ASSIGN_OR_RETURN(const std::int64_t stored_width, sphere::require_int(fields, "sample_n_bytes"));
    const bool g711 = is_g711(to);
    const unsigned width = sample_bytes(to);

    std::string lines;
    bool has_coding = false, has_format = false;
    const std::string_view all = fields.lines();
    for (std::size_t pos = 0; pos < all.size();) {
        std::size_t lf = all.find('\n', pos);
        if (lf == std::string_view::npos) lf = all.size();
        const std::string_view line = text::trim(all.substr(pos, lf - pos));
        pos = lf + 1;
        if (line.empty()) continue;
        const std::string_view name = line.substr(0, text::find_white_space(line).pos);
        if (name == "channel_count") {
            lines += int_line(name, selected_channels(in, sel));
        } else if (name == "sample_count") {
            lines += int_line(name, sel.count);
        } else if (name == "sample_n_bytes") {
            lines += int_line(name, width);
        } else if (name == "sample_sig_bits") {
            lines += int_line(name, 8 * width);
        } else if (name == "sample_coding") {
            lines += string_line(name, coding_name(to));
            has_coding = true;
        } else if (name == "sample_byte_format") {
            has_format = true;
            if (!g711) {
                lines += string_line(name, "01");
            } else if (stored_width == 1) {
                lines += std::string(line) + "\n";
            }
        } else if (name != "sample_checksum") {
            lines += std::string(line) + "\n";
        }
    }
    if (g711 && !has_coding) lines += string_line("sample_coding", coding_name(to));
    if (!g711 && !has_format) lines += string_line("sample_byte_format", "01");

    // The header size right-aligned in seven columns (wider only for a
    // header of 10 MB or more, which then may need one block more).
    const std::size_t fixed = kMagicLine.size() + lines.size() + kTerminator.size();
    std::size_t header = 0;
    std::string size_line;
    for (std::size_t text_size = fixed + kSizeLine; header < text_size;) {
        header = (text_size + kSphereBlock - 1) / kSphereBlock * kSphereBlock;
        size_line = std::to_string(header);
        if (size_line.size() < kSizeLine - 1) size_line.insert(0, kSizeLine - 1 - size_line.size(), ' ');
        size_line += '\n';
        text_size = fixed + size_line.size();
    }
    SV_ASSIGN_OR_RETURN(ByteBuffer out, header_and_samples(header, in, sel, to, false,
                                                           std::numeric_limits<std::uint64_t>::max(), "SPHERE"));
    auto* p = reinterpret_cast<char*>(out.data());
    std::size_t at = 0;
    for (std::string_view piece : {kMagicLine, std::string_view(size_line), std::string_view(lines), kTerminator}) {
        std::memcpy(p + at, piece.data(), piece.size());
        at += piece.size();
    }
    for (; at < header; ++at) p[at] = at % kPadLine == 0 ? '\n' : ' ';
    return out;
}

}  // namespace sonavert::pipeline
