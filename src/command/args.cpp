#include "command/args.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace sonavert::command {
namespace {

using pipeline::FormRequest;
using pipeline::OutputFormat;
using pipeline::RangeRequest;

std::optional<OutputFormat> parse_format(std::string_view name) {
    if (name == "sph") return OutputFormat::Sphere;
    if (name == "raw") return OutputFormat::Raw;
    if (name == "wav" || name == "rif") return OutputFormat::Wav;
    if (name == "au") return OutputFormat::Au;
    if (name == "aif" || name == "mac") return OutputFormat::Aiff;
    return std::nullopt;
}

// A whole number of decimal digits only.
std::optional<std::uint64_t> parse_samples(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

// Digits with at most one decimal point, at least one digit.
std::optional<double> parse_seconds(std::string_view text) {
    bool digit = false, point = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!digit) return std::nullopt;
    const std::string copy(text);
    const double value = std::strtod(copy.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

// "b:e", either side possibly empty.
bool parse_range(std::string_view text, bool seconds, RangeRequest& range) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view begin = text.substr(0, colon), end = text.substr(colon + 1);
    range.unit = seconds ? RangeRequest::Unit::Seconds : RangeRequest::Unit::Samples;
    for (const auto& [part, is_begin] : {std::pair{begin, true}, std::pair{end, false}}) {
        if (part.empty()) continue;
        if (seconds) {
            const std::optional<double> value = parse_seconds(part);
            if (!value) return false;
            (is_begin ? range.begin_seconds : range.end_seconds) = *value;
        } else {
            const std::optional<std::uint64_t> value = parse_samples(part);
            if (!value) return false;
            (is_begin ? range.begin_sample : range.end_sample) = *value;
        }
    }
    return true;
}

}  // namespace

std::optional<CommandLine> parse_command_line(const std::vector<std::string_view>& args) {
    CommandLine line;
    bool form_given = false;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') break;
        const char option = arg[1];
        if (option == 'p' || option == 'u' || option == 'a') {
            if (arg.size() != 2 || form_given) return std::nullopt;
            form_given = true;
            line.request.form = option == 'p' ? FormRequest::Pcm16 : option == 'u' ? FormRequest::MuLaw : FormRequest::ALaw;
            continue;
        }
        if (option != 'h' && option != 't' && option != 's' && option != 'c' && option != 'f') return std::nullopt;
        std::string_view value = arg.substr(2);
        if (value.empty()) {
            if (++i == args.size()) return std::nullopt;
            value = args[i];
        }
        switch (option) {
            case 'h':
                line.header_file = std::string(value);
                break;
            case 't':
            case 's':
                if (line.request.range.unit != RangeRequest::Unit::None) return std::nullopt;
                if (!parse_range(value, option == 't', line.request.range)) return std::nullopt;
                break;
            case 'c':
                if (value != "1" && value != "2") return std::nullopt;
                line.request.channel = value == "1" ? 1u : 2u;
                break;
            case 'f': {
                const std::optional<OutputFormat> format = parse_format(value);
                if (!format) return std::nullopt;
                line.request.format = *format;
                break;
            }
        }
    }
    const std::size_t operands = args.size() - i;
    if (operands < 1 || operands > 2) return std::nullopt;
    line.input = std::string(args[i]);
    if (operands == 2) line.output = std::string(args[i + 1]);
    return line;
}

}  // namespace sonavert::command
