#include "sphere/numbers.hpp"

#include <limits>

#include "common/checked.hpp"

namespace sonavert::sphere {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The value of `digits` (one or more of 0-9 and nothing else), or nothing
// when it is not such a text or exceeds 2^64 - 1.
std::optional<std::uint64_t> read_digits(std::string_view digits) noexcept {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (!is_digit(c)) return std::nullopt;
        if (!checked_mul<std::uint64_t>(value, 10, value) ||
            !checked_add<std::uint64_t>(value, static_cast<std::uint64_t>(c - '0'), value))
            return std::nullopt;
    }
    return value;
}

// True when `text` is `lower_word` in any mix of ASCII upper and lower case.
bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != lower_word[i]) return false;
    }
    return true;
}

// Length of the run of digits at the start of `s`.
std::size_t digit_run(std::string_view s) noexcept {
    std::size_t n = 0;
    while (n < s.size() && is_digit(s[n])) ++n;
    return n;
}

}  // namespace

std::optional<std::int64_t> read_int64(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const std::optional<std::uint64_t> magnitude = read_digits(text);
    if (!magnitude) return std::nullopt;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) {
        if (*magnitude > kMax) return std::nullopt;
        return static_cast<std::int64_t>(*magnitude);
    }
    if (*magnitude > kMax + 1) return std::nullopt;
    if (*magnitude == kMax + 1) return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(*magnitude);
}

std::optional<std::uint64_t> read_uint64(std::string_view text) noexcept {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    return read_digits(text);
}

bool is_real(std::string_view text) noexcept {
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    for (const std::string_view word : {"inf", "infinity", "nan"}) {
        if (equals_ignoring_ascii_case(text, word)) return true;
    }

    const std::size_t integer_digits = digit_run(text);
    text.remove_prefix(integer_digits);
    std::size_t fraction_digits = 0;
    if (!text.empty() && text[0] == '.') {
        text.remove_prefix(1);
        fraction_digits = digit_run(text);
        text.remove_prefix(fraction_digits);
    }
    if (integer_digits == 0 && fraction_digits == 0) return false;
    if (!text.empty() && (text[0] == 'e' || text[0] == 'E')) {
        text.remove_prefix(1);
        if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
        const std::size_t exponent_digits = digit_run(text);
        if (exponent_digits == 0) return false;
        text.remove_prefix(exponent_digits);
    }
    return text.empty();
}

}  // namespace sonavert::sphere
