#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sphere/fields.hpp"
#include "sphere/header.hpp"
#include "sphere_test_support.hpp"

namespace sonavert::sphere {
namespace {

using testing::parse_error;
using testing::sphere_file;

using Entries = std::vector<std::pair<std::string, std::string>>;

HeaderFields fields_of(const Entries& entries) {
    HeaderFields fields;
    for (const auto& [name, value] : entries) fields.set(name, value);
    return fields;
}

template <class T>
std::string error_of(const Result<T>& r) {
    if (r) return "(ok)";
    EXPECT_EQ(r.error().kind, ErrorKind::Invalid);
    return r.error().message;
}
std::string error_of(const Status& s) {
    if (s) return "(ok)";
    EXPECT_EQ(s.error().kind, ErrorKind::Invalid);
    return s.error().message;
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(SphereFields, SetReplacesAndFindIsExact) {
    HeaderFields f;
    EXPECT_EQ(f.find("x"), nullptr);
    f.set("x", "1");
    f.set("x", "2");
    f.set("X", "3");
    EXPECT_EQ(f.size(), 2u);
    EXPECT_EQ(*f.find("x"), "2");
    EXPECT_EQ(*f.find("X"), "3");
    EXPECT_EQ(f.find("x "), nullptr);
    EXPECT_EQ(f.find(""), nullptr);
    f.set("", "");  // nothing in the map forbids an empty name
    EXPECT_EQ(*f.find(""), "");
}

TEST(SphereFields, RequireInt) {
    struct Row {
        const char* what;
        Entries entries;
        std::string name;
        std::optional<std::int64_t> value;
        std::string message;  // when value is empty
    };
    const Row rows[] = {
        {"plain", {{"n", "16000"}}, "n", 16000, ""},
        {"plus sign", {{"n", "+16000"}}, "n", 16000, ""},
        {"leading zero", {{"n", "016000"}}, "n", 16000, ""},
        {"negative", {{"n", "-5"}}, "n", -5, ""},
        {"minimum", {{"n", "-9223372036854775808"}}, "n", std::numeric_limits<std::int64_t>::min(), ""},
        {"maximum", {{"n", "9223372036854775807"}}, "n", kMax, ""},
        {"empty map", {}, "sample_rate", std::nullopt,
         "SPHERE header missing required field: sample_rate"},
        {"absent, name inserted plainly", {{"n", "1"}}, "my \"field\"", std::nullopt,
         "SPHERE header missing required field: my \"field\""},
        {"one above the maximum", {{"n", "9223372036854775808"}}, "n", std::nullopt, R"(field "n" is not an integer)"},
        {"one below the minimum", {{"n", "-9223372036854775809"}}, "n", std::nullopt, R"(field "n" is not an integer)"},
        {"inner space", {{"sample_rate", "16 000"}}, "sample_rate", std::nullopt,
         R"(field "sample_rate" is not an integer)"},
        {"real text", {{"channel_count", "2.0"}}, "channel_count", std::nullopt,
         R"(field "channel_count" is not an integer)"},
        {"empty text", {{"n", ""}}, "n", std::nullopt, R"(field "n" is not an integer)"},
        {"sign alone", {{"n", "-"}}, "n", std::nullopt, R"(field "n" is not an integer)"},
        {"untrimmed text", {{"n", " 5"}}, "n", std::nullopt, R"(field "n" is not an integer)"},
        {"name quoted", {{"a\tb\\", "x"}}, "a\tb\\", std::nullopt, R"(field "a\tb\\" is not an integer)"},
        {"non-ASCII name as it is", {{"größe", "x"}}, "größe", std::nullopt, "field \"größe\" is not an integer"},
    };
    for (const Row& r : rows) {
        const Result<std::int64_t> got = require_int(fields_of(r.entries), r.name);
        if (r.value) {
            ASSERT_TRUE(got) << r.what << ": " << got.error().message;
            EXPECT_EQ(*got, *r.value) << r.what;
        } else {
            EXPECT_EQ(error_of(got), r.message) << r.what;
        }
    }
}

TEST(SphereFields, TextReadings) {
    const HeaderFields none;
    EXPECT_EQ(byte_format(none), "1");
    EXPECT_EQ(field_text(none, "sample_coding", "pcm"), "pcm");

    const HeaderFields empty = fields_of({{"sample_byte_format", ""}, {"sample_coding", ""}});
    EXPECT_EQ(byte_format(empty), "");
    EXPECT_EQ(field_text(empty, "sample_coding", "pcm"), "");

    const HeaderFields set = fields_of({{"sample_byte_format", "01"}, {"sample_coding", "ulaw"}});
    EXPECT_EQ(byte_format(set), "01");
    EXPECT_EQ(field_text(set, "sample_coding", "pcm"), "ulaw");
    EXPECT_EQ(field_text(set, "Sample_Coding", "pcm"), "pcm");
    // A view of the stored text, not a copy.
    EXPECT_EQ(field_text(set, "sample_coding", "pcm").data(), set.find("sample_coding")->data());
}

TEST(SphereFields, DeclaredPayloadSize) {
    struct Row {
        const char* what;
        std::string count, channels, bytes;
        std::optional<std::uint64_t> size;
        std::string message;
    };
    const std::string kOverflow = "declared payload size overflows";
    const Row rows[] = {
        {"ordinary", "16000", "2", "2", 64000u, ""},
        {"no samples", "0", "2", "2", 0u, ""},
        {"exactly the signed maximum", std::to_string(kMax), "1", "1", static_cast<std::uint64_t>(kMax), ""},
        {"product of factors equal to the maximum", "649657", "7", "2028184990993", static_cast<std::uint64_t>(kMax), ""},
        {"first product overflows", "4611686018427387904", "2", "1", std::nullopt, kOverflow},
        {"second product overflows", "2305843009213693952", "2", "2", std::nullopt, kOverflow},
        {"negative product", "-1", "1", "1", std::nullopt, kOverflow},
        {"sample_count read first", "x", "y", "z", std::nullopt, R"(field "sample_count" is not an integer)"},
        {"then channel_count", "1", "y", "z", std::nullopt, R"(field "channel_count" is not an integer)"},
        {"then sample_n_bytes", "1", "1", "z", std::nullopt, R"(field "sample_n_bytes" is not an integer)"},
    };
    for (const Row& r : rows) {
        const HeaderFields f = fields_of(
            {{"sample_count", r.count}, {"channel_count", r.channels}, {"sample_n_bytes", r.bytes}});
        const Result<std::uint64_t> got = declared_payload_size(f);
        if (r.size) {
            ASSERT_TRUE(got) << r.what << ": " << got.error().message;
            EXPECT_EQ(*got, *r.size) << r.what;
        } else {
            EXPECT_EQ(error_of(got), r.message) << r.what;
        }
    }
    EXPECT_EQ(error_of(declared_payload_size(fields_of({{"sample_count", "1"}, {"sample_n_bytes", "1"}}))),
              "SPHERE header missing required field: channel_count");
}

TEST(SphereFields, ValidateHeader) {
    const Entries valid = {
        {"sample_count", "0"}, {"sample_rate", "1"}, {"channel_count", "1"}, {"sample_n_bytes", "1"}};
    // `valid` with some entries replaced (value "-" removes the entry).
    const auto with = [&valid](const Entries& changes) {
        HeaderFields f;
        for (const auto& [name, value] : valid) {
            std::string v = value;
            for (const auto& [cname, cvalue] : changes) {
                if (cname == name) v = cvalue;
            }
            if (v != "-") f.set(name, v);
        }
        return f;
    };
    struct Row { const char* what; HeaderFields fields; std::string message; };
    const Row rows[] = {
        {"valid, no samples", with({}), "(ok)"},
        {"valid, signed maximum", with({{"sample_count", "9223372036854775807"}, {"sample_rate", "+016000"}}), "(ok)"},
        {"empty map", HeaderFields(), "SPHERE header missing required field: sample_count"},
        {"neither sample_count nor sample_rate", with({{"sample_count", "-"}, {"sample_rate", "-"}}),
         "SPHERE header missing required field: sample_count"},
        {"presence before values", with({{"sample_rate", "-"}, {"channel_count", "0"}}),
         "SPHERE header missing required field: sample_rate"},
        {"channel_count missing", with({{"channel_count", "-"}, {"sample_count", "x"}}),
         "SPHERE header missing required field: channel_count"},
        {"sample_n_bytes missing", with({{"sample_n_bytes", "-"}}),
         "SPHERE header missing required field: sample_n_bytes"},
        {"channel_count checked first", with({{"channel_count", "0"}, {"sample_rate", "0"}}),
         "channel_count must be >= 1, got 0"},
        {"channel_count negative", with({{"channel_count", "-3"}}), "channel_count must be >= 1, got -3"},
        {"sample_n_bytes", with({{"sample_n_bytes", "0"}, {"sample_count", "-1"}}),
         "sample_n_bytes must be >= 1, got 0"},
        {"sample_count", with({{"sample_count", "-1"}, {"sample_rate", "0"}}), "sample_count must be >= 0, got -1"},
        {"sample_rate", with({{"sample_rate", "0"}}), "sample_rate must be >= 1, got 0"},
        {"sample_rate minimum", with({{"sample_rate", "-9223372036854775808"}}),
         "sample_rate must be >= 1, got -9223372036854775808"},
        {"non-integer channel_count first", with({{"channel_count", "2.0"}, {"sample_n_bytes", "0"}}),
         R"(field "channel_count" is not an integer)"},
        {"range before a later non-integer", with({{"sample_count", "-1"}, {"sample_rate", "abc"}}),
         "sample_count must be >= 0, got -1"},
        {"non-integer sample_rate last", with({{"sample_rate", "8 kHz"}}), R"(field "sample_rate" is not an integer)"},
    };
    for (const Row& r : rows) EXPECT_EQ(error_of(validate_header(r.fields)), r.message) << r.what;
}

// The typed readings work from the stored text, whatever type its line
// declared, and only the last line of a name counts.
TEST(SphereFields, ThroughTheParser) {
    const std::string rest = "sample_count -i 10\nsample_rate -i 8000\nsample_n_bytes -i 2\n";
    const struct { const char* what; std::string lines; std::string message; } rows[] = {
        {"channel_count declared real", "channel_count -r 2.0\n", R"(field "channel_count" is not an integer)"},
        {"channel_count declared string", "channel_count -s 2\n", "(parsed)"},
        {"last occurrence validated", "channel_count -i 0\nchannel_count -i 2\n", "(parsed)"},
        {"last occurrence fails", "channel_count -i 2\nchannel_count -i 0\n", "channel_count must be >= 1, got 0"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(parse_error(sphere_file(rest + r.lines + "end_head\n")), r.message) << r.what;
    }
}

}  // namespace
}  // namespace sonavert::sphere
