// resource_bounds: measures the peak memory and the time of the library's
// entry points on hostile inputs (tiny streams that decode to the sample
// cap, the longest unary codes, QLPC of order 1024, a header of a million
// field lines, a file declaring 2^62 samples), each at several sizes so that
// the growth shows. Every measurement runs in a child process of its own;
// its memory is the peak resident size above the size at the start of the
// call, so the input, built beforehand, is not counted.
//
// usage: resource_bounds [--quick] [--write DIR]
//   --quick      only the smaller sizes (no case above 256 MiB of output)
//   --write DIR  also write every input to DIR/<case> (for measuring the
//                Python module on the same inputs)
#include <sys/resource.h>
#include <sys/wait.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pipeline/drivers.hpp"
#include "shorten/to_pcm.hpp"
#include "shorten_stream_writer.hpp"
#include "sphere/header.hpp"
#include "sphere_writer.hpp"
#include "tool_support.hpp"

namespace {

using namespace sonavert;
using namespace sonavert::testkit;

using Bytes = std::vector<std::uint8_t>;

enum class Entry { ShortenToPcm, DecodePcm, Transcode, ParseHeader };

const char* entry_name(Entry e) {
    switch (e) {
        case Entry::ShortenToPcm: return "shorten_to_pcm";
        case Entry::DecodePcm: return "decode_pcm";
        case Entry::Transcode: return "transcode";
        case Entry::ParseHeader: return "parse_header";
    }
    return "?";
}

struct Case {
    std::string name;
    Entry entry;
    Bytes input;
};

// What the child reports back.
struct Measurement {
    std::uint64_t output = 0;  // bytes returned: the result, or the error message
    double seconds = 0;        // wall time of the call
    double cpu = 0;            // user + system time of the call
    std::int64_t peak_kib = 0; // peak resident size above the start
    std::uint64_t minor_faults = 0;
    char error[160] = {};
};

// A line of /proc/self/status ("VmRSS", "VmHWM") in KiB.
std::int64_t status_kib(const char* key) {
    std::int64_t value = -1;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const std::size_t n = std::strlen(key);
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::strncmp(line, key, n) == 0 && line[n] == ':') value = std::strtoll(line + n + 1, nullptr, 10);
        }
        std::fclose(f);
    }
    return value;
}

