// Reads of samples for the package: frame ranges of a file as int16,
// int32, float32 or float64, the lock released while they are decoded.
#include "module/core/reads.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/arguments.hpp"
#include "module/core/sources.hpp"
#include "module/core/unlocked.hpp"

namespace sonavert::module::core {

using pipeline::AudioLayout;
using pipeline::FrameRequest;
using pipeline::SampleType;

namespace {

const Signature kAudio{"audio", {"source"}};
const Signature kRead{"read", {"source", "first", "count", "dtype", "pick", "out"}};
const Signature kSeekPointCache{"seek_point_cache", {"limit"}};
const Signature kReadSpan{"read_span", {"source", "start", "stop", "frames", "dtype"}};

PyObject* layout_tuple(const AudioLayout& layout) {
    return Py_BuildValue("(KKKiO)", static_cast<unsigned long long>(layout.channels),
                         static_cast<unsigned long long>(layout.frames),
                         static_cast<unsigned long long>(layout.sample_rate), int{layout.bits_per_sample},
                         layout.stored == pipeline::Stored::Shorten ? Py_True : Py_False);
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

// A slice index of a sequence of `n` items, as Python cuts one: negative
// counts from the end, and the result lies in [0, n].
std::uint64_t slice_index(std::int64_t index, std::uint64_t n) {
    if (index < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-(index + 1)) + 1;
        return back >= n ? 0 : n - back;
    }
    return static_cast<std::uint64_t>(index) > n ? n : static_cast<std::uint64_t>(index);
}

}  // namespace

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
            status = pipeline::read_frames(source.bytes, opened->layout, request, target, &pipeline::SeekPointCache::shared());
        }
        if (!status) return raise_failure(status.error(), source.bytes);
        return read_result(result, request);
    });
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
                                           reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(result.p)),
                                           &pipeline::SeekPointCache::shared());
        }
        if (!status) return raise_failure(status.error(), source.bytes);
        return Py_BuildValue("(OKKK)", result.p, static_cast<unsigned long long>(layout.channels),
                             static_cast<unsigned long long>(layout.sample_rate),
                             static_cast<unsigned long long>(request.count));
    });
}

}  // namespace sonavert::module::core

namespace sonavert::module::core {

// seek_point_cache(limit): (limit, bytes, files) of the process's cache of
// Shorten seek points, after setting its limit in bytes when `limit` is not
// None (0 empties it and keeps it empty).
PyObject* seek_point_cache(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* b[1];
        if (!bind_arguments(kSeekPointCache, args, kwargs, b)) return nullptr;
        pipeline::SeekPointCache& cache = pipeline::SeekPointCache::shared();
        if (b[0] != Py_None) {
            std::uint64_t limit = 0;
            if (!to_u64(b[0], "limit", limit)) return nullptr;
            cache.set_limit(static_cast<std::size_t>(std::min<std::uint64_t>(limit, SIZE_MAX)));
        }
        return Py_BuildValue("(KKK)", static_cast<unsigned long long>(cache.limit()),
                             static_cast<unsigned long long>(cache.bytes()),
                             static_cast<unsigned long long>(cache.files()));
    });
}

}  // namespace sonavert::module::core
