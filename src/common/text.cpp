#include "common/text.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

namespace sonavert::text {

namespace tables {
struct CodePointRange {
    char32_t first;
    char32_t last;
};
#include "common/unicode_tables.inc"
}  // namespace tables

namespace {

template <std::size_t N>
bool in_ranges(const tables::CodePointRange (&table)[N], char32_t cp) noexcept {
    const auto* after = std::upper_bound(
        std::begin(table), std::end(table), cp,
        [](char32_t value, const tables::CodePointRange& range) { return value < range.first; });
    return after != std::begin(table) && cp <= std::prev(after)->last;
}

constexpr char32_t kReplacement = 0xFFFD;

bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Length (2 to 4) of the well-formed multi-byte sequence at p[0] (>= 0x80),
// reading no further than `end`; 0 when it is malformed or cut off. These are
// the byte ranges of the Unicode Standard's table of well-formed sequences:
// they exclude overlong forms, surrogates and code points above U+10FFFF.
std::size_t multibyte_length(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned lead = p[0];
    const std::size_t available = static_cast<std::size_t>(end - p);
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return available >= 2 && is_continuation(p[1]) ? 2 : 0;
    if (lead < 0xF0) {
        if (available < 3) return 0;
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && is_continuation(p[2]) ? 3 : 0;
    }
    if (lead < 0xF5) {
        if (available < 4) return 0;
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && is_continuation(p[2]) && is_continuation(p[3]) ? 4
                                                                                             : 0;
    }
    return 0;
}

struct Decoded {
    char32_t cp;
    std::size_t length;
};

// The character starting at s[i] (i < s.size()); a malformed byte decodes as
// U+FFFD of length 1.
Decoded decode_at(std::string_view s, std::size_t i) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    if (p[0] < 0x80) return {p[0], 1};
    const auto* end = reinterpret_cast<const unsigned char*>(s.data()) + s.size();
    switch (multibyte_length(p, end)) {
        case 2: return {char32_t(p[0] & 0x1F) << 6 | (p[1] & 0x3F), 2};
        case 3: return {char32_t(p[0] & 0x0F) << 12 | char32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F), 3};
        case 4:
            return {char32_t(p[0] & 0x07) << 18 | char32_t(p[1] & 0x3F) << 12 |
                        char32_t(p[2] & 0x3F) << 6 | (p[3] & 0x3F),
                    4};
        default: return {kReplacement, 1};
    }
}

bool is_ascii_white_space(unsigned char c) noexcept { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }

// The size of the White_Space character that ends s[0, end), or 0 when the
// character there is not White_Space.
std::size_t white_space_before(std::string_view s, std::size_t end) noexcept {
    const auto last = static_cast<unsigned char>(s[end - 1]);
    if (last < 0x80) return is_ascii_white_space(last) ? 1 : 0;
    // Step back over at most three continuation bytes to the lead byte.
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && is_continuation(static_cast<unsigned char>(s[start])))
        --start;
    const Decoded d = decode_at(s, start);
    return d.length == end - start && is_white_space(d.cp) ? d.length : 0;
}

}  // namespace

std::string_view unicode_version() noexcept { return tables::kUnicodeVersion; }

bool is_white_space(char32_t cp) noexcept {
    if (cp < 0x80) return is_ascii_white_space(static_cast<unsigned char>(cp));
    return in_ranges(tables::kWhiteSpaceRanges, cp);
}

bool is_escaped_in_quoted_form(char32_t cp) noexcept {
    return in_ranges(tables::kEscapedRanges, cp);
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    while (p < end) {
        // Fast path: eight ASCII bytes at a time while eight remain.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if (word & kHighBits) break;
            p += 8;
        }
        if (p == end) break;
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const std::size_t length = multibyte_length(p, end);
        if (length == 0) return false;
        p += length;
    }
    return true;
}

std::string_view trim(std::string_view s) noexcept {
    std::size_t begin = 0;
    while (begin < s.size()) {
        const auto c = static_cast<unsigned char>(s[begin]);
        if (c < 0x80) {
            if (!is_ascii_white_space(c)) break;
            ++begin;
            continue;
        }
        const Decoded d = decode_at(s, begin);
        if (!is_white_space(d.cp)) break;
        begin += d.length;
    }
    std::size_t end = s.size();
    while (end > begin) {
        const std::size_t length = white_space_before(s, end);
        if (length == 0) break;
        end -= length;
    }
    return s.substr(begin, end - begin);
}

WhiteSpaceHit find_white_space(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (is_ascii_white_space(c)) return {i, 1};
            ++i;
            continue;
        }
        const Decoded d = decode_at(s, i);
        if (is_white_space(d.cp)) return {i, d.length};
        i += d.length;
    }
    return {std::string_view::npos, 0};
}

namespace {

// Hands the quoted form of `s` to put(), piece by piece.
template <class Put>
void quote_pieces(std::string_view s, Put&& put) {
    auto escape = [&](char32_t cp) {
        char digits[8];
        const auto result = std::to_chars(std::begin(digits), std::end(digits), static_cast<std::uint32_t>(cp), 16);
        put("\\u{");
        put(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
        put("}");
    };
    put("\"");
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '\\': put("\\\\"); break;
                case '"': put("\\\""); break;
                case '\t': put("\\t"); break;
                case '\r': put("\\r"); break;
                case '\n': put("\\n"); break;
                case '\0': put("\\0"); break;
                default:
                    if (is_escaped_in_quoted_form(c)) {
                        escape(c);
                    } else {
                        put(s.substr(i, 1));
                    }
            }
            ++i;
            continue;
        }
        const Decoded d = decode_at(s, i);
        if (d.length == 1) {
            put("\xEF\xBF\xBD");  // a malformed byte stands as U+FFFD
        } else if (is_escaped_in_quoted_form(d.cp)) {
            escape(d.cp);
        } else {
            put(s.substr(i, d.length));
        }
        i += d.length;
    }
    put("\"");
}

}  // namespace

std::size_t quoted_length(std::string_view s) {
    std::size_t length = 0;
    quote_pieces(s, [&](std::string_view piece) { length += piece.size(); });
    return length;
}

void append_quoted(std::string& out, std::string_view s) {
    out.reserve(out.size() + quoted_length(s));
    quote_pieces(s, [&](std::string_view piece) { out.append(piece); });
}

std::string quoted(std::string_view s) {
    std::string out;
    append_quoted(out, s);
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace sonavert::text
