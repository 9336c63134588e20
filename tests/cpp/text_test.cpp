#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/text.hpp"

namespace sonavert::text {
namespace {

// UTF-8 encoding of one code point, written independently of the library.
std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// ---- White_Space ------------------------------------------------------------

TEST(Text, WhiteSpaceIsExactlyTheDocumentedSet) {
    const auto documented = [](char32_t cp) {
        return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
               cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
               cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
    };
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        ASSERT_EQ(is_white_space(cp), documented(cp)) << std::hex << "U+" << std::uint32_t(cp);
    }
}

TEST(Text, Trim) {
    struct Row { std::string in, out; };
    const Row rows[] = {
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"  a b  ", "a b"},
        {"\r\nvalue\r\n", "value"},
        {utf8(0xA0) + "x" + utf8(0xA0), "x"},
        {utf8(0x3000) + utf8(0x2028) + "x" + utf8(0x2029) + utf8(0x85), "x"},
        {utf8(0x1680) + utf8(0x2000) + "x" + utf8(0x200A) + utf8(0x202F) + utf8(0x205F), "x"},
        // Multi-byte characters next to the trimmed ones stay whole.
        {"\xE6\x97\xA5" + utf8(0x3000), "\xE6\x97\xA5"},
        {utf8(0xA0) + "\xC3\xA9", "\xC3\xA9"},
        // Not White_Space: zero width space, Mongolian vowel separator, RLM, NUL.
        {utf8(0x200B) + "x" + utf8(0x200B), utf8(0x200B) + "x" + utf8(0x200B)},
        {utf8(0x180E) + "x", utf8(0x180E) + "x"},
        {"x" + utf8(0x200F), "x" + utf8(0x200F)},
        {std::string("\0x\0", 3), std::string("\0x\0", 3)},
    };
    for (const Row& r : rows) EXPECT_EQ(trim(r.in), r.out) << text::quoted(r.in);
}

TEST(Text, FindWhiteSpace) {
    struct Row { std::string in; std::size_t pos, length; };
    const auto none = std::string_view::npos;
    const Row rows[] = {
        {"", none, 0},
        {"abc", none, 0},
        {"a b", 1, 1},
        {"a\tb c", 1, 1},
        {"ab" + utf8(0xA0) + "c", 2, 2},
        {"\xE6\x97\xA5" + utf8(0x3000) + "x", 3, 3},
        {utf8(0x2028), 0, 3},
        {std::string("a") + utf8(0x200B) + "b" + utf8(0x85), 5, 2},  // GCC 12 warns falsely on "a" + ...
        {"\xC3\xA9" + utf8(0x1680), 2, 3},
    };
    for (const Row& r : rows) {
        const WhiteSpaceHit hit = find_white_space(r.in);
        EXPECT_EQ(hit.pos, r.pos) << text::quoted(r.in);
        if (r.pos != none) {
            EXPECT_EQ(hit.length, r.length) << text::quoted(r.in);
        }
    }
}

// Malformed input breaks the contract of trim/find_white_space/quoted but must
// never make them read outside the text.
TEST(Text, MalformedInputStaysInBounds) {
    struct Row { std::string in, trimmed, quoted_form; };
    const Row rows[] = {
        {" \xE3\x80", "\xE3\x80", "\" \xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\x80 ", "\x80", "\"\xEF\xBF\xBD \""},
        {"\xC2", "\xC2", "\"\xEF\xBF\xBD\""},
        {"\xE2\x80", "\xE2\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\x80\x80\x80\x80 ", "\x80\x80\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \""},
    };
    for (const Row& r : rows) {
        // Exact-size heap copies so that ASan sees any read past the end.
        std::vector<char> bytes(r.in.begin(), r.in.end());
        const std::string_view view(bytes.data(), bytes.size());
        EXPECT_EQ(trim(view), r.trimmed);
        EXPECT_EQ(text::quoted(view), r.quoted_form);
        (void)find_white_space(view);
    }
}

// ---- Quoted form --------------------------------------------------------------

