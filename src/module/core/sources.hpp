// What the package's native functions share: the memory of the core's
// buffers, the sources they read (a bytes object or a file descriptor), the
// opening of a file's header and layout, and the errors of a failed call.
#pragma once

#include <optional>
#include <string_view>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "module/python.hpp"
#include "pipeline/frames.hpp"

namespace sonavert::module::core {

// The memory of the core's buffers during a call: the heap, a large block
// backed by huge pages where the system can. Needs no interpreter, so
// buffers may come and go while the lock is released.
extern const BufferSource kAdvisedHeap;

// The error of a failed call: OSError when the file system failed, else
// ValueError with the message.
PyObject* raise_failure(const Error& error, const pipeline::ByteSource& source);

// A file: a bytes object (read where it lies) or an open file descriptor
// (read with pread; its size is taken now).
struct Source {
    pipeline::ByteSource bytes = pipeline::ByteSource::of_memory({});
};

// `obj` (bytes, or an int file descriptor of a regular file) as a source;
// false with the Python error set otherwise.
bool to_source(PyObject* obj, Source& out);

// A str of a text the core made (bytes that are not UTF-8 kept as
// surrogate escapes), and a bytes object of a view.
PyObject* text_object(std::string_view s);
PyObject* bytes_of(ByteView view);

// The header and layout of a source, read without the lock.
struct Opened {
    pipeline::HeaderBlock block;
    pipeline::AudioLayout layout;
};

// Opens `source`'s audio into `out`; false with the Python error set when
// the header or the layout is refused.
bool open_audio(const Source& source, std::optional<Opened>& out);

}  // namespace sonavert::module::core

#define SV_FUNCTION(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))
