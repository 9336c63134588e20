// The messages of reading parts of a file (frames.hpp), one helper per
// message, each with its kind.
#pragma once

#include <cstring>
#include <string>

#include "common/error.hpp"

namespace sonavert::pipeline::errors {

inline Error read_failed(int os_error) {
    return invalid(std::string("reading the file failed: ") + std::strerror(os_error));
}

inline Error file_shrank() {
    return invalid("the file ended early: it became shorter while it was read");
}

inline Error request_too_large() { return invalid("the requested samples do not fit in memory"); }

}  // namespace sonavert::pipeline::errors
