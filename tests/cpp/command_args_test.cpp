#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "command/args.hpp"

namespace sonavert::command {
namespace {

using pipeline::FormRequest;
using pipeline::OutputFormat;
using Unit = pipeline::RangeRequest::Unit;

std::optional<CommandLine> parse(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    static std::vector<std::string> keep;  // the views below point into it
    keep = words;
    return parse_command_line(std::vector<std::string_view>(keep.begin(), keep.end()));
}

TEST(CommandArgs, AcceptedCommandLines) {
    struct Case {
        const char* line;
        OutputFormat format;
        FormRequest form;
        std::optional<std::uint32_t> channel;
        Unit unit;
        double begin_s, end_s;
        std::uint64_t begin, end;
        const char* input;
        const char* output;  // "" for standard output
        const char* header;  // "" for none
    };
    const Case cases[] = {
        {"in.sph", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in.sph", "", ""},
        {"-f wav -p -c 1 in.sph", OutputFormat::Wav, FormRequest::Pcm16, 1u, Unit::None, 0, 0, 0, 0, "in.sph", "", ""},
        {"-f rif -u in out", OutputFormat::Wav, FormRequest::MuLaw, {}, Unit::None, 0, 0, 0, 0, "in", "out", ""},
        {"-fmac -a -c2 in", OutputFormat::Aiff, FormRequest::ALaw, 2u, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f aif -f au in", OutputFormat::Au, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f raw -t 0.5:1.25 in", OutputFormat::Raw, FormRequest::AsStored, {}, Unit::Seconds, 0.5, 1.25, 0, 0, "in", "",
         ""},
        {"-t :0.8 in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Seconds, 0, 0.8, 0, 0, "in", "", ""},
        {"-t 2.: in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Seconds, 2, 0, 0, 0, "in", "", ""},
        {"-s 100: in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Samples, 0, 0, 100, 0, "in", "", ""},
        {"-s : in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Samples, 0, 0, 0, 0, "in", "", ""},
        {"-s 0:0 in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Samples, 0, 0, 0, 0, "in", "", ""},
        {"-s1000:5000 in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Samples, 0, 0, 1000, 5000, "in", "",
         ""},
        {"-h hdr.sph -f raw data.raw", OutputFormat::Raw, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0,
         "data.raw", "", "hdr.sph"},
        {"-- -in- out", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "-in-", "out", ""},
        {"- out", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "-", "out", ""},
        // Options after the operands, as getopt permutes them.
        {"in.sph -f wav -c 1 -p", OutputFormat::Wav, FormRequest::Pcm16, 1u, Unit::None, 0, 0, 0, 0, "in.sph", "", ""},
        {"in -s 10:20 out -u", OutputFormat::Sphere, FormRequest::MuLaw, {}, Unit::Samples, 0, 0, 10, 20, "in", "out",
         ""},
        {"in -- -out", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "-out", ""},
        // A repeated option: the last one wins; flags may be grouped.
        {"-p -u in", OutputFormat::Sphere, FormRequest::MuLaw, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-u in -a", OutputFormat::Sphere, FormRequest::ALaw, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-pu in", OutputFormat::Sphere, FormRequest::MuLaw, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-pc2 in", OutputFormat::Sphere, FormRequest::Pcm16, 2u, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-c 1 -c 2 in", OutputFormat::Sphere, FormRequest::AsStored, 2u, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-t 0.5:1 -t 2:3 in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Seconds, 2, 3, 0, 0, "in", "", ""},
        {"-t 0.5:1 -t :3 in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Seconds, 0, 3, 0, 0, "in", "", ""},
        {"-s 1:2 -s 5: in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::Samples, 0, 0, 5, 0, "in", "", ""},
        {"-h a -h b in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", "b"},
        // Format names by their first three letters (two for au), any case.
        {"-f WAV in", OutputFormat::Wav, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f wave in", OutputFormat::Wav, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f riff in", OutputFormat::Wav, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f aiff in", OutputFormat::Aiff, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f Sphere in", OutputFormat::Sphere, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f RAWDATA in", OutputFormat::Raw, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f AU in", OutputFormat::Au, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-f audio in", OutputFormat::Au, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
        {"-fMacintosh in", OutputFormat::Aiff, FormRequest::AsStored, {}, Unit::None, 0, 0, 0, 0, "in", "", ""},
    };
    for (const Case& c : cases) {
        const std::optional<CommandLine> got = parse(c.line);
        ASSERT_TRUE(got.has_value()) << c.line;
        EXPECT_EQ(got->request.format, c.format) << c.line;
        EXPECT_EQ(got->request.form, c.form) << c.line;
        EXPECT_EQ(got->request.channel, c.channel) << c.line;
        EXPECT_EQ(got->request.range.unit, c.unit) << c.line;
        EXPECT_EQ(got->request.range.begin_seconds, c.begin_s) << c.line;
        EXPECT_EQ(got->request.range.end_seconds, c.end_s) << c.line;
        EXPECT_EQ(got->request.range.begin_sample, c.begin) << c.line;
        EXPECT_EQ(got->request.range.end_sample, c.end) << c.line;
        EXPECT_EQ(got->input, c.input) << c.line;
        EXPECT_EQ(got->output.value_or(""), c.output) << c.line;
        EXPECT_EQ(got->header_file.value_or(""), c.header) << c.line;
    }
}

TEST(CommandArgs, RefusedCommandLines) {
    const char* lines[] = {
        "",                    // no infile
        "a b c",               // three operands
        "-f flac in",          // unknown format
        "-f wa in",            // three letters, two only for au
        "-f a in",
        "-f ws in",
        "-x in",               // unknown option
        "in -x",
        "-px in",              // unknown option in a group
        "-c 3 in",             // channels 1 and 2 only
        "-c 0 in",
        "-c",                  // missing value
        "-f",
        "in -c",               // missing value after the operand
        "in out extra -p",     // three operands, options among them
        "-t 1:2 -s 1:2 in",    // time and samples: one kind of range only
        "in -s 1:2 -t 1:2",
        "-t 1 in",             // no colon
        "-t -1:2 in",          // negative (sph2pipe converts the whole file)
        "in -t -0.5:1",
        "-t 1e3:2 in",         // plain decimals only
        "-t .:2 in",
        "-t 1..2:3 in",
        "-s 1.5:2 in",         // whole samples
        "-s +1:2 in",
        "-s 1:99999999999999999999 in",  // beyond 64 bits
    };
    for (const char* line : lines) {
        EXPECT_FALSE(parse(line).has_value()) << line;
    }
}

}  // namespace
}  // namespace sonavert::command
