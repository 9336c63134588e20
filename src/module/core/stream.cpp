// ShortenStream(source): a Shorten file read a part at a time (SoundFile,
// blocks). It holds what it reads (the bytes object, or its own duplicate of
// the file descriptor), the header and a ShortenReader, so that a read that
// goes on from the last costs only its own frames, a read elsewhere resumes
// from the nearest seek point (its own or the process's cache), and memory
// follows the block read and the points, not the file.
#include "module/core/stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <vector>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/reads.hpp"
#include "module/core/sources.hpp"
#include "module/core/unlocked.hpp"
#include "module/ref.hpp"

namespace sonavert::module::core {
namespace {

using pipeline::ByteSource;
using pipeline::FrameRequest;

struct StreamState {
    Ref bytes;      // the bytes object read, or null
    int fd = -1;    // the stream's own descriptor, or -1
    Source source;
    std::optional<Opened> opened;
    std::optional<pipeline::ShortenReader> reader;
    bool busy = false;  // a read is running without the lock

    StreamState() = default;
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;
    ~StreamState() {
        reader.reset();
        if (fd >= 0) ::close(fd);
    }
};

struct ShortenStreamObject {
    PyObject_HEAD
    StreamState* state;
};

const Signature kShortenStream{"ShortenStream", {"source"}};
const Signature kStreamRead{"read", {"first", "count", "dtype", "pick", "out"}};

PyObject* shorten_stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        auto state = std::make_unique<StreamState>();
        if (!bind_arguments(kShortenStream, args, kwargs, bound) || !to_source(bound[0], state->source)) return nullptr;
        if (!open_audio(state->source, state->opened)) return nullptr;
        if (state->opened->layout.stored != pipeline::Stored::Shorten) {
            PyErr_SetString(PyExc_ValueError, "not a Shorten file");
            return nullptr;
        }
        if (PyLong_Check(bound[0])) {
            // Its own descriptor: the stream reads the same file however
            // long it lives, whatever becomes of the caller's.
            state->fd = ::fcntl(static_cast<int>(PyLong_AsLong(bound[0])), F_DUPFD_CLOEXEC, 0);
            if (state->fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
            state->source.bytes = ByteSource::of_descriptor(state->fd, state->source.bytes.size());
        } else {
            Py_INCREF(bound[0]);
            state->bytes.p = bound[0];
        }
        state->reader.emplace(state->source.bytes, state->opened->layout, &pipeline::SeekPointCache::shared());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<ShortenStreamObject*>(self)->state = state.release();
        return self;
    });
}

void shorten_stream_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<ShortenStreamObject*>(self);
    delete object->state;
    object->state = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// stream.read(first, count, dtype, pick, out): as read(source, ...) of the
// stream's file, going on from the frames read before.
PyObject* shorten_stream_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        StreamState* state = reinterpret_cast<ShortenStreamObject*>(self)->state;
        PyObject* b[5];
        FrameRequest request;
        std::vector<std::uint64_t> pick;
        if (state == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the stream was not opened");
            return nullptr;
        }
        if (!bind_arguments(kStreamRead, args, kwargs, b) || !to_span(b, request)) return nullptr;
        if (state->busy) {
            PyErr_SetString(PyExc_RuntimeError, "the stream is being read by another thread");
            return nullptr;
        }
        Ref result;
        std::uint8_t* target = nullptr;
        if (!to_target(b[3], b[4], state->opened->layout, request, pick, result, target)) return nullptr;
        Status status;
        state->busy = true;
        {
            struct Idle {
                bool& busy;
                ~Idle() { busy = false; }
            } idle{state->busy};
            Unlocked unlocked;
            status = state->reader->read(request, target);
        }
        if (!status) return raise_failure(status.error(), state->source.bytes);
        return read_result(result, request);
    });
}

// stream.seek_points(): (count, bytes) of the stream's own seek points.
PyObject* shorten_stream_points(PyObject* self, PyObject*) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        StreamState* state = reinterpret_cast<ShortenStreamObject*>(self)->state;
        if (state == nullptr || state->busy) {
            PyErr_SetString(PyExc_RuntimeError, "the stream is being read by another thread");
            return nullptr;
        }
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(state->reader->seek_points()),
                             static_cast<unsigned long long>(state->reader->seek_point_bytes()));
    });
}

PyMethodDef g_stream_methods[] = {
    {"seek_points", SV_FUNCTION(shorten_stream_points), METH_NOARGS,
     "seek_points()\n--\n\n(count, bytes) of the seek points the stream has recorded."},
    {"read", SV_FUNCTION(shorten_stream_read), METH_VARARGS | METH_KEYWORDS,
     "read(first, count, dtype, pick, out)\n--\n\nFrames of the stream's file, as read() reads them."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(shorten_stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(shorten_stream_dealloc)},
    {Py_tp_methods, g_stream_methods},
    {Py_tp_doc, const_cast<char*>("ShortenStream(source)\n--\n\nA Shorten file read a part at a time.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec g_stream_spec = {"sonavert._core.ShortenStream", sizeof(ShortenStreamObject), 0, Py_TPFLAGS_DEFAULT,
                             g_stream_slots};

}  // namespace sonavert::module::core
