#include "module/boundary.hpp"

#include <cstdio>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sonavert::module {
namespace {

// Created once per process; never released.
PyObject* g_fault_type = nullptr;

// Blocks this large come from fresh mappings on every call; asking for huge
// pages cuts the number of first-touch page faults by up to 512.
constexpr std::size_t kHugePageAdviceMinimum = std::size_t{8} << 20;

void advise_huge_pages(std::uint8_t* data, std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    if (size < kHugePageAdviceMinimum) return;
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kPage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

std::uint8_t* allocate_bytes_object(std::size_t size, void*& owner) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    PyObject* object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (object == nullptr) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    owner = object;
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object));
    advise_huge_pages(data, size);
    return data;
}

void release_bytes_object(void* owner) noexcept { Py_DECREF(static_cast<PyObject*>(owner)); }

}  // namespace

const BufferSource kResultObjects{allocate_bytes_object, release_bytes_object};

bool create_fault_type() {
    if (g_fault_type != nullptr) return true;
    g_fault_type = PyErr_NewExceptionWithDoc(
        "sonavert_native.InternalFault",
        "An internal invariant of sonavert_native was violated. This is a bug.",
        PyExc_BaseException, nullptr);
    return g_fault_type != nullptr;
}


PyObject* bytes_result(ByteBuffer&& buffer) {
    if (void* object = buffer.release_exact_owner()) return static_cast<PyObject*>(object);
    PyObject* out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                              static_cast<Py_ssize_t>(buffer.size()));
    if (out == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return raise_fault("the interpreter failed to create the result object");
    }
    return out;
}

PyObject* raise_error(const Error& error) {
    PyObject* message = PyUnicode_DecodeUTF8(error.message.data(),
                                             static_cast<Py_ssize_t>(error.message.size()), "replace");
    if (message == nullptr) return raise_fault("the interpreter failed to create an error message");
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
    return nullptr;
}

PyObject* raise_fault(const char* description) noexcept {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    if (g_fault_type == nullptr) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyObject* text = PyUnicode_DecodeUTF8(description, static_cast<Py_ssize_t>(std::strlen(description)),
                                          "replace");
    if (text == nullptr) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyErr_SetObject(g_fault_type, text);
    Py_DECREF(text);
    return nullptr;
}

}  // namespace sonavert::module
