#include "sphere/fields.hpp"

#include "common/checked.hpp"
#include "sphere/errors.hpp"
#include "sphere/numbers.hpp"

namespace sonavert::sphere {
namespace {

constexpr std::string_view kSampleCount = "sample_count";
constexpr std::string_view kSampleRate = "sample_rate";
constexpr std::string_view kChannelCount = "channel_count";
constexpr std::string_view kSampleNBytes = "sample_n_bytes";

}  // namespace

Result<std::int64_t> require_int(const HeaderFields& fields, std::string_view name) {
    const std::string* text = fields.find(name);
    if (text == nullptr) return errors::missing_required_field(name);
    const std::optional<std::int64_t> value = read_int64(*text);
    if (!value) return errors::not_an_integer(name);
    return *value;
}

std::string_view field_text(const HeaderFields& fields, std::string_view name,
                            std::string_view fallback) {
    const std::string* text = fields.find(name);
    return text == nullptr ? fallback : std::string_view(*text);
}

std::string_view byte_format(const HeaderFields& fields) {
    return field_text(fields, "sample_byte_format", "1");
}

Result<std::uint64_t> declared_payload_size(const HeaderFields& fields) {
    SV_ASSIGN_OR_RETURN(const std::int64_t sample_count, require_int(fields, kSampleCount));
    SV_ASSIGN_OR_RETURN(const std::int64_t channel_count, require_int(fields, kChannelCount));
    SV_ASSIGN_OR_RETURN(const std::int64_t sample_n_bytes, require_int(fields, kSampleNBytes));
    std::int64_t product = 0;
    if (!checked_mul(sample_count, channel_count, product) ||
        !checked_mul(product, sample_n_bytes, product) || product < 0)
        return errors::payload_size_overflows();
    return static_cast<std::uint64_t>(product);
}

Status validate_header(const HeaderFields& fields) {
    for (const std::string_view name : {kSampleCount, kSampleRate, kChannelCount, kSampleNBytes}) {
        if (fields.find(name) == nullptr) return errors::missing_required_field(name);
    }
    SV_ASSIGN_OR_RETURN(const std::int64_t channel_count, require_int(fields, kChannelCount));
    if (channel_count < 1) return errors::channel_count_below_one(channel_count);
    SV_ASSIGN_OR_RETURN(const std::int64_t sample_n_bytes, require_int(fields, kSampleNBytes));
    if (sample_n_bytes < 1) return errors::sample_n_bytes_below_one(sample_n_bytes);
    SV_ASSIGN_OR_RETURN(const std::int64_t sample_count, require_int(fields, kSampleCount));
    if (sample_count < 0) return errors::sample_count_negative(sample_count);
    SV_ASSIGN_OR_RETURN(const std::int64_t sample_rate, require_int(fields, kSampleRate));
    if (sample_rate < 1) return errors::sample_rate_below_one(sample_rate);
    return ok_status();
}

}  // namespace sonavert::sphere
