// sonavert-sph2pipe: converts one SPHERE file as the sph2pipe command line
// asks, with the conversion done by the core. The output is made whole in
// memory first, so a failure writes nothing: no byte to standard output, and
// an outfile only by renaming a finished temporary file over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "command/args.hpp"
#include "common/bytes.hpp"
#include "pipeline/convert.hpp"
#include "pipeline/header_rules.hpp"
#include "sphere/header.hpp"

namespace {

using sonavert::ByteBuffer;

constexpr std::string_view kProgram = "sonavert-sph2pipe";
// Read in pieces of this size when the size of the input is not known.
constexpr std::size_t kReadChunk = std::size_t{1} << 16;
// Large buffers start on a huge-page boundary, so that advise_huge_pages
// can back all of them: their first touch is most of a long file's cost.
constexpr std::size_t kLargeBuffer = std::size_t{8} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::uint8_t* allocate_buffer(std::size_t size, void*& owner) {
    void* p = nullptr;
    if (size >= kLargeBuffer) {
        if (::posix_memalign(&p, kHugePage, size) != 0) throw std::bad_alloc();
        sonavert::advise_huge_pages(static_cast<std::uint8_t*>(p), size);
    } else {
        p = std::malloc(size);
        if (p == nullptr) throw std::bad_alloc();
    }
    owner = p;
    return static_cast<std::uint8_t*>(p);
}

void release_buffer(void* owner) noexcept { std::free(owner); }

constexpr sonavert::BufferSource kBuffers{allocate_buffer, release_buffer};

// One line on standard error: "sonavert-sph2pipe: FILE: MESSAGE".
int fail(std::string_view file, std::string_view message) {
    std::string line(kProgram);
    line.append(": ").append(file).append(": ").append(message).append("\n");
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
    return 1;
}

struct FileError {
    int error = 0;  // errno, 0 when the file was read
};

// Input that is no regular file (a pipe, a device) is read up to this
// size: its length is not known in advance and it may never end.
constexpr std::size_t kMaxStreamedInput = std::size_t{4} << 30;

// The whole contents of `path`, or the errno of the failure in `failed`
// (EFBIG: a pipe or device gave more than kMaxStreamedInput bytes).
ByteBuffer read_file(const std::string& path, FileError& failed) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failed.error = errno;
        return ByteBuffer();
    }
    struct stat st {};
    std::size_t capacity = kReadChunk;
    bool regular = false;
    if (::fstat(fd, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(fd);
            failed.error = EISDIR;
            return ByteBuffer();
        }
        regular = S_ISREG(st.st_mode);
        // One byte more than the size, so that the end is seen in one pass.
        if (regular && st.st_size > 0) capacity = static_cast<std::size_t>(st.st_size) + 1;
    }
    ByteBuffer data(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (!regular && used >= kMaxStreamedInput) {
                ::close(fd);
                failed.error = EFBIG;
                return ByteBuffer();
            }
            data.resize(data.size() * 2);
        }
        const ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failed.error = errno;
            ::close(fd);
            return ByteBuffer();
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.shrink(used);
    return data;
}

// Writes all of `bytes` to `fd`; false with errno set on a failure.
bool write_all(int fd, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A closed standard output ends the process as a write to a closed pipe
// conventionally does: by SIGPIPE, even when the signal was ignored.
[[noreturn]] void end_by_sigpipe() {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    std::_Exit(128 + SIGPIPE);
}

int write_stdout(const ByteBuffer& out) {
    if (write_all(STDOUT_FILENO, out.data(), out.size())) return 0;
    if (errno == EPIPE) end_by_sigpipe();
    return fail("standard output", std::strerror(errno));
}

// Writes `out` to `path`. A regular file (or none yet) is written as a new
// temporary file beside it, renamed over it when complete; on any failure
// the temporary file is removed and `path` is left as it was. A symlink is
// followed, so that its target is replaced, not the link. Anything else
// that exists (a device such as /dev/null, a named pipe) is opened and
// written in place, since renaming over it would replace the device.
int write_file(const std::string& path, const ByteBuffer& out) {
    std::string target = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return fail(path, std::strerror(errno));
            const bool ok = write_all(fd, out.data(), out.size());
            const int error = errno;
            if (::close(fd) != 0 && ok) return fail(path, std::strerror(errno));
            return ok ? 0 : fail(path, std::strerror(error));
        }
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return fail(path, std::strerror(errno));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, out.data(), out.size());
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return fail(path, std::strerror(error));
    }
    return 0;
}

int run(const sonavert::command::CommandLine& line) {
    FileError failed;
    ByteBuffer input = read_file(line.input, failed);
    if (failed.error != 0) return fail(line.input, std::strerror(failed.error));

    // With -h the header comes from another file and the input is samples.
    ByteBuffer header_file;
    const std::string& header_name = line.header_file ? *line.header_file : line.input;
    if (line.header_file) {
        header_file = read_file(*line.header_file, failed);
        if (failed.error != 0) return fail(header_name, std::strerror(failed.error));
    }
    sonavert::Result<sonavert::sphere::SphereHeader> header =
        sonavert::sphere::parse_header(line.header_file ? header_file.view() : input.view());
    if (!header) return fail(header_name, header.error().message);
    if (line.header_file) header->payload = input.view();
    // Refusals that name the cause, and Switchboard-1's count over channels.
    if (sonavert::Result<bool> adapted = sonavert::pipeline::adapt_header(*header, header->payload.size()); !adapted) {
        return fail(header_name, adapted.error().message);
    }

    sonavert::Result<ByteBuffer> out = sonavert::pipeline::convert(*header, line.request);
    if (!out) return fail(line.input, out.error().message);
    // The input is not needed any more: give its memory back before writing.
    input = ByteBuffer();
    header_file = ByteBuffer();
    return line.output ? write_file(*line.output, *out) : write_stdout(*out);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::optional<sonavert::command::CommandLine> line = sonavert::command::parse_command_line(args);
    if (!line) {
        [[maybe_unused]] const ssize_t n =
            ::write(STDERR_FILENO, sonavert::command::kUsage.data(), sonavert::command::kUsage.size());
        return 1;
    }
    try {
        const sonavert::ScopedBufferSource buffers(&kBuffers);
        return run(*line);
    } catch (const std::bad_alloc&) {
        return fail(line->input, "out of memory");
    } catch (const std::exception& e) {
        return fail(line->input, std::string("internal error: ") + e.what());
    }
}