// Returns free heap memory to the system and resets the peak resident size
// to the current one, so that the peak measured afterwards is the call's.
bool reset_peak() {
    malloc_trim(0);
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

double cpu_seconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Measurement call(const Case& c) {
    Measurement m;
    rusage before{}, after{};
    if (!reset_peak()) std::snprintf(m.error, sizeof m.error, "cannot reset the peak resident size");
    const std::int64_t start_kib = status_kib("VmRSS");
    getrusage(RUSAGE_SELF, &before);
    const auto t0 = std::chrono::steady_clock::now();
    // A failure's message is what the call returns: its size counts, and
    // only its start is kept (a copy would count in the peak).
    auto note = [&m](const std::string& message) {
        m.output = message.size();
        if (m.error[0] == 0) std::snprintf(m.error, sizeof m.error, "%s", message.substr(0, 100).c_str());
    };
    switch (c.entry) {
        case Entry::ShortenToPcm: {
            Result<shorten::ShortenPcm> r = shorten::shorten_to_pcm(c.input);
            if (r) m.output = r->pcm.size(); else note(r.error().message);
            break;
        }
        case Entry::DecodePcm: {
            Result<ByteBuffer> r = pipeline::decode_pcm(c.input);
            if (r) m.output = r->size(); else note(r.error().message);
            break;
        }
        case Entry::Transcode: {
            Result<ByteBuffer> r = pipeline::transcode_to_wav(c.input);
            if (r) m.output = r->size(); else note(r.error().message);
            break;
        }
        case Entry::ParseHeader: {
            Result<sphere::SphereHeader> r = sphere::parse_header(c.input);
            if (r) m.output = r->header_size; else note(r.error().message);
            break;
        }
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    getrusage(RUSAGE_SELF, &after);
    m.cpu = cpu_seconds(after) - cpu_seconds(before);
    m.peak_kib = status_kib("VmHWM") - start_kib;
    m.minor_faults = static_cast<std::uint64_t>(after.ru_minflt - before.ru_minflt);
    return m;
}

// Runs the call in a child process, so that each peak is its own.
bool measure(const Case& c, Measurement& m) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Measurement result = call(c);
        const ssize_t written = write(fds[1], &result, sizeof result);
        _exit(written == static_cast<ssize_t>(sizeof result) ? 0 : 1);
    }
    close(fds[1]);
    const ssize_t got = read(fds[0], &m, sizeof m);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got == static_cast<ssize_t>(sizeof m) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- Hostile inputs --------------------------------------------------------

constexpr std::uint64_t kMaxBlock = std::uint64_t{1} << 24;

// `blocks` ZERO blocks of 2^24 samples over `channels` channels.
Bytes zero_blocks(std::uint64_t channels, std::uint64_t blocks) {
    ShortenStreamWriter w;
    w.header({5, channels, kMaxBlock, 0, 0, 0});
    for (std::uint64_t i = 0; i < blocks; ++i) w.zero();
    return w.quit().finish();
}

// One block of `codes` residuals, each with a unary prefix of `zeros` zero
// bits: the longest the bit reader accepts is 2^26.
Bytes long_prefixes(std::uint64_t codes, std::uint64_t zeros) {
    ShortenStreamWriter w;
    w.header({5, 1, codes, 0, 0, 0});
    w.function(shorten::kDiff0);
    w.bits().put_uvar(0, 3);  // energy 0: residual width 1
    for (std::uint64_t i = 0; i < codes; ++i) {
        w.bits().put_zeros(zeros);
        w.bits().put_bits(0b10, 2);  // stop bit, low bit 0
    }
    return w.quit().finish();
}

// A history of samples near 2^40, then `blocks` QLPC blocks of order 1024
// and 65536 samples whose residuals are all 0 (2 bits each). The samples
// lie beyond the fast path's bound, so every chunk is reconstructed twice:
// the fast trial and then the checked definition, 1024 taps per sample.
Bytes qlpc_1024(std::uint64_t blocks) {
    constexpr std::uint64_t kOrder = 1024, kBlock = 65536;
    ShortenStreamWriter w;
    w.header({5, 1, kOrder, kOrder, 0, 0});
    std::vector<std::int64_t> first(kOrder, 0);
    first[0] = std::int64_t{1} << 40;
    w.diff(1, 31, first);
    w.blocksize(kBlock);
    std::vector<std::int64_t> coefs(kOrder, 0);
    coefs[0] = 32;  // 1.0 in the predictor's fixed point
    const std::vector<std::int64_t> residuals(kBlock, 0);
    for (std::uint64_t b = 0; b < blocks; ++b) w.qlpc(0, coefs, residuals);
    return w.quit().finish();
}

Bytes sphere_file(std::int64_t count, std::int64_t channels, std::int64_t width, const std::string& coding,
             const Bytes& payload, const std::vector<std::string>& extra_lines = {}) {
    SphereWriter w;
    for (const std::string& line : extra_lines) w.add_line(line);
    w.add_int("sample_count", count)
        .add_int("channel_count", channels)
        .add_int("sample_n_bytes", width)
        .add_int("sample_rate", 16000)
        .add_string("sample_coding", coding);
    Result<Bytes> file = w.build(payload);
    if (!file) {
        std::fprintf(stderr, "resource_bounds: %s\n", file.error().message.c_str());
        std::exit(1);
    }
    return std::move(*file);
}

// `lines` field lines with distinct names ("f<i> -i <i>"), or all with one
// name, before the required fields; no samples.
Bytes header_lines(std::uint64_t lines, bool distinct) {
    std::vector<std::string> extra;
    extra.reserve(lines);
    for (std::uint64_t i = 0; i < lines; ++i) {
        std::string line = "f";
        if (distinct) line.append(std::to_string(i));
        extra.push_back(line.append(" -i ").append(std::to_string(i)));
    }
    return sphere_file(0, 1, 2, "pcm", {}, extra);
}

std::string size_text(double bytes) {
    char text[32];
    if (bytes >= 1024.0 * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
    } else if (bytes >= 1024.0 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    } else if (bytes >= 1024.0) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const ToolMessages out("resource_bounds", "usage: resource_bounds [--quick] [--write DIR]\n");
    bool quick = false;
    std::string write_dir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--write" && i + 1 < argc) {
            write_dir = argv[++i];
        } else if (arg == "--help") {
            return out.help();
        } else {
            return out.usage_error("unknown argument " + arg);
        }
    }

    std::vector<std::function<Case()>> cases;
    const std::vector<std::uint64_t> zero_counts = quick ? std::vector<std::uint64_t>{4, 8, 16}
                                                         : std::vector<std::uint64_t>{16, 32, 64};
    for (std::uint64_t blocks : zero_counts) {
        cases.push_back([=] {
            return Case{"ZERO x" + std::to_string(blocks) + ", mono", Entry::ShortenToPcm, zero_blocks(1, blocks)};
        });
    }
    const std::uint64_t most = zero_counts.back();
    cases.push_back([=] { return Case{"ZERO x" + std::to_string(most) + ", stereo", Entry::ShortenToPcm, zero_blocks(2, most)}; });
    cases.push_back([=] { return Case{"ZERO x65, mono: one block past the cap", Entry::ShortenToPcm, zero_blocks(1, 65)}; });
    cases.push_back([=] {
        return Case{"SPHERE, ZERO x" + std::to_string(most) + " stereo, all frames", Entry::DecodePcm,
                    sphere_file(static_cast<std::int64_t>(most / 2 * kMaxBlock), 2, 2, "pcm,embedded-shorten-v2.00",
                                zero_blocks(2, most))};
    });
    cases.push_back([=] {
        return Case{"SPHERE, ZERO x" + std::to_string(most) + " stereo, all frames", Entry::Transcode,
                    sphere_file(static_cast<std::int64_t>(most / 2 * kMaxBlock), 2, 2, "pcm,embedded-shorten-v2.00",
                                zero_blocks(2, most))};
    });
    cases.push_back([=] {
        return Case{"SPHERE, ZERO x" + std::to_string(most) + " stereo, sample_count 1", Entry::DecodePcm,
                    sphere_file(1, 2, 2, "pcm,embedded-shorten-v2.00", zero_blocks(2, most))};
    });
    for (std::uint64_t codes : {1, 2, 4}) {
        cases.push_back([=] {
            return Case{std::to_string(codes) + " codes of 2^26 prefix zeros", Entry::ShortenToPcm,
                        long_prefixes(codes, std::uint64_t{1} << 26)};
        });
    }
    cases.push_back([] { return Case{"1 code of 2^26 + 1 prefix zeros", Entry::ShortenToPcm, long_prefixes(1, (std::uint64_t{1} << 26) + 1)}; });
    for (std::uint64_t blocks : quick ? std::vector<std::uint64_t>{2, 4, 8} : std::vector<std::uint64_t>{8, 16, 32}) {
        cases.push_back([=] {
            return Case{"QLPC order 1024, " + std::to_string(blocks) + " x 65536 samples", Entry::ShortenToPcm,
                        qlpc_1024(blocks)};
        });
    }
    for (std::uint64_t lines : {250'000, 500'000, 1'000'000}) {
        cases.push_back([=] {
            return Case{std::to_string(lines) + " distinct field lines", Entry::DecodePcm, header_lines(lines, true)};
        });
    }
    cases.push_back([] { return Case{"1000000 lines of one field", Entry::DecodePcm, header_lines(1'000'000, false)}; });
    for (std::uint64_t mib : {1, 2, 4}) {
        cases.push_back([=] {
            // A field line of control characters and no whitespace: the
            // message quotes it, each byte as a six-character escape.
            return Case{std::to_string(mib) + " MiB line of control characters", Entry::DecodePcm,
                        sphere_file(0, 1, 2, "pcm", {}, {std::string(mib << 20, '\x1f')})};
        });
    }
    cases.push_back([] {
        ShortenStreamWriter w;
        w.header({5, 256, 1, 1024, 65536, 0});
        return Case{"256 channels, maxnlpc 1024, nmean 65536, QUIT", Entry::ShortenToPcm, w.quit().finish()};
    });
    const std::int64_t two62 = std::int64_t{1} << 62;
    cases.push_back([=] { return Case{"sample_count 2^62, pcm 1 byte", Entry::DecodePcm, sphere_file(two62, 1, 1, "pcm", {})}; });
    cases.push_back([=] { return Case{"sample_count 2^62, ulaw", Entry::Transcode, sphere_file(two62, 1, 1, "ulaw", Bytes(1000))}; });
    cases.push_back([=] { return Case{"sample_count 2^62, pcm 2 bytes", Entry::DecodePcm, sphere_file(two62, 1, 2, "pcm", {})}; });
    cases.push_back([=] {
        return Case{"sample_count 2^62, Shorten ZERO x" + std::to_string(most), Entry::DecodePcm,
                    sphere_file(two62, 1, 2, "pcm,embedded-shorten-v2.00", zero_blocks(1, most))};
    });

    std::printf("| input | function | input size | result (bytes returned) | output / input | peak memory | bound 2 x output + input | CPU time |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    int failures = 0;
    for (const auto& make : cases) {
        const Case c = make();
        if (!write_dir.empty()) {
            std::filesystem::create_directories(write_dir);
            std::string file = c.name + " - " + entry_name(c.entry);
            for (char& ch : file) ch = (ch == ' ' || ch == ',' || ch == '^' || ch == ':') ? '_' : ch;
            (void)write_file((std::filesystem::path(write_dir) / file).string(), c.input);
        }
        Measurement m;
        if (!measure(c, m)) {
            std::printf("| %s | %s | measurement failed |\n", c.name.c_str(), entry_name(c.entry));
            ++failures;
            continue;
        }
        const double in = static_cast<double>(c.input.size()), outb = static_cast<double>(m.output);
        const double peak = static_cast<double>(m.peak_kib) * 1024.0;
        const double bound = 2 * outb + in;
        std::string result = size_text(outb);
        if (m.error[0] != 0) {
            std::string message = m.error;
            if (message.size() > 60) message = message.substr(0, 57) + "...";
            result = "error (" + size_text(outb) + "): " + message;
        }
        char ratio[32] = "-";
        if (m.output > 0) std::snprintf(ratio, sizeof ratio, "%.3g", outb / in);
        std::printf("| %s | %s | %s | %s | %s | %s | %s%s | %.3f s |\n", c.name.c_str(), entry_name(c.entry),
                    size_text(in).c_str(), result.c_str(), ratio, size_text(peak).c_str(), size_text(bound).c_str(),
                    peak <= bound + 4.0 * 1024 * 1024 ? "" : " (exceeded)", m.cpu);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
