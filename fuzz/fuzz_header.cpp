// The SPHERE header parser, with the invariants of
// testkit::check_parse_header, and the header path of the package's module
// against it (testkit::check_header_reader; tools/lib/invariants.hpp).
#include <cstdint>

#include "fuzz_check.hpp"
#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_check(sonavert::testkit::check_parse_header(sonavert::ByteView(data, size)));
    fuzz_check(sonavert::testkit::check_header_reader(sonavert::ByteView(data, size)));
    return 0;
}
