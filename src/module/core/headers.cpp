// Headers for the package: their blocks, what they say, and their fields.
#include "module/core/headers.hpp"

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/arguments.hpp"
#include "module/core/sources.hpp"
#include "module/core/unlocked.hpp"
#include "module/ref.hpp"
#include "pipeline/header_rules.hpp"
#include "sphere/fields.hpp"
#include "sphere/numbers.hpp"

namespace sonavert::module::core {
namespace {

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

// (header_size, channels, samplerate, frames, coding, bits, subtype, shorten,
// counts_every_channel) of a parsed header of a file of `file_length` bytes;
// bits (the decoded width) and subtype are None for a coding that cannot be
// decoded or a header that reads refuse (check_readable). frames is the
// count per channel, also where sample_count counts every channel.
PyObject* header_tuple(const sphere::SphereHeader& header, std::uint64_t file_length) {
    auto number = [&](const char* name) -> std::int64_t {
        const Result<std::int64_t> value = sphere::require_int(header.fields, name);
        return value ? *value : 0;  // validated: always present
    };
    const bool every_channel = pipeline::counts_every_channel(header, file_length - header.header_size);
    const std::int64_t frames = number("sample_count") / (every_channel ? number("channel_count") : 1);
    Result<pipeline::Stored> stored = pipeline::stored_coding(header, file_length);
    if (Status readable = pipeline::check_readable(header); !readable) stored = std::move(readable).error();
    Ref bits(stored ? PyLong_FromLong(pipeline::decoded_width(*stored)) : (Py_INCREF(Py_None), Py_None));
    Ref subtype(stored ? PyUnicode_FromString(subtype_name(*stored)) : (Py_INCREF(Py_None), Py_None));
    Ref coding(text_object(sphere::field_text(header.fields, "sample_coding", "pcm")));
    if (bits.p == nullptr || subtype.p == nullptr || coding.p == nullptr) return nullptr;
    const bool shorten =
        stored && (*stored == pipeline::Stored::Shorten || *stored == pipeline::Stored::PcuLawShorten);
    return Py_BuildValue("(KLLLOOOOO)", static_cast<unsigned long long>(header.header_size),
                         static_cast<long long>(number("channel_count")), static_cast<long long>(number("sample_rate")),
                         static_cast<long long>(frames), coding.p, bits.p, subtype.p, shorten ? Py_True : Py_False,
                         every_channel ? Py_True : Py_False);
}

const Signature kHeaderBytesNeeded{"header_bytes_needed", {"prefix"}};
const Signature kReadHeader{"read_header", {"source"}};
const Signature kParseHeader{"parse_header", {"prefix", "file_length"}};
const Signature kFields{"fields", {"block"}};

}  // namespace

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
        std::optional<Result<pipeline::HeaderBlock>> block;
        {
            Unlocked unlocked;
            block.emplace(pipeline::read_header(source.bytes));
        }
        if (!*block) return raise_failure(block->error(), source.bytes);
        const pipeline::HeaderBlock& read = **block;
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

}  // namespace sonavert::module::core
