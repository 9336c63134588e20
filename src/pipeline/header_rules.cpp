#include "pipeline/header_rules.hpp"

#include <string>
#include <string_view>

#include "codecs/payload.hpp"
#include "common/checked.hpp"
#include "common/text.hpp"
#include "pipeline/errors.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

bool starts_with_lower(std::string_view text, std::string_view prefix) {
    return text::ascii_lower(text.substr(0, prefix.size())) == prefix;
}

// Every field line of the header, as stored, ends in CR LF, as a text-mode
// copy leaves them all; a stray carriage return before one line feed is
// read as white space. (A header without field lines has no required
// fields, so it never gets here.)
bool lines_end_in_crlf(const sphere::HeaderFields& fields) {
    std::string_view rest = fields.lines();
    bool any = false;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        if (lf == std::string_view::npos) break;  // the terminator's line
        const std::string_view line = rest.substr(0, lf);
        rest.remove_prefix(lf + 1);
        if (line.empty()) continue;
        if (line.back() != '\r') return false;
        any = true;
    }
    return any;
}

}  // namespace

Status check_readable(const sphere::SphereHeader& header) {
    const sphere::HeaderFields& fields = header.fields;
    if (lines_end_in_crlf(fields)) return errors::header_lines_crlf();
    if (const std::optional<std::string_view> interleaved = fields.find("channels_interleaved")) {
        const Result<std::int64_t> channels = sphere::require_int(fields, "channel_count");
        if (channels && *channels > 1 && text::ascii_lower(text::trim(*interleaved)) == "false") {
            return errors::channels_not_interleaved(*interleaved);
        }
    }
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    if (starts_with_lower(codecs::split_coding(coding).compression, "embedded-wavpack")) {
        return errors::wavpack_not_supported(coding);
    }
    const std::string_view format = sphere::byte_format(fields);
    if (starts_with_lower(format, "shortpack")) return errors::shortpack_not_supported(format);
    return ok_status();
}

bool counts_every_channel(const sphere::SphereHeader& header, std::uint64_t payload_size) {
    const sphere::HeaderFields& fields = header.fields;
    if (codecs::split_coding(sphere::field_text(fields, "sample_coding", "pcm")).compressed()) return false;
    const Result<std::int64_t> count = sphere::require_int(fields, "sample_count");
    const Result<std::int64_t> channels = sphere::require_int(fields, "channel_count");
    const Result<std::int64_t> width = sphere::require_int(fields, "sample_n_bytes");
    if (!count || !channels || !width || *channels < 2 || *count <= 0 || *width < 1) return false;
    if (*count % *channels != 0 || codecs::undeclared_shorten(fields, header.payload, payload_size)) return false;
    std::int64_t total = 0;
    return checked_mul(*count, *width, total) && static_cast<std::uint64_t>(total) == payload_size;
}

Result<bool> adapt_header(sphere::SphereHeader& header, std::uint64_t payload_size) {
    SV_TRY(check_readable(header));
    if (!counts_every_channel(header, payload_size)) return false;
    SV_ASSIGN_OR_RETURN(const std::int64_t count, sphere::require_int(header.fields, "sample_count"));
    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(header.fields, "channel_count"));
    header.fields.set("sample_count", std::to_string(count / channels));
    return true;
}

}  // namespace sonavert::pipeline
