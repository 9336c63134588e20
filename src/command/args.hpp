// The command line of sonavert-sph2pipe:
//   [-h hdrfile] [-t|-s b:e] [-c 1|2] [-p|-u|-a] [-f typ] infile [outfile]
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/convert.hpp"

namespace sonavert::command {

struct CommandLine {
    std::optional<std::string> header_file;  // -h: infile holds headerless samples
    pipeline::ConvertRequest request;
    std::string input;
    std::optional<std::string> output;  // none: standard output
};

// The usage line, for standard error.
inline constexpr std::string_view kUsage =
    "usage: sonavert-sph2pipe [-h hdrfile] [-t|-s b:e] [-c 1|2] [-p|-u|-a] [-f sph|raw|wav|rif|au|aif|mac] "
    "infile [outfile]\n";

// Parses the arguments after the program name as getopt does: options and
// operands in any order ("infile -f wav -c 1"), flags grouped ("-pc1"), a
// value in the same argument or the next, "--" ending the options. A
// repeated option's last value wins ("-p -u" asks for mu-law). Nothing for a
// command line that breaks the usage: an unknown option or format, a
// missing value, a channel other than 1 or 2, both -t and -s, a range that
// is not "b:e" of non-negative numbers (whole ones for -s), no infile or
// more than two operands. A format is known by its first three letters (two
// for au) in any letter case.
std::optional<CommandLine> parse_command_line(const std::vector<std::string_view>& args);

}  // namespace sonavert::command