TEST(Text, QuotedForm) {
    struct Row { std::string in, out; };
    const Row rows[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"it's", R"("it's")"},
        {"a\tb", R"("a\tb")"},
        {"a\rb\nc", R"("a\rb\nc")"},
        {std::string("a\0b", 3), R"("a\0b")"},
        {R"(back\slash)", R"("back\\slash")"},
        {R"(say "hi")", R"("say \"hi\"")"},
        {"\x01\x1F\x0B\x0C\x7F", R"("\u{1}\u{1f}\u{b}\u{c}\u{7f}")"},
        {utf8(0x85), R"("\u{85}")"},                            // Cc
        {"1" + utf8(0xA0) + "2", R"("1\u{a0}2")"},              // Zs no-break space
        {utf8(0x1680) + utf8(0x2000) + utf8(0x3000), R"("\u{1680}\u{2000}\u{3000}")"},  // Zs
        {utf8(0x2028) + utf8(0x2029), R"("\u{2028}\u{2029}")"},  // Zl, Zp
        {utf8(0x200F) + "5", R"("\u{200f}5")"},                 // Cf right-to-left mark
        {utf8(0xAD) + utf8(0x200B) + utf8(0xFEFF) + utf8(0xE0001),
         R"("\u{ad}\u{200b}\u{feff}\u{e0001}")"},                // Cf
        {utf8(0xE000) + utf8(0xF0000) + utf8(0x10FFFD), R"("\u{e000}\u{f0000}\u{10fffd}")"},  // Co
        {utf8(0x378) + utf8(0xFFFF) + utf8(0x10FFFF), R"("\u{378}\u{ffff}\u{10ffff}")"},      // Cn
        {utf8(0xD7A4) + utf8(0x323B0), R"("\u{d7a4}\u{323b0}")"},  // Cn just after ranges
        {"e" + utf8(0x301), "\"e\\u{301}\""},                   // Mn combining acute
        {utf8(0x300) + utf8(0x20E3), R"("\u{300}\u{20e3}")"},   // Mn, Me
        {utf8(0x200C) + utf8(0xFF9E) + utf8(0xE0100), R"("\u{200c}\u{ff9e}\u{e0100}")"},  // Grapheme_Extend outside Mn/Me
        // Printable characters stand as they are, non-ASCII ones included.
        {"gr\xC3\xB6\xC3\x9F" "e", "\"gr\xC3\xB6\xC3\x9F" "e\""},
        {utf8(0x4E00) + utf8(0x9FFF) + utf8(0xAC00) + utf8(0xD7A3), "\"" + utf8(0x4E00) + utf8(0x9FFF) + utf8(0xAC00) + utf8(0xD7A3) + "\""},
        {utf8(0x20000) + utf8(0x323AF) + utf8(0x1F600), "\"" + utf8(0x20000) + utf8(0x323AF) + utf8(0x1F600) + "\""},
        {utf8(0xFFFD) + utf8(0x3001), "\"" + utf8(0xFFFD) + utf8(0x3001) + "\""},
    };
    for (const Row& r : rows) EXPECT_EQ(text::quoted(r.in), r.out);
}

// Checks the generated table against the Unicode Character Database itself
// for every code point, when the database is installed.
class UcdFiles {
public:
    static constexpr const char* kDir = "/usr/share/unicode/";

    static bool read(const std::string& name, std::string& out) {
        std::ifstream f(kDir + name);
        if (!f) return false;
        std::ostringstream s;
        s << f.rdbuf();
        out = s.str();
        return true;
    }
};

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

TEST(Text, EscapedCharactersMatchTheCharacterDatabase) {
    std::string unicode_data, derived, readme;
    if (!UcdFiles::read("UnicodeData.txt", unicode_data) ||
        !UcdFiles::read("DerivedCoreProperties.txt", derived) ||
        !UcdFiles::read("ReadMe.txt", readme)) {
        GTEST_SKIP() << "Unicode Character Database not installed";
    }
    EXPECT_NE(readme.find("for Version " + std::string(unicode_version()) + " of the Unicode"),
              std::string::npos)
        << "tables from " << unicode_version() << " but the installed database differs";

    std::vector<bool> escaped(0x110000, true);  // unlisted: Cn
    char32_t range_first = 0;
    for (const std::string& line : split(unicode_data, '\n')) {
        const std::vector<std::string> f = split(line, ';');
        if (f.size() < 3) continue;
        const auto cp = static_cast<char32_t>(std::stoul(f[0], nullptr, 16));
        const std::string& cat = f[2];
        const bool esc = cat == "Cc" || cat == "Cf" || cat == "Cs" || cat == "Co" ||
                         cat == "Zl" || cat == "Zp" || (cat == "Zs" && cp != 0x20);
        if (f[1].find(", First>") != std::string::npos) {
            range_first = cp;
            continue;
        }
        const char32_t first = f[1].find(", Last>") != std::string::npos ? range_first : cp;
        for (char32_t c = first; c <= cp; ++c) escaped[c] = esc;
    }
    for (const std::string& line : split(derived, '\n')) {
        const std::string data = line.substr(0, line.find('#'));
        if (data.find("; Grapheme_Extend ") == std::string::npos) continue;
        const auto first = static_cast<char32_t>(std::stoul(data, nullptr, 16));
        const std::size_t dots = data.find("..");
        const char32_t last = dots == std::string::npos
                                  ? first
                                  : static_cast<char32_t>(std::stoul(data.substr(dots + 2), nullptr, 16));
        for (char32_t c = first; c <= last; ++c) escaped[c] = true;
    }
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        ASSERT_EQ(is_escaped_in_quoted_form(cp), escaped[cp]) << std::hex << "U+" << std::uint32_t(cp);
    }
}

// ---- UTF-8 validation -----------------------------------------------------------

