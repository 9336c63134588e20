// sonavert._core: the package's own way into the core. Private to the
// package (python/sonavert wraps every function): headers and their typed
// fields (headers.cpp), reads of frame ranges from a file descriptor or a
// bytes object (reads.cpp; a Shorten file also through a ShortenStream,
// stream.cpp, which goes on from its last read), conversions by the core's
// writers (writing.cpp), WAV headers and the quoting of messages. The
// interpreter lock is released while files are read and samples decoded or
// converted. This file holds the module's table.
#include <cstdint>
#include <limits>
#include <string_view>

#include "common/text.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/arguments.hpp"
#include "module/core/checksums.hpp"
#include "module/core/headers.hpp"
#include "module/core/reads.hpp"
#include "module/core/sources.hpp"
#include "module/core/stream.hpp"
#include "module/core/writing.hpp"
#include "module/ref.hpp"

namespace sonavert::module::core {
namespace {

const Signature kWavHeader{"wav_header", {"channels", "samplerate", "bits", "length"}};
const Signature kQuoted{"quoted", {"text"}};

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

// Chooses the exception type of the core's error values (the package's
// LibsndfileError), called once by the package when it loads this module.
PyObject* set_error_type(PyObject*, PyObject* type) {
    return guarded_with(nullptr, [&]() -> PyObject* {
        if (!module::set_error_type(type)) return nullptr;
        Py_RETURN_NONE;
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
    {"seek_point_cache", SV_FUNCTION(seek_point_cache), METH_VARARGS | METH_KEYWORDS,
     "seek_point_cache(limit)\n--\n\n(limit, bytes, files) of the process's cache of Shorten seek points, its "
     "limit in bytes set first when limit is not None."},
    {"wav_header", SV_FUNCTION(wav_header), METH_VARARGS | METH_KEYWORDS,
     "wav_header(channels, samplerate, bits, length)\n--\n\nThe WAV header for PCM of this shape."},
    {"write", SV_FUNCTION(write_file), METH_VARARGS | METH_KEYWORDS, kWriteDoc},
    {"verify", SV_FUNCTION(verify), METH_VARARGS | METH_KEYWORDS,
     "verify(source)\n--\n\n(state, sample_checksum, sum, message) of a whole file's samples."},
    {"quoted", SV_FUNCTION(quoted), METH_VARARGS | METH_KEYWORDS,
     "quoted(text)\n--\n\nThe quoted form of `text` used in messages."},
    {"set_error_type", set_error_type, METH_O,
     "set_error_type(type)\n--\n\nRaises `type(message, code)`, a ValueError, for the core's errors from now on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "sonavert._core", "The sonavert package's native layer (private).", 0, g_functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace sonavert::module::core

PyMODINIT_FUNC PyInit__core(void) {
    return sonavert::module::guarded_with(nullptr, []() -> PyObject* {
        if (!sonavert::module::create_fault_type("sonavert._core.InternalFault",
                                                 "An internal invariant of sonavert._core was violated. This is a bug.")) {
            return nullptr;
        }
        sonavert::module::Ref module(PyModule_Create2(&sonavert::module::core::g_definition, PYTHON_ABI_VERSION));
        if (module.p == nullptr) return nullptr;
        sonavert::module::Ref stream(PyType_FromSpec(&sonavert::module::core::g_stream_spec));
        if (stream.p == nullptr || PyModule_AddObject(module.p, "ShortenStream", stream.p) != 0) return nullptr;
        stream.release();  // the module holds it now
        return module.release();
    });
}
