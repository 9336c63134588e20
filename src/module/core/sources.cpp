// The sources, buffers and errors the package's native functions share.
#include "module/core/sources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <new>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/unlocked.hpp"

namespace sonavert::module::core {
namespace {

// The memory of the core's buffers during a call: the heap, a large block
// backed by huge pages where the system can (its first touch would otherwise
// fault once per 4 KiB page). Needs no interpreter, so buffers may come and
// go while the lock is released.
std::uint8_t* allocate_advised(std::size_t size, void*& owner) {
    void* data = std::malloc(size);
    if (data == nullptr) throw std::bad_alloc();
    owner = data;
    advise_huge_pages(static_cast<std::uint8_t*>(data), size);
    return static_cast<std::uint8_t*>(data);
}
void release_advised(void* owner) noexcept { std::free(owner); }

}  // namespace

const BufferSource kAdvisedHeap{allocate_advised, release_advised};

// The error of a failed call: OSError when the file system failed, else
// ValueError with the message.
PyObject* raise_failure(const Error& error, const pipeline::ByteSource& source) {
    if (source.os_error() != 0) {
        errno = source.os_error();
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return raise_error(error);
}

bool to_source(PyObject* obj, Source& out) {
    if (PyLong_Check(obj)) {
        const long fd = PyLong_AsLong(obj);
        if (fd == -1 && PyErr_Occurred()) return false;
        if (fd < 0 || fd > std::numeric_limits<int>::max()) {
            PyErr_SetString(PyExc_ValueError, "file descriptor out of range");
            return false;
        }
        struct stat st {};
        int status = 0;
        {
            Unlocked unlocked;
            status = ::fstat(static_cast<int>(fd), &st);
        }
        if (status != 0) return PyErr_SetFromErrno(PyExc_OSError), false;
        if (!S_ISREG(st.st_mode)) {
            PyErr_SetString(PyExc_ValueError, "not a regular file");
            return false;
        }
        out.bytes = pipeline::ByteSource::of_descriptor(static_cast<int>(fd), static_cast<std::uint64_t>(st.st_size));
        return true;
    }
    ByteView view;
    if (!convert_bytes("source", obj, view)) return false;
    out.bytes = pipeline::ByteSource::of_memory(view);
    return true;
}

PyObject* text_object(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

PyObject* bytes_of(ByteView view) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data()), static_cast<Py_ssize_t>(view.size()));
}

bool open_audio(const Source& source, std::optional<Opened>& out) {
    std::optional<Result<Opened>> opened;
    {
        Unlocked unlocked;
        opened.emplace([&]() -> Result<Opened> {
            SV_ASSIGN_OR_RETURN(pipeline::HeaderBlock block, pipeline::read_header(source.bytes));
            SV_ASSIGN_OR_RETURN(pipeline::AudioLayout layout, pipeline::check_audio(block.header, source.bytes.size()));
            return Opened{std::move(block), layout};
        }());
    }
    if (!*opened) {
        raise_failure(opened->error(), source.bytes);
        return false;
    }
    out.emplace(std::move(**opened));
    return true;
}

}  // namespace sonavert::module::core
