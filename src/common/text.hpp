// Text helpers shared by every subsystem: Unicode White_Space trimming and
// splitting, strict UTF-8 validation, and the quoted form used in messages.
//
// The character properties come from tables generated out of the Unicode
// Character Database by gen_unicode_tables.py (see unicode_tables.inc).
// Functions that take "valid UTF-8" stay memory-safe on any input: a byte
// that does not start a well-formed sequence counts as one character
// U+FFFD, which is neither white space nor escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sonavert::text {

// The Unicode version the property tables were generated from, e.g. "15.0.0".
std::string_view unicode_version() noexcept;

// True for code points with the Unicode White_Space property.
bool is_white_space(char32_t cp) noexcept;

// True when `bytes` is well-formed UTF-8 (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence).
bool is_valid_utf8(std::string_view bytes) noexcept;

// `s` (valid UTF-8) without leading and trailing White_Space characters.
std::string_view trim(std::string_view s) noexcept;

// Position of the first White_Space character of `s` (valid UTF-8) and its
// length in bytes; pos == npos when there is none.
struct WhiteSpaceHit {
    std::size_t pos;
    std::size_t length;
};
WhiteSpaceHit find_white_space(std::string_view s) noexcept;

// `s` in quoted form: double quotes around it, with \\ \" \t \r \n \0
// escapes, \u{hex} for non-printable and Grapheme_Extend characters, every
// other character as it is. `s` must be valid UTF-8.
std::string quoted(std::string_view s);

// Appends the quoted form of `s` to `out`, growing `out` once, to its final
// size.
void append_quoted(std::string& out, std::string_view s);

// The length in bytes of the quoted form of `s`.
std::size_t quoted_length(std::string_view s);

// A part of message() written in quoted form.
struct Quoted {
    std::string_view text;
};

namespace detail {
inline std::size_t part_length(std::string_view s) { return s.size(); }
inline std::size_t part_length(Quoted q) { return quoted_length(q.text); }
inline void append_part(std::string& out, std::string_view s) { out.append(s); }
inline void append_part(std::string& out, Quoted q) { append_quoted(out, q.text); }
}  // namespace detail

// A message made of plain texts and Quoted parts, written once into memory
// of its final size: a message that quotes a huge header line costs its own
// size, not several growing copies of it.
template <class... Parts>
std::string message(const Parts&... parts) {
    std::string out;
    out.reserve((detail::part_length(parts) + ...));
    (detail::append_part(out, parts), ...);
    return out;
}

// True when the quoted form writes `cp` as \u{hex}: general categories Cc,
// Cf, Cs, Co, Cn, Zl, Zp, Zs other than U+0020, and Grapheme_Extend. The
// short escapes (\t, \0, ...) take precedence over this for their characters.
bool is_escaped_in_quoted_form(char32_t cp) noexcept;

// ASCII-only lower-casing.
std::string ascii_lower(std::string_view s);

}  // namespace sonavert::text
