// sonavert._core: the package's own way into the core. Private to the
// package (python/sonavert wraps every function): headers and their typed
// fields, WAV headers, and reads of frame ranges from a file descriptor or a
// bytes object (a Shorten file also through a ShortenStream, which goes on
// from its last read). The interpreter lock is released while files are
// read and samples decoded or converted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "module/binding.hpp"
#include "module/ref.hpp"
#include "module/boundary.hpp"
#include "module/core/arguments.hpp"
#include "module/core/unlocked.hpp"
#include "module/core/writing.hpp"
#include "pipeline/frames.hpp"
#include "sphere/fields.hpp"
#include "sphere/numbers.hpp"

namespace sonavert::module {
namespace {

using pipeline::AudioLayout;
using pipeline::ByteSource;
using pipeline::FrameRequest;
using pipeline::HeaderBlock;
using pipeline::SampleType;

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
const BufferSource kAdvisedHeap{allocate_advised, release_advised};

// The error of a failed call: OSError when the file system failed, else
// ValueError with the message.
PyObject* raise_failure(const Error& error, const ByteSource& source) {
    if (source.os_error() != 0) {
        errno = source.os_error();
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return raise_error(error);
}

// A file: a bytes object (read where it lies) or an open file descriptor
// (read with pread; its size is taken now).
struct Source {
    ByteSource bytes = ByteSource::of_memory({});
};

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
        out.bytes = ByteSource::of_descriptor(static_cast<int>(fd), static_cast<std::uint64_t>(st.st_size));
        return true;
    }
    ByteView view;
    if (!convert_bytes("source", obj, view)) return false;
    out.bytes = ByteSource::of_memory(view);
    return true;
}

PyObject* text_object(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// The name of how samples are stored, as sound-file libraries name their
// subtypes.
const char* subtype_name(pipeline::Stored stored) noexcept {
    switch (stored) {
        case pipeline::Stored::Pcm32Le:
        case pipeline::Stored::Pcm32Be: return "PCM_32";
        case pipeline::Stored::MuLaw:
        case pipeline::Stored::PcuLaw:
        case pipeline::Stored::PcuLawShorten: return "ULAW";
        case pipeline::Stored::ALaw: return "ALAW";
        default: return "PCM_16";
    }
}

// (header_size, channels, samplerate, frames, coding, bits, subtype, shorten)
// of a parsed header in a file of `file_length` bytes; bits (the decoded
// width) and subtype are None for a coding that cannot be decoded.
PyObject* header_tuple(const sphere::SphereHeader& header, std::uint64_t file_length) {
    auto number = [&](const char* name) -> std::int64_t {
        const Result<std::int64_t> value = sphere::require_int(header.fields, name);
        return value ? *value : 0;  // validated: always present
    };
    const Result<pipeline::Stored> stored = pipeline::stored_coding(header, file_length);
    Ref bits(stored ? PyLong_FromLong(pipeline::decoded_width(*stored)) : (Py_INCREF(Py_None), Py_None));
    Ref subtype(stored ? PyUnicode_FromString(subtype_name(*stored)) : (Py_INCREF(Py_None), Py_None));
    Ref coding(text_object(sphere::field_text(header.fields, "sample_coding", "pcm")));
    if (bits.p == nullptr || subtype.p == nullptr || coding.p == nullptr) return nullptr;
    const bool shorten =
        stored && (*stored == pipeline::Stored::Shorten || *stored == pipeline::Stored::PcuLawShorten);
    return Py_BuildValue("(KLLLOOOO)", static_cast<unsigned long long>(header.header_size),
                         static_cast<long long>(number("channel_count")), static_cast<long long>(number("sample_rate")),
                         static_cast<long long>(number("sample_count")), coding.p, bits.p, subtype.p,
                         shorten ? Py_True : Py_False);
}

PyObject* bytes_of(ByteView view) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data()), static_cast<Py_ssize_t>(view.size()));
}

// ---- header ----------------------------------------------------------------

const Signature kHeaderBytesNeeded{"header_bytes_needed", {"prefix"}};
const Signature kReadHeader{"read_header", {"source"}};
const Signature kParseHeader{"parse_header", {"prefix", "file_length"}};
const Signature kFields{"fields", {"block"}};

PyObject* header_bytes_needed(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        ByteView prefix;
        if (!bind_arguments(kHeaderBytesNeeded, args, kwargs, bound) || !convert_bytes("prefix", bound[0], prefix)) {
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(sphere::header_bytes_needed(prefix));
    });
}

