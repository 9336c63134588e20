// make_seeds: writes the seed corpora of the fuzz targets, made by the
// project's own generators (sample_files.hpp), one folder per target:
//   DIR/fuzz_header/      the header blocks of the SPHERE sample files
//   DIR/fuzz_shorten/     the bare Shorten sample streams
//   DIR/fuzz_transcode/   the SPHERE sample files
//   DIR/fuzz_decode_pcm/  the SPHERE sample files
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sample_files.hpp"
#include "sphere/header.hpp"
#include "tool_support.hpp"

namespace {

using namespace sonavert;
using namespace sonavert::testkit;

constexpr const char* kUsage =
    "usage: make_seeds DIR\n"
    "Writes the fuzz targets' seed inputs into DIR/<target>/.\n";

int run(int argc, char** argv) {
    const ToolMessages out("make_seeds", kUsage);
    if (argc == 2 && std::string(argv[1]) == "--help") return out.help();
    if (argc != 2) return out.usage_error("expected DIR");
    const std::filesystem::path dir(argv[1]);

    int written = 0;
    auto put = [&](const char* target, const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::filesystem::create_directories(dir / target);
        const Status st = write_file((dir / target / name).string(), bytes);
        if (st) ++written;
        return st;
    };
    for (const SampleFile& s : sample_shorten_streams()) {
        if (Status st = put("fuzz_shorten", s.name, s.bytes); !st) return out.fail(st.error().message);
    }
    for (const SampleFile& s : sample_sphere_files()) {
        for (const char* target : {"fuzz_transcode", "fuzz_decode_pcm"}) {
            if (Status st = put(target, s.name, s.bytes); !st) return out.fail(st.error().message);
        }
        Result<sphere::SphereHeader> header = sphere::parse_header(s.bytes);
        if (!header) return out.fail(s.name + ": " + header.error().message);
        const std::vector<std::uint8_t> block(s.bytes.begin(),
                                              s.bytes.begin() + static_cast<std::ptrdiff_t>(header->header_size));
        if (Status st = put("fuzz_header", s.name, block); !st) return out.fail(st.error().message);
    }
    std::printf("%d seed files in %s\n", written, dir.string().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
