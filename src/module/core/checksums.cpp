#include "module/core/checksums.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/sources.hpp"
#include "module/core/unlocked.hpp"
#include "module/ref.hpp"
#include "pipeline/checksum.hpp"
#include "pipeline/errors.hpp"

namespace sonavert::module::core {
namespace {

const Signature kVerify{"verify", {"source"}};

// What checking a file found, or the errno of a file that could not be
// opened as a regular file.
struct Checked {
    std::optional<Result<pipeline::ChecksumCheck>> check;
    int open_error = 0;
    bool regular = true;
};

Checked check_path(const char* path) {
    Checked out;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        out.open_error = errno;
        return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        out.open_error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        out.regular = false;
    } else {
        const pipeline::ByteSource source =
            pipeline::ByteSource::of_descriptor(fd, static_cast<std::uint64_t>(st.st_size));
        out.check.emplace(pipeline::check_checksum(source));
        if (!*out.check && source.os_error() != 0) out.open_error = source.os_error();
    }
    ::close(fd);
    return out;
}

// The result tuple of a check (see verify below).
PyObject* check_tuple(const Result<pipeline::ChecksumCheck>& check) {
    if (!check) {
        const Error& error = check.error();
        Ref message(text_object(error.message));
        if (message.p == nullptr) return nullptr;
        const char* state = error.code == Code::sphere_missing_magic    ? "nosphere"
                            : error.kind == ErrorKind::Unsupported ? "unreadable"
                                                                   : "corrupt";
        return Py_BuildValue("(sOOO)", state, Py_None, Py_None, message.p);
    }
    const pipeline::ChecksumCheck& result = *check;
    switch (result.state) {
        case pipeline::ChecksumState::Unchecked: {
            Ref why(text_object(result.unchecked_because));
            if (why.p == nullptr) return nullptr;
            return Py_BuildValue("(sOOO)", "unchecked", Py_None, Py_None, why.p);
        }
        case pipeline::ChecksumState::Match:
            return Py_BuildValue("(sLIs)", "ok", static_cast<long long>(result.declared),
                                 static_cast<unsigned>(result.computed), "");
        case pipeline::ChecksumState::Mismatch: {
            Ref message(text_object(pipeline::errors::checksum_mismatch(result.declared, result.computed).message));
            if (message.p == nullptr) return nullptr;
            return Py_BuildValue("(sLIO)", "corrupt", static_cast<long long>(result.declared),
                                 static_cast<unsigned>(result.computed), message.p);
        }
    }
    return raise_fault("verify: unknown checksum state");
}

}  // namespace

// (state, sample_checksum, computed sum, message) of a whole file (bytes, a
// descriptor of a regular file, or a path as str or bytes: opened, read and
// closed here), decoded with the lock released. state: "ok"; "unchecked"
// (the message says why); "corrupt" (a mismatch, or data that cannot be
// decoded: the message says which); "unreadable" (a coding or header that
// is not read); "nosphere" (no SPHERE magic). A file that cannot be opened
// or read raises OSError; a path to something else than a regular file
// raises OSError(EINVAL).
PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kVerify, args, kwargs, bound)) return nullptr;
        if (PyUnicode_Check(bound[0])) {
            Ref encoded;
            if (PyUnicode_FSConverter(bound[0], &encoded.p) == 0) return nullptr;
            const char* path = PyBytes_AsString(encoded.p);
            if (path == nullptr) return nullptr;
            Checked checked;
            {
                Unlocked unlocked;
                checked = check_path(path);
            }
            if (checked.open_error != 0) {
                errno = checked.open_error;
                return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, bound[0]);
            }
            if (!checked.regular) {
                Ref error(Py_BuildValue("(isO)", EINVAL, "not a regular file", bound[0]));
                if (error.p != nullptr) PyErr_SetObject(PyExc_OSError, error.p);
                return nullptr;
            }
            return check_tuple(*checked.check);
        }
        Source source;
        if (!to_source(bound[0], source)) return nullptr;
        std::optional<Result<pipeline::ChecksumCheck>> check;
        {
            Unlocked unlocked;
            check.emplace(pipeline::check_checksum(source.bytes));
        }
        if (!*check && source.bytes.os_error() != 0) return raise_failure(check->error(), source.bytes);
        return check_tuple(*check);
    });
}

}  // namespace sonavert::module::core