// (block, header tuple) of a file: the header block as bytes and what it says.
PyObject* read_header(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        Source source;
        if (!bind_arguments(kReadHeader, args, kwargs, bound) || !to_source(bound[0], source)) return nullptr;
        std::optional<Result<HeaderBlock>> block;
        {
            Unlocked unlocked;
            block.emplace(pipeline::read_header(source.bytes));
        }
        if (!*block) return raise_failure(block->error(), source.bytes);
        const HeaderBlock& read = **block;
        Ref head(header_tuple(read.header, source.bytes.size()));
        Ref bytes(head.p != nullptr ? bytes_of(read.bytes.view().first(read.header.header_size)) : nullptr);
        if (bytes.p == nullptr) return nullptr;
        return PyTuple_Pack(2, bytes.p, head.p);
    });
}

// The header tuple of a prefix of a file of `file_length` bytes.
PyObject* parse_header(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[2];
        ByteView prefix;
        std::uint64_t length = 0;
        if (!bind_arguments(kParseHeader, args, kwargs, bound) || !convert_bytes("prefix", bound[0], prefix) ||
            !to_u64(bound[1], "file_length", length)) {
            return nullptr;
        }
        if (length < prefix.size()) {
            PyErr_SetString(PyExc_ValueError, "file_length is shorter than the prefix");
            return nullptr;
        }
        if (length > prefix.size() && sphere::header_bytes_needed(prefix) > prefix.size()) {
            PyErr_SetString(PyExc_ValueError, "the prefix does not hold the whole header");
            return nullptr;
        }
        const Result<sphere::SphereHeader> header = sphere::parse_header(prefix, length);
        if (!header) return raise_error(header.error());
        return header_tuple(*header, length);
    });
}

// Every field of a header block, typed as its line declares, into a dict
// (a later line of a name replaces the value of an earlier one).
PyObject* fields(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        ByteView block;
        if (!bind_arguments(kFields, args, kwargs, bound) || !convert_bytes("block", bound[0], block)) return nullptr;
        const Result<sphere::SphereHeader> header = sphere::parse_header(block);
        if (!header) return raise_error(header.error());
        Ref dict(PyDict_New());
        if (dict.p == nullptr) return nullptr;
        bool ok = true;
        sphere::for_each_field(header->fields, [&](const sphere::FieldEntry& field) {
            if (!ok) return;
            Ref key(text_object(field.name));
            Ref text(key.p != nullptr ? text_object(field.value) : nullptr);
            Ref value;
            if (text.p != nullptr) {
                if (field.type == 'i') {
                    value.p = PyLong_FromLongLong(sphere::read_int64(field.value).value_or(0));
                } else if (field.type == 'r') {
                    value.p = PyFloat_FromString(text.p);
                } else {
                    value.p = text.release();
                }
            }
            ok = value.p != nullptr && PyDict_SetItem(dict.p, key.p, value.p) == 0;
        });
        return ok ? dict.release() : nullptr;
    });
}

// ---- audio -----------------------------------------------------------------

// The header and layout of a source, read without the lock.
struct Opened {
    HeaderBlock block;
    AudioLayout layout;
};

