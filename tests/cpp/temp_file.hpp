// A temporary file for the readers' tests: written once, opened for reading,
// unlinked at once and closed at the end.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pipeline/frames.hpp"

namespace sonavert::testing {

class TempFile {
public:
    explicit TempFile(const std::vector<std::uint8_t>& bytes) {
        char name[] = "/tmp/sonavert_frames_XXXXXX";
        fd_ = ::mkstemp(name);
        EXPECT_GE(fd_, 0);
        ::unlink(name);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                ADD_FAILURE() << "cannot write the temporary file";
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { ::close(fd_); }
    pipeline::ByteSource source(std::uint64_t size) const { return pipeline::ByteSource::of_descriptor(fd_, size); }
    void truncate(off_t size) const { EXPECT_EQ(::ftruncate(fd_, size), 0); }

private:
    int fd_ = -1;
};

}  // namespace sonavert::testing
