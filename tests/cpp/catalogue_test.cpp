// The message catalogue: each helper's code, kind and exact text, the
// catalogue's own consistency, and result misuse.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "common/catalogue.hpp"
#include "oracles.hpp"
#include "shorten/errors.hpp"
#include "sphere/errors.hpp"
#include "codecs/errors.hpp"
#include "pipeline/errors.hpp"

namespace sonavert {
namespace {

TEST(Catalogue, HelpersFillInTheirValues) {
    struct Case {
        Error got;
        Code code;
        ErrorKind kind;
        std::string text;
    };
    const std::string lines(3, '\n');
    const Case cases[] = {
        {shorten::errors::invalid_blocksize(std::uint64_t{0}), Code::shorten_invalid_blocksize, ErrorKind::Invalid,
         "invalid shorten blocksize 0"},
        {shorten::errors::type8_domain(std::int64_t{-129}), Code::shorten_type8_domain, ErrorKind::Unsupported,
         "shorten type-8 reconstructed value -129 is outside the 8-bit mu-law domain"},
        {shorten::errors::qlpc_order_exceeds(std::uint64_t{5}, std::uint64_t{4}), Code::shorten_qlpc_order_exceeds,
         ErrorKind::Invalid, "shorten QLPC order 5 exceeds maxnlpc 4"},
        {shorten::errors::unsupported_version(std::uint8_t{255}), Code::shorten_unsupported_version,
         ErrorKind::Unsupported, "shorten version 255 not supported (only v2 is validated)"},
        {sphere::errors::header_size_exceeds_input(std::uint64_t{18446744073709551615u}, std::size_t{7}),
         Code::sphere_header_size_exceeds_input, ErrorKind::Invalid,
         "header claims 18446744073709551615 bytes but only 7 available"},
        {sphere::errors::sample_count_negative(std::int64_t{INT64_MIN}), Code::sphere_sample_count_negative,
         ErrorKind::Invalid, "sample_count must be >= 0, got -9223372036854775808"},
        // {q}: quoted form with escapes; {t}: as it is.
        {sphere::errors::unknown_type(std::string_view("-x\t"), std::string_view("a \"b\"\\")),
         Code::sphere_unknown_type, ErrorKind::Invalid, "unknown field type \"-x\\t\" in line: \"a \\\"b\\\"\\\\\""},
        {sphere::errors::missing_required_field("sample_rate"), Code::sphere_missing_required_field,
         ErrorKind::Invalid, "SPHERE header missing required field: sample_rate"},
        {sphere::errors::malformed_line(lines), Code::sphere_malformed_line, ErrorKind::Invalid,
         "malformed SPHERE header line: \"\\n\\n\\n\""},
        // A text of digits in a {n} place goes in as it is.
        {codecs::errors::pcm_width_not_supported(std::string("73786976294838206456")),
         Code::codecs_pcm_width_not_supported, ErrorKind::Unsupported,
         "73786976294838206456-bit PCM not supported yet (supported: 16, 32 bit)"},
        {codecs::errors::alaw_width_not_supported(std::int64_t{2}), Code::codecs_alaw_width_not_supported,
         ErrorKind::Unsupported, "alaw expects 1-byte samples, got sample_n_bytes=2"},
        {pipeline::errors::block_align_too_large(), Code::pipeline_block_align_too_large, ErrorKind::Invalid,
         "WAV block_align exceeds 16-bit field"},
        {pipeline::errors::bits_not_multiple_of_8(std::uint16_t{12}), Code::pipeline_bits_not_multiple_of_8,
         ErrorKind::Invalid, "bits_per_sample must be a multiple of 8, got 12"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got.message, c.text);
        EXPECT_EQ(c.got.code, c.code) << c.text;
        EXPECT_EQ(c.got.kind, c.kind) << c.text;
    }
}

TEST(Catalogue, EntriesAreConsistent) {
    std::set<unsigned> codes;
    std::set<std::string> names, patterns;
    for (const CatalogueEntry& e : catalogue()) {
        const auto code = static_cast<unsigned>(e.code);
        EXPECT_TRUE(codes.insert(code).second) << "code used twice: " << code;
        EXPECT_TRUE(names.insert(std::string(e.room) + "::" + std::string(e.name)).second) << e.name;
        EXPECT_TRUE(patterns.insert(std::string(e.pattern)).second) << "pattern listed twice: " << e.pattern;
        EXPECT_GE(code / 100, 1u) << e.name;  // the hundreds name a group
        EXPECT_LE(code / 100, 8u) << e.name;
        EXPECT_EQ(catalogue_entry(e.code), &e);
        // No message of another entry has the form of this pattern: a code
        // can be told from the text alone.
        for (const CatalogueEntry& other : catalogue()) {
            if (&other != &e) {
                EXPECT_FALSE(testkit::matches_pattern(other.pattern, e.pattern)) << e.pattern;
            }
        }
    }
    EXPECT_GT(codes.size(), 50u);
    EXPECT_EQ(catalogue_entry(Code::unlisted), nullptr);
}

TEST(ResultMisuse, ThrowsALogicError) {
    Result<int> failed = shorten::errors::runaway_unary();
    Result<int> fine = 7;
    Status ok = ok_status();
    EXPECT_THROW((void)failed.value(), std::logic_error);
    EXPECT_THROW((void)*failed, std::logic_error);
    EXPECT_THROW((void)std::move(failed).value(), std::logic_error);
    EXPECT_THROW((void)fine.error(), std::logic_error);
    EXPECT_THROW((void)ok.error(), std::logic_error);
    EXPECT_EQ(fine.value(), 7);
    EXPECT_EQ(failed.error().code, Code::shorten_runaway_unary);
}

}  // namespace
}  // namespace sonavert