bool open_audio(const Source& source, std::optional<Opened>& out) {
    std::optional<Result<Opened>> opened;
    {
        Unlocked unlocked;
        opened.emplace([&]() -> Result<Opened> {
            SV_ASSIGN_OR_RETURN(HeaderBlock block, pipeline::read_header(source.bytes));
            SV_ASSIGN_OR_RETURN(AudioLayout layout, pipeline::check_audio(block.header, source.bytes.size()));
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

const Signature kAudio{"audio", {"source"}};
const Signature kRead{"read", {"source", "first", "count", "dtype", "pick", "out"}};
const Signature kReadSpan{"read_span", {"source", "start", "stop", "frames", "dtype"}};
const Signature kWavHeader{"wav_header", {"channels", "samplerate", "bits", "length"}};
const Signature kQuoted{"quoted", {"text"}};

PyObject* layout_tuple(const AudioLayout& layout) {
    return Py_BuildValue("(KKKiO)", static_cast<unsigned long long>(layout.channels),
                         static_cast<unsigned long long>(layout.frames),
                         static_cast<unsigned long long>(layout.sample_rate), int{layout.bits_per_sample},
                         layout.stored == pipeline::Stored::Shorten ? Py_True : Py_False);
}

// (channels, frames, samplerate, bits, shorten) of a file whose audio can
// be read: the checks that decoding makes before it decodes.
PyObject* audio(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        Source source;
        if (!bind_arguments(kAudio, args, kwargs, bound) || !to_source(bound[0], source)) return nullptr;
        std::optional<Opened> opened;
        if (!open_audio(source, opened)) return nullptr;
        return layout_tuple(opened->layout);
    });
}

// A new bytearray of `size` bytes for samples. A large one is backed by
// huge pages where the system can, as the core's own buffers are: its first
// touch would otherwise fault once per 4 KiB page.
PyObject* new_samples(std::uint64_t size) {
    PyObject* result = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (result != nullptr) {
        advise_huge_pages(reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(result)), static_cast<std::size_t>(size));
    }
    return result;
}

bool to_type(PyObject* obj, SampleType& out) {
    static constexpr std::pair<const char*, SampleType> kTypes[] = {
        {"int16", SampleType::Int16}, {"int32", SampleType::Int32},
        {"float32", SampleType::Float32}, {"float64", SampleType::Float64}};
    if (PyUnicode_Check(obj)) {
        for (const auto& [name, type] : kTypes) {
            if (PyUnicode_CompareWithASCIIString(obj, name) == 0) {
                out = type;
                return true;
            }
        }
    }
    PyErr_SetString(PyExc_ValueError, "dtype must be 'int16', 'int32', 'float32' or 'float64'");
    return false;
}

// None (every channel) or a tuple of channel indices below `channels`.
bool to_pick(PyObject* obj, std::uint64_t channels, std::vector<std::uint64_t>& out) {
    if (obj == Py_None) return true;
    if (!PyTuple_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "pick must be None or a tuple of channel indices");
        return false;
    }
    const Py_ssize_t n = PyTuple_Size(obj);
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "pick must name at least one channel");
        return false;
    }
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint64_t c = 0;
        if (!to_u64(PyTuple_GetItem(obj, i), "pick", c)) return false;
        if (c >= channels) {
            PyErr_SetString(PyExc_ValueError, "channel index out of range");
            return false;
        }
        out.push_back(c);
    }
    return true;
}

// The rest of a read's arguments once the file is open: the channels
// `pick` (b_pick) and where the samples go (b_out: None, or (address, size)
// of writable memory that the caller keeps alive and exported for the
// call). Cuts the request to the file's frames; `target` is then `out`'s
// memory, or that of a new bytearray in `result`.
bool to_target(PyObject* b_pick, PyObject* b_out, const AudioLayout& layout, FrameRequest& request,
               std::vector<std::uint64_t>& pick, Ref& result, std::uint8_t*& target) {
    if (!to_pick(b_pick, layout.channels, pick)) return false;
    request.pick = pick;
    if (request.first > layout.frames) request.first = layout.frames;
    if (request.count > layout.frames - request.first) request.count = layout.frames - request.first;
    const Result<std::uint64_t> size = pipeline::request_size(layout, request);
    if (!size) return raise_error(size.error()), false;
    if (b_out != Py_None) {
        std::uint64_t address = 0, room = 0;
        if (!PyTuple_Check(b_out) || PyTuple_Size(b_out) != 2 ||
            !to_u64(PyTuple_GetItem(b_out, 0), "out", address) || !to_u64(PyTuple_GetItem(b_out, 1), "out", room)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "out must be None or (address, size)");
            return false;
        }
        if (room < *size || address == 0) {
            PyErr_SetString(PyExc_ValueError, "out is too small for the frames read");
            return false;
        }
        target = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
        return true;
    }
    result.p = new_samples(*size);
    if (result.p == nullptr) return false;
    target = reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(result.p));
    return true;
}

// first, count and dtype of a read, converted in that order.
bool to_span(PyObject* const* b, FrameRequest& request) {
    return to_u64(b[0], "first", request.first) && to_u64(b[1], "count", request.count) && to_type(b[2], request.type);
}

// What a read returns: the new bytearray, or the number of frames written
// into `out`.
PyObject* read_result(Ref& result, const FrameRequest& request) {
    return result.p != nullptr ? result.release() : PyLong_FromUnsignedLongLong(request.count);
}

