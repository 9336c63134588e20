#include "module/core/writing.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "common/bytes.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/arguments.hpp"
#include "module/core/unlocked.hpp"
#include "pipeline/convert.hpp"
#include "pipeline/header_rules.hpp"
#include "sphere/header.hpp"

namespace sonavert::module {
namespace {

using pipeline::FormRequest;
using pipeline::OutputFormat;

// Buffers made while the lock is released are bytes objects all the same,
// the lock taken for the moment of their allocation and release, so that
// the file the writer sizes once becomes the result without a copy.
std::uint8_t* allocate_unlocked(std::size_t size, void*& owner) {
    const PyGILState_STATE state = PyGILState_Ensure();
    std::uint8_t* data = nullptr;
    try {
        data = kResultObjects.allocate(size, owner);
    } catch (...) {
        PyGILState_Release(state);
        throw;
    }
    PyGILState_Release(state);
    return data;
}

void release_unlocked(void* owner) noexcept {
    const PyGILState_STATE state = PyGILState_Ensure();
    kResultObjects.release(owner);
    PyGILState_Release(state);
}

const BufferSource kUnlockedObjects{allocate_unlocked, release_unlocked};

const Signature kWrite{"write", {"source", "format", "form", "channel", "first", "count"}};

template <typename T, std::size_t N>
bool to_choice(PyObject* obj, const char* parameter, const std::pair<const char*, T> (&names)[N], T& out) {
    if (PyUnicode_Check(obj)) {
        for (const auto& [name, value] : names) {
            if (PyUnicode_CompareWithASCIIString(obj, name) == 0) {
                out = value;
                return true;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown %s", parameter);
    return false;
}

constexpr std::pair<const char*, OutputFormat> kFormats[] = {{"sph", OutputFormat::Sphere},
                                                             {"raw", OutputFormat::Raw},
                                                             {"wav", OutputFormat::Wav},
                                                             {"au", OutputFormat::Au},
                                                             {"aif", OutputFormat::Aiff}};
constexpr std::pair<const char*, FormRequest> kForms[] = {{"stored", FormRequest::AsStored},
                                                          {"pcm16", FormRequest::Pcm16},
                                                          {"ulaw", FormRequest::MuLaw},
                                                          {"alaw", FormRequest::ALaw}};

}  // namespace

PyObject* write_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kUnlockedObjects, [&]() -> PyObject* {
        PyObject* b[6];
        ByteView source;
        OutputFormat format{};
        FormRequest form{};
        pipeline::Selection sel;
        if (!bind_arguments(kWrite, args, kwargs, b) || !convert_bytes("source", b[0], source) ||
            !to_choice(b[1], "format", kFormats, format) || !to_choice(b[2], "form", kForms, form) ||
            !to_u64(b[4], "first", sel.first) || !to_u64(b[5], "count", sel.count)) {
            return nullptr;
        }
        if (b[3] != Py_None) {
            std::uint64_t channel = 0;
            if (!to_u64(b[3], "channel", channel)) return nullptr;
            // Beyond 32 bits no file has the channel: the core's message.
            sel.channel = channel > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(channel);
        }
        std::optional<Result<ByteBuffer>> out;
        {
            Unlocked unlocked;
            out.emplace([&]() -> Result<ByteBuffer> {
                SV_ASSIGN_OR_RETURN(sphere::SphereHeader header, sphere::parse_header(source));
                SV_TRY(pipeline::adapt_header(header, header.payload.size()));
                return pipeline::convert_selection(header, format, form, sel);
            }());
        }
        if (!*out) return raise_error(out->error());
        return bytes_result(std::move(**out));
    });
}

}  // namespace sonavert::module