// Definition-level check: decode by the bit patterns, then reject overlong
// forms, surrogates and values above U+10FFFF.
bool reference_valid_utf8(const std::vector<unsigned char>& b) {
    std::size_t i = 0;
    while (i < b.size()) {
        const unsigned lead = b[i];
        std::size_t n;
        char32_t cp;
        if (lead < 0x80) { n = 1; cp = lead; }
        else if ((lead & 0xE0) == 0xC0) { n = 2; cp = lead & 0x1F; }
        else if ((lead & 0xF0) == 0xE0) { n = 3; cp = lead & 0x0F; }
        else if ((lead & 0xF8) == 0xF0) { n = 4; cp = lead & 0x07; }
        else return false;
        if (i + n > b.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b[i + k] & 0x3F);
        }
        const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

bool valid(const std::vector<unsigned char>& b) {
    // An exact-size copy so that ASan catches reads past the end.
    std::vector<char> copy(b.begin(), b.end());
    return is_valid_utf8(std::string_view(copy.data(), copy.size()));
}

TEST(Text, Utf8AgreesWithTheDefinitionOnAllShortSequences) {
    std::vector<unsigned char> b;
    for (unsigned x = 0; x < 256; ++x) {
        b = {static_cast<unsigned char>(x)};
        ASSERT_EQ(valid(b), reference_valid_utf8(b)) << x;
        for (unsigned y = 0; y < 256; ++y) {
            b = {static_cast<unsigned char>(x), static_cast<unsigned char>(y)};
            ASSERT_EQ(valid(b), reference_valid_utf8(b)) << x << ' ' << y;
            if (x < 0xE0 || x > 0xF7) continue;  // three-byte leads and four-byte leads
            for (unsigned z = 0; z < 256; ++z) {
                b = {static_cast<unsigned char>(x), static_cast<unsigned char>(y),
                     static_cast<unsigned char>(z)};
                ASSERT_EQ(valid(b), reference_valid_utf8(b)) << x << ' ' << y << ' ' << z;
            }
        }
    }
    const unsigned char tails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0, 0xFF};
    for (unsigned x = 0xE0; x < 256; ++x) {
        for (unsigned y = 0; y < 256; ++y) {
            for (unsigned char z : tails) {
                for (unsigned char w : tails) {
                    b = {static_cast<unsigned char>(x), static_cast<unsigned char>(y), z, w};
                    ASSERT_EQ(valid(b), reference_valid_utf8(b)) << x << ' ' << y << ' ' << int(z) << ' ' << int(w);
                }
            }
        }
    }
}

TEST(Text, Utf8NamedCases) {
    struct Row { const char* name; std::vector<unsigned char> bytes; bool ok; };
    const Row rows[] = {
        {"empty", {}, true},
        {"euro sign", {0xE2, 0x82, 0xAC}, true},
        {"largest code point", {0xF4, 0x8F, 0xBF, 0xBF}, true},
        {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, false},
        {"lead F5", {0xF5, 0x80, 0x80, 0x80}, false},
        {"overlong NUL", {0xC0, 0x80}, false},
        {"overlong 3-byte", {0xE0, 0x80, 0x80}, false},
        {"overlong 4-byte", {0xF0, 0x80, 0x80, 0x80}, false},
        {"high surrogate", {0xED, 0xA0, 0x80}, false},
        {"low surrogate", {0xED, 0xBF, 0xBF}, false},
        {"last before surrogates", {0xED, 0x9F, 0xBF}, true},
        {"lone continuation", {0x80}, false},
        {"truncated", {0xE2, 0x82}, false},
        {"FF", {0xFF}, false},
    };
    for (const Row& r : rows) EXPECT_EQ(valid(r.bytes), r.ok) << r.name;
}

// The eight-byte ASCII fast path must not skip a bad byte, nor a sequence
// that straddles a word boundary, wherever it stands.
TEST(Text, Utf8FastPathFindsBadBytesAtEveryOffset) {
    for (std::size_t length = 1; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            std::vector<unsigned char> b(length, 'a');
            b[at] = 0xFF;
            EXPECT_FALSE(valid(b)) << length << ' ' << at;
            b[at] = 0xC3;  // a cut-off sequence unless a continuation follows
            EXPECT_FALSE(valid(b)) << length << ' ' << at;
            if (at + 1 < length) {
                b[at + 1] = 0xA9;
                EXPECT_TRUE(valid(b)) << length << ' ' << at;
            }
        }
    }
}

TEST(Text, AsciiLower) {
    EXPECT_EQ(ascii_lower("NaN-Inf_Z09"), "nan-inf_z09");
    // Bytes of non-ASCII characters are left alone (U+00C9 would break if its
    // bytes were shifted like letters).
    EXPECT_EQ(ascii_lower("\xC3\x89X"), "\xC3\x89x");
}

}  // namespace
}  // namespace sonavert::text
