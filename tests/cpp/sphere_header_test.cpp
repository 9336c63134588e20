#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "sphere/fields.hpp"
#include "sphere/header.hpp"
#include "sphere_test_support.hpp"

namespace sonavert::sphere {
namespace {

using namespace std::string_literals;
using testing::kRequired;
using testing::parse_error;
using testing::resized;
using testing::sphere_file;
using testing::sphere_with;
using testing::view_of;

const std::string kMagicMessage = "not a NIST SPHERE file (missing 'NIST_1A' magic)";
const std::string kNoTerminator = "SPHERE header missing 'end_head' terminator";
const std::string kNotUtf8 = "SPHERE header is not valid ASCII";

struct FailureRow {
    const char* what;
    std::string file;
    std::string message;
};

void expect_failures(const std::vector<FailureRow>& rows) {
    for (const FailureRow& r : rows) {
        // An exact-size heap copy so that ASan sees any read past the input.
        const std::vector<char> copy(r.file.begin(), r.file.end());
        const std::string file(copy.begin(), copy.end());
        EXPECT_EQ(parse_error(file), r.message) << r.what;
    }
}

// "NIST_1A\n" + size line + "\n" + rest, for size lines of any form.
std::string raw(std::string_view size_line, std::string_view rest = "") {
    return "NIST_1A\n"s + std::string(size_line) + "\n" + std::string(rest);
}

// "NIST_1A" + rest + "\n" + size line + "\n" + body, the size line holding the
// length of the whole result.
std::string with_magic_line_rest(std::string_view rest, std::string_view body) {
    const std::size_t fixed = 7 + rest.size() + 1 + 1 + body.size();
    std::size_t size = fixed + 1;
    while (std::to_string(size).size() + fixed != size) ++size;
    return "NIST_1A" + std::string(rest) + "\n" + std::to_string(size) + "\n" + std::string(body);
}

TEST(SphereHeader, MagicAndSizeLineFailures) {
    expect_failures({
        {"empty input", "", kMagicMessage},
        {"six bytes", "NIST_1", kMagicMessage},
        {"lower-case magic", "nist_1a\n   1024\n", kMagicMessage},
        {"magic not at the start", " NIST_1A\n", kMagicMessage},
        {"exactly the magic", "NIST_1A", "truncated SPHERE header"},
        {"no line feed at all", "NIST_1A 1024 end_head\r", "truncated SPHERE header"},
        {"no second line feed", "NIST_1A\n1024", "truncated SPHERE header (no size line)"},
        {"carriage returns are no line ends", "NIST_1A\r\n1024\r", "truncated SPHERE header (no size line)"},
        {"byte FF in the size line", raw("10\xFF"), "invalid header size line"},
        {"cut-off sequence in the size line", raw(" 10\xC3"), "invalid header size line"},
        {"UTF-8 checked before the syntax", raw("-\xFF"), "invalid header size line"},
        {"negative", raw("-1024"), R"(invalid header size line: "-1024")"},
        {"empty", raw(""), R"(invalid header size line: "")"},
        {"whitespace only", raw(" \t\r"), R"(invalid header size line: "")"},
        {"word after the number", raw(" 1024 bytes\r"), R"(invalid header size line: "1024 bytes")"},
        {"sign alone", raw("+"), R"(invalid header size line: "+")"},
        {"two signs", raw("++1"), R"(invalid header size line: "++1")"},
        {"hexadecimal", raw("0x400"), R"(invalid header size line: "0x400")"},
        {"exponent", raw("1e3"), R"(invalid header size line: "1e3")"},
        {"2^64", raw("18446744073709551616"), R"(invalid header size line: "18446744073709551616")"},
        {"far above 2^64", raw("000099999999999999999999"), R"(invalid header size line: "000099999999999999999999")"},
        {"inner tab", raw("1\t024"), R"(invalid header size line: "1\t024")"},
        {"inner carriage return", raw("1\r024"), R"(invalid header size line: "1\r024")"},
        {"NUL", raw("1024\0"s), R"(invalid header size line: "1024\0")"},
        {"backslash and double quote", raw(R"(1\"2)"), R"(invalid header size line: "1\\\"2")"},
        {"inner no-break space", raw("1\u00A0" "024"), R"(invalid header size line: "1\u{a0}024")"},
        {"right-to-left mark", raw("\u200F" "1024"), R"(invalid header size line: "\u{200f}1024")"},
        {"combining mark", raw("1024\u0301"), R"(invalid header size line: "1024\u{301}")"},
        {"fullwidth digits stand as they are", raw("\uFF11\uFF10"), "invalid header size line: \"\uFF11\uFF10\""},
        {"non-ASCII letter stands as it is", raw("1024é"), "invalid header size line: \"1024é\""},
        {"zero", raw("0"), "non-positive header size"},
        {"zeros with sign and spaces", raw(" +000 \r"), "non-positive header size"},
        {"largest number", raw("18446744073709551615"),
         "header claims 18446744073709551615 bytes but only 29 available"},
        {"one byte more than the input", raw("12"), "header claims 12 bytes but only 11 available"},
        {"claim checked before the header's UTF-8", "NIST_1A\xFF\n100\n", "header claims 100 bytes but only 13 available"},
    });
}

TEST(SphereHeader, HeaderBlockUtf8Failures) {
    const std::string good = sphere_with("");
    expect_failures({
        {"byte FF in a value", sphere_with("x -s a\xFF\n"), kNotUtf8},
        {"byte FF in the magic line", with_magic_line_rest("\xFF", std::string(kRequired) + "end_head\n"), kNotUtf8},
        {"magic line beyond the block not checked",
         "NIST_1A\xFF\n5\n" + std::string(kRequired) + "end_head\n", kNoTerminator},
        {"byte FF in the padding", sphere_file(std::string(kRequired) + "end_head\n\xFF"), kNotUtf8},
        {"overlong form", sphere_with("x -s \xC0\xAF\n"), kNotUtf8},
        {"encoded surrogate", sphere_with("x -s \xED\xA0\x80\n"), kNotUtf8},
        {"above U+10FFFF", sphere_with("x -s \xF4\x90\x80\x80\n"), kNotUtf8},
        {"header ends inside a character",
         resized(sphere_file(std::string(kRequired) + "end_head\né"), good.size() + 1), kNotUtf8},
    });
}

TEST(SphereHeader, FieldLineFailures) {
    expect_failures({
        {"name alone", sphere_with("sample_rate\n"), R"(malformed SPHERE header line: "sample_rate")"},
        {"terminator in capitals", sphere_with("END_HEAD\n"), R"(malformed SPHERE header line: "END_HEAD")"},
        {"terminator with a suffix", sphere_with("end_headx\n"), R"(malformed SPHERE header line: "end_headx")"},
        {"comment without whitespace", sphere_with(";comment\n"), R"(malformed SPHERE header line: ";comment")"},
        {"line trimmed before quoting", sphere_with("\t alone \r\n"), R"(malformed SPHERE header line: "alone")"},
        {"NUL is no whitespace", sphere_with("a\0b\n"s), R"(malformed SPHERE header line: "a\0b")"},
        {"zero width space is no whitespace", sphere_with("a\u200Bb\n"), R"(malformed SPHERE header line: "a\u{200b}b")"},
        {"backslash and double quote", sphere_with("a\\b\"c\n"), R"(malformed SPHERE header line: "a\\b\"c")"},
        {"right-to-left mark", sphere_with("\u200Fname\n"), R"(malformed SPHERE header line: "\u{200f}name")"},
        // The block ends after "end_he": that piece is a field line without
        // whitespace, so the line message wins over the missing terminator.
        {"block ends inside the terminator", sphere_file(std::string(kRequired) + "end_he"),
         R"(malformed SPHERE header line: "end_he")"},

        {"type token without hyphen", sphere_with("sample_rate i 8000\n"), R"(unknown field type in line: "sample_rate i 8000")"},
        {"hyphen alone", sphere_with("x - 1\n"), R"(unknown field type in line: "x - 1")"},
        {"hyphen alone ends the line", sphere_with("x -\n"), R"(unknown field type in line: "x -")"},
        {"one non-ASCII character", sphere_with("x é 1\n"), "unknown field type in line: \"x é 1\""},
        {"en dash is no hyphen-minus", sphere_with("x \u2013i 1\n"), "unknown field type in line: \"x \u2013i 1\""},
        {"tab separators quoted", sphere_with("x\ti\t1\n"), R"(unknown field type in line: "x\ti\t1")"},
        {"no-break space separators quoted", sphere_with("x\u00A0-\u00A0" "1\n"), R"(unknown field type in line: "x\u{a0}-\u{a0}1")"},
        {"comment with whitespace is a field line", sphere_with("; a comment\n"), R"(unknown field type in line: "; a comment")"},

        {"type x", sphere_with("x -x 1\n"), R"(unknown field type "-x" in line: "x -x 1")"},
        {"upper-case I", sphere_with("sample_rate -I 8000\n"), R"(unknown field type "-I" in line: "sample_rate -I 8000")"},
        {"upper-case S", sphere_with("x -S abc\n"), R"(unknown field type "-S" in line: "x -S abc")"},
        {"two hyphens", sphere_with("x --i 1\n"), R"(unknown field type "--i" in line: "x --i 1")"},
        {"non-ASCII type letter", sphere_with("x -é 1\n"), "unknown field type \"-é\" in line: \"x -é 1\""},
        {"combining type letter", sphere_with("x -\u0301 1\n"), R"(unknown field type "-\u{301}" in line: "x -\u{301} 1")"},

        {"integer 1.0", sphere_with("sample_rate -i 1.0\n"), R"(field "sample_rate" declared integer but value is "1.0")"},
        {"integer empty", sphere_with("x -i\n"), R"(field "x" declared integer but value is "")"},
        {"integer empty, whitespace after", sphere_with("x -i \t \r\n"), R"(field "x" declared integer but value is "")"},
        {"integer with more words", sphere_with("x -i 16 000\n"), R"(field "x" declared integer but value is "16 000")"},
        {"integer with inner tab", sphere_with("x -i 16\t000\n"), R"(field "x" declared integer but value is "16\t000")"},
        {"integer with inner no-break space", sphere_with("x -i 1\u00A0" "2\n"), R"(field "x" declared integer but value is "1\u{a0}2")"},
        {"integer after right-to-left mark", sphere_with("x -i \u200F" "5\n"), R"(field "x" declared integer but value is "\u{200f}5")"},
        {"integer with combining mark", sphere_with("x -i 5\u0301\n"), R"(field "x" declared integer but value is "5\u{301}")"},
        {"integer with NUL", sphere_with("x -i 5\0\n"s), R"(field "x" declared integer but value is "5\0")"},
        {"non-ASCII name", sphere_with("größe -i abc\n"), "field \"größe\" declared integer but value is \"abc\""},
        {"name with quote and backslash", sphere_with("a\"b\\c -i z\n"), R"(field "a\"b\\c" declared integer but value is "z")"},
        {"integer type suffix ignored", sphere_with("x -i4 1.5\n"), R"(field "x" declared integer but value is "1.5")"},
        {"real empty", sphere_with("x -r\n"), R"(field "x" declared real but value is "")"},
        {"real with more words", sphere_with("x -real 1 2\n"), R"(field "x" declared real but value is "1 2")"},
        {"real with comma", sphere_with("pi -r 3,14\n"), R"(field "pi" declared real but value is "3,14")"},

        {"no terminator", sphere_file(kRequired), kNoTerminator},
        {"empty body", sphere_file(""), kNoTerminator},
        {"third piece empty", raw("11"), kNoTerminator},
        {"block ends inside the magic line", resized(sphere_with(""), 5), kNoTerminator},
        {"block ends inside the size line", resized(sphere_with(""), 12), kNoTerminator},
        {"block ends just before the terminator",
         resized(sphere_with(""), 19 + kRequired.size()), kNoTerminator},

        {"validation ends the parse", sphere_file("sample_rate -i 8000\nend_head\n"),
         "SPHERE header missing required field: sample_count"},
    });
}

// Which error wins when an input has several faults.
TEST(SphereHeader, FailureOrder) {
    expect_failures({
        {"header UTF-8 before any field line",
         sphere_file(std::string(kRequired) + "oops\nend_head\n\xFF"), kNotUtf8},
        {"malformed line, then bad type", sphere_with("oops\nx y z\n"), R"(malformed SPHERE header line: "oops")"},
        {"bad type, then malformed line", sphere_with("x y z\noops\n"), R"(unknown field type in line: "x y z")"},
        {"integer mismatch, then unknown type", sphere_with("a -i b\nc -q d\n"),
         R"(field "a" declared integer but value is "b")"},
        {"field line before missing terminator", sphere_file(std::string(kRequired) + "oops\n"),
         R"(malformed SPHERE header line: "oops")"},
        {"field line before validation", sphere_file("oops\nend_head\n"), R"(malformed SPHERE header line: "oops")"},
        {"terminator before validation", sphere_file("sample_rate -i 1\n"), kNoTerminator},
    });
}

struct FieldRow {
    const char* what;
    std::string lines;  // after the required fields
    std::string name;
    std::string value;
};

TEST(SphereHeader, FieldLinesStoredAsText) {
    const FieldRow rows[] = {
        {"tabs and spaces", "x\t  -s \t hello  world \t\n", "x", "hello  world"},
        {"Unicode whitespace separators", "x\u00A0-s\u3000v\u2028\n", "x", "v"},
        {"empty string value", "x -s\n", "x", ""},
        {"empty string value, whitespace after", "x -s   \r\n", "x", ""},
        {"string length not compared", "x -s12 abc\n", "x", "abc"},
        {"anything after the type letter", "x -sXY abc\n", "x", "abc"},
        {"integer with suffix", "x -i4 -7\n", "x", "-7"},
        {"real beyond double range", "x -real 1e400\n", "x", "1e400"},
        {"CR LF line end", "x -i 5\r\n", "x", "5"},
        {"later line wins", "x -i 5\nx -s hello\n", "x", "hello"},
        {"later line wins, real", "x -s a\nx -r 2.5\n", "x", "2.5"},
        {"comment-like field", ";note -s some text\n", ";note", "some text"},
        {"terminator word as a name", "end_head -s x\n", "end_head", "x"},
        {"names are case-sensitive", "Sample_Rate -i 5\n", "Sample_Rate", "5"},
        {"non-ASCII stored as written", "名前 -s 値 größe\n", "名前", "値 größe"},
        {"inner whitespace kept", "x -s a\u00A0\u00A0" "b\n", "x", "a\u00A0\u00A0" "b"},
        {"control characters kept", "x -s a\x01" "b\n", "x", "a\x01" "b"},
        {"right-to-left mark is no whitespace", "x -s \u200Fv\n", "x", "\u200Fv"},
        {"empty lines anywhere", "\n   \n\t\r\nx -s v\n\n", "x", "v"},
        {"required field overridden", "sample_rate -s 16000\n", "sample_rate", "16000"},
    };
    for (const FieldRow& r : rows) {
        const std::string file = sphere_with(r.lines);
        const Result<SphereHeader> h = parse_header(view_of(file));
        ASSERT_TRUE(h) << r.what << ": " << h.error().message;
        const std::string* value = h->fields.find(r.name);
        ASSERT_NE(value, nullptr) << r.what;
        EXPECT_EQ(*value, r.value) << r.what;
    }
}

TEST(SphereHeader, CaseSensitiveNamesAreDistinct) {
    const std::string file = sphere_with("Sample_Rate -i 5\n");
    const Result<SphereHeader> h = parse_header(view_of(file));
    ASSERT_TRUE(h);
    EXPECT_EQ(*h->fields.find("sample_rate"), "8000");
    EXPECT_EQ(*h->fields.find("Sample_Rate"), "5");
    EXPECT_EQ(h->fields.size(), 5u);
}

TEST(SphereHeader, ValueSyntaxByType) {
    struct Row { const char* type; std::string value; bool ok; };
    const Row rows[] = {
        {"-i", "0", true}, {"-i", "+7", true}, {"-i", "007", true}, {"-i", "-0", true},
        {"-i", "-9223372036854775808", true}, {"-i", "9223372036854775807", true},
        {"-i", "00000000000000000000009223372036854775807", true},
        {"-i", "9223372036854775808", false}, {"-i", "-9223372036854775809", false},
        {"-i", "99999999999999999999", false}, {"-i", "1.0", false}, {"-i", "0x10", false},
        {"-i", "+", false}, {"-i", "-", false}, {"-i", "+-1", false}, {"-i", "1e3", false},
        {"-i", "1_000", false}, {"-i", "1,000", false}, {"-i", "\u0661\u0662", false},

        {"-r", "1e400", true}, {"-r", "1e-400", true}, {"-r", "INF", true}, {"-r", "-Infinity", true},
        {"-r", "nan", true}, {"-r", "+NaN", true}, {"-r", "iNfInItY", true}, {"-r", "1e-5", true},
        {"-r", "1.", true}, {"-r", ".5", true}, {"-r", "-.5E+3", true}, {"-r", "1.e5", true},
        {"-r", "42", true}, {"-r", "007.700", true},
        {"-r", ".", false}, {"-r", "1e", false}, {"-r", "1e+", false}, {"-r", "0x10", false},
        {"-r", "e5", false}, {"-r", ".e5", false}, {"-r", "1.2.3", false}, {"-r", "+-1", false},
        {"-r", "inf5", false}, {"-r", "infinit", false}, {"-r", "nana", false}, {"-r", "in", false},
        {"-r", "1.5f", false}, {"-r", "1e5.0", false}, {"-r", "1d5", false}, {"-r", "+", false},

        {"-s", "", true}, {"-s", "anything at all", true},
    };
    for (const Row& r : rows) {
        const std::string file = sphere_with("x "s + r.type + " " + r.value + "\n");
        const std::string expected =
            !r.ok ? "field \"x\" declared "s + (r.type[1] == 'i' ? "integer" : "real") +
                        " but value is " + text::quoted(r.value)
                  : "(parsed)";
        EXPECT_EQ(parse_error(file), expected) << r.type << ' ' << r.value;
    }
}

TEST(SphereHeader, MagicLineRestIsNotExamined) {
    for (const std::string_view rest : {"", "   ", "\r", " any text \t here", "\xC3\xA9"}) {
        const std::string file = with_magic_line_rest(rest, std::string(kRequired) + "end_head\n");
        EXPECT_EQ(parse_error(file), "(parsed)") << text::quoted(rest);
    }
}

TEST(SphereHeader, SizeLineForms) {
    std::string body = std::string(kRequired) + "end_head\n";
    for (const char* line : {"1024", "   1024", " 1024  \r", "+1024", "0001024", "\t+0001024\u3000\r"}) {
        std::string file = raw(line, body);
        file.resize(1024, ' ');
        file += "payload";
        const Result<SphereHeader> h = parse_header(view_of(file));
        ASSERT_TRUE(h) << text::quoted(line) << ": " << h.error().message;
        EXPECT_EQ(h->header_size, 1024u);
        EXPECT_EQ(h->payload.size(), 7u);
    }
}

TEST(SphereHeader, PayloadIsAViewOfTheInput) {
    // Bytes after the header block are never examined.
    const std::string payload = "\xFF\xFE\x00\x80 not UTF-8"s;
    const std::string file = sphere_with("", payload);
    const Result<SphereHeader> h = parse_header(view_of(file));
    ASSERT_TRUE(h) << h.error().message;
    EXPECT_EQ(h->header_size, file.size() - payload.size());
    EXPECT_EQ(reinterpret_cast<const char*>(h->payload.data()), file.data() + h->header_size);
    EXPECT_EQ(h->payload.size(), payload.size());
}

TEST(SphereHeader, HeaderSizeEdges) {
    {   // a size equal to the input length leaves an empty payload
        const std::string file = sphere_with("");
        const Result<SphereHeader> h = parse_header(view_of(file));
        ASSERT_TRUE(h) << h.error().message;
        EXPECT_EQ(h->header_size, file.size());
        EXPECT_TRUE(h->payload.empty());
    }
    {   // the block may end right after "end_head" without a line feed
        const std::string file = resized(sphere_with("", "garbage"), 19 + kRequired.size() + 8);
        const Result<SphereHeader> h = parse_header(view_of(file));
        ASSERT_TRUE(h) << h.error().message;
        EXPECT_EQ(h->payload.size(), 1u + 7u);
    }
    {   // lines after the terminator are padding and never read
        const std::string file =
            sphere_file(std::string(kRequired) + "  end_head \r\noops\nx -q 1\n\n");
        EXPECT_EQ(parse_error(file), "(parsed)");
    }
}

// Millions of lines, a huge line and a huge run of whitespace: each must
// parse in one pass (this finishes in well under a second when the parser is
// linear; a quadratic step would not finish at all).
TEST(SphereHeader, HostileHeadersParseInLinearTime) {
    constexpr int kDistinct = 500'000;
    constexpr int kRepeated = 1'000'000;
    std::string lines;
    lines.reserve(40u * (kDistinct + kRepeated));
    for (int i = 0; i < kDistinct; ++i) {
        const std::string n = std::to_string(i);
        lines.append("f").append(n).append(" -i ").append(n).append("\n");
    }
    for (int i = 0; i < kRepeated; ++i) lines.append("same -r 1.5e").append(std::to_string(i % 300)).append("\n");
    lines += "long -s " + std::string(8'000'000, 'v') + "\n";
    lines += std::string(8'000'000, ' ') + "\n";
    lines += "spaced" + std::string(4'000'000, '\t') + "-s" + std::string(4'000'000, ' ') + "v\n";
    const std::string file = sphere_with(lines);
    const Result<SphereHeader> h = parse_header(view_of(file));
    ASSERT_TRUE(h) << h.error().message;
    EXPECT_EQ(h->fields.size(), 4u + kDistinct + 3u);
    EXPECT_EQ(*h->fields.find("f499999"), "499999");
    EXPECT_EQ(*h->fields.find("same"), "1.5e" + std::to_string((kRepeated - 1) % 300));
    EXPECT_EQ(h->fields.find("long")->size(), 8'000'000u);
    EXPECT_EQ(*h->fields.find("spaced"), "v");

    // A bad last line among millions is still found and reported.
    const std::string bad = sphere_with(lines + "last -i x\n");
    EXPECT_EQ(parse_error(bad), R"(field "last" declared integer but value is "x")");
}

// Random damage to a valid file never crashes, never reads outside the input
// (run under the sanitizers) and always ends in a success that satisfies the
// result's invariants or in one of the parser's messages.
TEST(SphereHeader, DamagedHeadersFailCleanly) {
    const std::string base = sphere_with("name -s some value\nrate -r 1.5e3\n", "PAYLOAD");
    const char bytes[] = {'\n', ' ', '\t', '\r', '\0', '-', 'i', 'r', 's', '0', '9', '+',
                          '\xFF', '\xC3', '\xA0', '\xE3', '\x80', '\xF4', 'e', '.'};
    const std::vector<std::string> prefixes = {
        "not a NIST SPHERE file", "truncated SPHERE header", "invalid header size line",
        "non-positive header size", "header claims ", "SPHERE header is not valid ASCII",
        "malformed SPHERE header line: \"", "unknown field type ", "field \"",
        "SPHERE header missing ", "channel_count must be", "sample_n_bytes must be",
        "sample_count must be", "sample_rate must be"};
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string file = base;
        for (int k = 1 + static_cast<int>(next() % 4); k > 0; --k) {
            file[next() % file.size()] = bytes[next() % sizeof bytes];
        }
        if (next() % 4 == 0) file.resize(next() % (file.size() + 1));
        const std::vector<char> copy(file.begin(), file.end());  // exact size for ASan
        const ByteView input(reinterpret_cast<const std::uint8_t*>(copy.data()), copy.size());
        const Result<SphereHeader> h = parse_header(input);
        if (h) {
            ++parsed;
            ASSERT_GE(h->header_size, 1u);
            ASSERT_LE(h->header_size, input.size());
            ASSERT_EQ(h->payload.data(), input.data() + h->header_size);
            ASSERT_EQ(h->payload.size(), input.size() - h->header_size);
            ASSERT_TRUE(validate_header(h->fields)) << text::quoted(file);
        } else {
            ASSERT_EQ(h.error().kind, ErrorKind::Invalid);
            const std::string& m = h.error().message;
            bool known = false;
            for (const std::string& p : prefixes) known = known || m.rfind(p, 0) == 0;
            ASSERT_TRUE(known) << m;
        }
    }
    EXPECT_GT(parsed, 0);  // some damage (padding, values) leaves the header valid
}

// Real files written by other tools, when the shared corpus is present.
TEST(SphereHeader, CorpusFilesParse) {
    const char* env = std::getenv("SONAVERT_CORPUS");
    const std::filesystem::path dir =
        std::filesystem::path(env ? env : SONAVERT_SOURCE_DIR "/../shared/corpus") / "tidigits";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << dir << " not present";
    struct Row { const char* file; const char* channels; const char* coding; const char* byte_format; };
    const Row rows[] = {
        {"123_1pcle_shn.sph", "1", "pcm,embedded-shorten-v2.00", "01"},
        {"123_1pcbe_shn.sph", "1", "pcm,embedded-shorten-v2.00", "10"},
        {"123_1ulaw_shn.sph", "1", "ulaw,embedded-shorten-v2.00", "1"},
        {"123_2pcle_shn.sph", "2", "pcm,embedded-shorten-v2.00", "01"},
        {"123_2pcbe_shn.sph", "2", "pcm,embedded-shorten-v2.00", "10"},
        {"123_2ulaw_shn.sph", "2", "ulaw,embedded-shorten-v2.00", "1"},
        {"123_2alaw.sph", "2", "alaw", "1"},
    };
    for (const Row& r : rows) {
        std::ifstream in(dir / r.file, std::ios::binary);
        ASSERT_TRUE(in) << r.file;
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const Result<SphereHeader> h = parse_header(view_of(file));
        ASSERT_TRUE(h) << r.file << ": " << h.error().message;
        EXPECT_EQ(h->header_size, 1024u) << r.file;
        EXPECT_EQ(h->payload.size(), file.size() - 1024) << r.file;
        EXPECT_EQ(field_text(h->fields, "channel_count", ""), r.channels) << r.file;
        EXPECT_EQ(field_text(h->fields, "sample_coding", "pcm"), r.coding) << r.file;
        EXPECT_EQ(byte_format(h->fields), r.byte_format) << r.file;
        EXPECT_EQ(require_int(h->fields, "sample_count").value(), 37120) << r.file;
        EXPECT_EQ(require_int(h->fields, "sample_rate").value(), 20000) << r.file;
    }
}

}  // namespace
}  // namespace sonavert::sphere