// Reads frames [first, first + count) (cut to the file's frames) of the
// channels `pick` as `dtype`. Without `out`, returns a new bytearray holding
// them; with `out` = (address, size) of writable memory that the caller
// keeps alive and exported for the call, writes them there and returns the
// number of frames. A Shorten file is decoded up to the last frame read.
PyObject* read(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* b[6];
        Source source;
        FrameRequest request;
        std::vector<std::uint64_t> pick;
        if (!bind_arguments(kRead, args, kwargs, b) || !to_source(b[0], source) || !to_span(b + 1, request)) {
            return nullptr;
        }
        std::optional<Opened> opened;
        if (!open_audio(source, opened)) return nullptr;
        Ref result;
        std::uint8_t* target = nullptr;
        if (!to_target(b[4], b[5], opened->layout, request, pick, result, target)) return nullptr;
        Status status;
        {
            Unlocked unlocked;
            status = pipeline::read_frames(source.bytes, opened->layout, request, target);
        }
        if (!status) return raise_failure(status.error(), source.bytes);
        return read_result(result, request);
    });
}

bool to_i64(PyObject* obj, const char* parameter, std::int64_t& out) {
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be an int", parameter);
        return false;
    }
    out = PyLong_AsLongLong(obj);
    return !(out == -1 && PyErr_Occurred());
}

// A slice index of a sequence of `n` items, as Python cuts one: negative
// counts from the end, and the result lies in [0, n].
std::uint64_t slice_index(std::int64_t index, std::uint64_t n) {
    if (index < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-(index + 1)) + 1;
        return back >= n ? 0 : n - back;
    }
    return static_cast<std::uint64_t>(index) > n ? n : static_cast<std::uint64_t>(index);
}

// One call for a whole read by frame indices: frames [start, stop) of every
// channel as `dtype`, start and stop cut as slice indices (stop None: the
// end), at most `frames` of them when frames >= 0. Returns (samples as a
// bytearray, channels, samplerate, frames read).
PyObject* read_span(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* b[5];
        Source source;
        std::int64_t start = 0, stop = 0, frames = 0;
        FrameRequest request;
        if (!bind_arguments(kReadSpan, args, kwargs, b) || !to_source(b[0], source) || !to_i64(b[1], "start", start) ||
            (b[2] != Py_None && !to_i64(b[2], "stop", stop)) || !to_i64(b[3], "frames", frames) ||
            !to_type(b[4], request.type)) {
            return nullptr;
        }
        std::optional<Opened> opened;
        if (!open_audio(source, opened)) return nullptr;
        const AudioLayout& layout = opened->layout;
        request.first = slice_index(start, layout.frames);
        const std::uint64_t end = b[2] == Py_None ? layout.frames : std::max(slice_index(stop, layout.frames), request.first);
        request.count = end - request.first;
        if (frames >= 0 && static_cast<std::uint64_t>(frames) < request.count) request.count = static_cast<std::uint64_t>(frames);
        const Result<std::uint64_t> size = pipeline::request_size(layout, request);
        if (!size) return raise_error(size.error());
        Ref result(new_samples(*size));
        if (result.p == nullptr) return nullptr;
        Status status;
        {
            Unlocked unlocked;
            status = pipeline::read_frames(source.bytes, layout, request,
                                           reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(result.p)));
        }
        if (!status) return raise_failure(status.error(), source.bytes);
        return Py_BuildValue("(OKKK)", result.p, static_cast<unsigned long long>(layout.channels),
                             static_cast<unsigned long long>(layout.sample_rate),
                             static_cast<unsigned long long>(request.count));
    });
}

#define SV_FUNCTION(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

// ---- Shorten streams ---------------------------------------------------------

// ShortenStream(source): a Shorten file read a part at a time (SoundFile,
// blocks). It holds what it reads (the bytes object, or its own duplicate of
// the file descriptor), the header and a ShortenReader, so that a read that
// goes on from the last costs only its own frames, a read backwards starts
// the stream afresh, and memory follows the block read, not the file.
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
        state->reader.emplace(state->source.bytes, state->opened->layout);
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

