// Shared pieces of the command-line tools: number parsing, whole-file I/O,
// the encoder's flags and a 44-byte WAV header for VERBATIM sections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "shorten_encoder.hpp"

namespace sonavert::testkit {

// The messages of one tool, each starting with "<name>: ".
class ToolMessages {
public:
    ToolMessages(const char* name, std::string usage) : name_(name), usage_(std::move(usage)) {}
    // Prints the message to stderr; returns the exit status 1.
    int fail(const std::string& message) const;
    // Prints the message and the usage text to stderr; returns 2.
    int usage_error(const std::string& message) const;
    // Prints the usage text to stdout; returns 0.
    int help() const;

private:
    const char* name_;
    std::string usage_;
};

// A plain decimal number 0..max (digits only), or nullopt.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

Result<std::vector<std::uint8_t>> read_file(const std::string& path);
Status write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Command-line arguments consumed one flag at a time. A flag's value is the
// next argument or follows an '=' ("--blocksize 128", "--blocksize=128").
class ArgCursor {
public:
    ArgCursor(int argc, char** argv) : args_(argv + 1, argv + argc) {}
    bool done() const noexcept { return pos_ >= args_.size(); }
    // The next argument; a "--flag=value" argument yields "--flag" and
    // keeps the value for value().
    std::string next();
    // The value of the flag just read by next().
    Result<std::string> value(const std::string& flag);
    Result<std::uint64_t> number(const std::string& flag, std::uint64_t max);

private:
    std::vector<std::string> args_;
    std::size_t pos_ = 0;
    std::optional<std::string> inline_value_;
};

// Applies one of the encoder flags (--channels, --type, --blocksize, --nmean,
// --maxnlpc, --nskip, --bitshift auto|N, --blocksize-schedule N,N,...) to
// `options`. Returns false when `flag` is not one of them.
Result<bool> apply_encoder_flag(const std::string& flag, ArgCursor& args, ShortenOptions& options);

// Usage lines of the encoder flags, for the tools' usage messages.
extern const char* const kEncoderFlagsUsage;

// A 44-byte RIFF/WAVE header for `data_bytes` bytes of PCM (format 1) with
// the given channels, rate and bits per sample.
std::vector<std::uint8_t> make_wav_header(std::uint32_t channels, std::uint32_t rate,
                                          std::uint32_t bits_per_sample, std::uint32_t data_bytes);

}  // namespace sonavert::testkit
