#include "command/args.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace sonavert::command {
namespace {

using pipeline::FormRequest;
using pipeline::OutputFormat;
using pipeline::RangeRequest;

// A format name known by its first three letters (two for "au"), in any
// letter case: "WAV", "wave" and "riff" name WAV, "aiff" AIFF.
std::optional<OutputFormat> parse_format(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower.size() >= 2 && lower.compare(0, 2, "au") == 0) return OutputFormat::Au;
    if (lower.size() < 3) return std::nullopt;
    const std::string_view key = std::string_view(lower).substr(0, 3);
    if (key == "sph") return OutputFormat::Sphere;
    if (key == "raw") return OutputFormat::Raw;
    if (key == "wav" || key == "rif") return OutputFormat::Wav;
    if (key == "aif" || key == "mac") return OutputFormat::Aiff;
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
    std::vector<std::string_view> operands;
    // Which of -t and -s set the range, so that the other is refused.
    char range_option = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);  // options may follow it
            continue;
        }
        // A group of options: flags, then at most one option that takes the
        // rest of the argument, or the next argument, as its value.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const char option = arg[k];
            if (option == 'p' || option == 'u' || option == 'a') {
                line.request.form = option == 'p' ? FormRequest::Pcm16
                                    : option == 'u' ? FormRequest::MuLaw
                                                    : FormRequest::ALaw;
                continue;
            }
            if (option != 'h' && option != 't' && option != 's' && option != 'c' && option != 'f') {
                return std::nullopt;
            }
            std::string_view value = arg.substr(k + 1);
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
                    if (range_option != 0 && range_option != option) return std::nullopt;
                    range_option = option;
                    line.request.range = RangeRequest{};
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
            break;  // the value ends the group
        }
    }
    if (operands.empty() || operands.size() > 2) return std::nullopt;
    line.input = std::string(operands[0]);
    if (operands.size() == 2) line.output = std::string(operands[1]);
    return line;
}

}  // namespace sonavert::command