PyMethodDef g_stream_methods[] = {
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

PyType_Spec g_stream_spec = {"sonavert._core.ShortenStream", sizeof(ShortenStreamObject), 0, Py_TPFLAGS_DEFAULT,
                             g_stream_slots};

// The 44-byte WAV header for `length` bytes of PCM of this shape.
PyObject* wav_header(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* b[4];
        std::uint64_t channels = 0, rate = 0, bits = 0, length = 0;
        if (!bind_arguments(kWavHeader, args, kwargs, b) || !to_u64(b[0], "channels", channels) ||
            !to_u64(b[1], "samplerate", rate) || !to_u64(b[2], "bits", bits) || !to_u64(b[3], "length", length)) {
            return nullptr;
        }
        if (channels < 1 || rate < 1 || bits > std::numeric_limits<std::uint16_t>::max() ||
            channels > std::uint64_t{std::numeric_limits<std::int64_t>::max()} ||
            rate > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
            PyErr_SetString(PyExc_ValueError, "no SPHERE header has this shape");
            return nullptr;
        }
        const auto header = pipeline::wav_header_for(static_cast<std::int64_t>(channels), static_cast<std::int64_t>(rate),
                                                     static_cast<std::uint16_t>(bits), length);
        if (!header) return raise_error(header.error());
        return bytes_of(ByteView(header->data(), header->size()));
    });
}

// The quoted form of a text, as messages write it.
PyObject* quoted(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kQuoted, args, kwargs, bound)) return nullptr;
        if (!PyUnicode_Check(bound[0])) {
            PyErr_SetString(PyExc_TypeError, "argument 'text' must be str");
            return nullptr;
        }
        Ref utf8(PyUnicode_AsUTF8String(bound[0]));
        if (utf8.p == nullptr) return nullptr;
        const char* data = PyBytes_AsString(utf8.p);
        if (data == nullptr) return nullptr;
        const auto size = static_cast<std::size_t>(PyBytes_Size(utf8.p));
        return text_object(text::quoted(std::string_view(data, size)));
    });
}

PyMethodDef g_functions[] = {
    {"header_bytes_needed", SV_FUNCTION(header_bytes_needed), METH_VARARGS | METH_KEYWORDS,
     "header_bytes_needed(prefix)\n--\n\nHow many bytes of a file its header needs, as far as `prefix` tells."},
    {"read_header", SV_FUNCTION(read_header), METH_VARARGS | METH_KEYWORDS,
     "read_header(source)\n--\n\n(block, header) of a file (bytes or a file descriptor)."},
    {"parse_header", SV_FUNCTION(parse_header), METH_VARARGS | METH_KEYWORDS,
     "parse_header(prefix, file_length)\n--\n\nThe header of a file of `file_length` bytes from its prefix."},
    {"fields", SV_FUNCTION(fields), METH_VARARGS | METH_KEYWORDS,
     "fields(block)\n--\n\nEvery field of a header block as a dict, typed as declared."},
    {"audio", SV_FUNCTION(audio), METH_VARARGS | METH_KEYWORDS,
     "audio(source)\n--\n\n(channels, frames, samplerate, bits, shorten) of a readable file."},
    {"read", SV_FUNCTION(read), METH_VARARGS | METH_KEYWORDS,
     "read(source, first, count, dtype, pick, out)\n--\n\nFrames of a file as samples of `dtype`."},
    {"read_span", SV_FUNCTION(read_span), METH_VARARGS | METH_KEYWORDS,
     "read_span(source, start, stop, frames, dtype)\n--\n\n(samples, channels, samplerate, frames) of a read by "
     "frame indices."},
    {"wav_header", SV_FUNCTION(wav_header), METH_VARARGS | METH_KEYWORDS,
     "wav_header(channels, samplerate, bits, length)\n--\n\nThe WAV header for PCM of this shape."},
    {"write", SV_FUNCTION(write_file), METH_VARARGS | METH_KEYWORDS, kWriteDoc},
    {"quoted", SV_FUNCTION(quoted), METH_VARARGS | METH_KEYWORDS,
     "quoted(text)\n--\n\nThe quoted form of `text` used in messages."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "sonavert._core", "The sonavert package's native layer (private).", 0, g_functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace sonavert::module

PyMODINIT_FUNC PyInit__core(void) {
    return sonavert::module::guarded_with(nullptr, []() -> PyObject* {
        if (!sonavert::module::create_fault_type("sonavert._core.InternalFault",
                                                 "An internal invariant of sonavert._core was violated. This is a bug.")) {
            return nullptr;
        }
        sonavert::module::Ref module(PyModule_Create2(&sonavert::module::g_definition, PYTHON_ABI_VERSION));
        if (module.p == nullptr) return nullptr;
        sonavert::module::Ref stream(PyType_FromSpec(&sonavert::module::g_stream_spec));
        if (stream.p == nullptr || PyModule_AddObject(module.p, "ShortenStream", stream.p) != 0) return nullptr;
        stream.release();  // the module holds it now
        return module.release();
    });
}
