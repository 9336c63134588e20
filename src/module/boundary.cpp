#include "module/boundary.hpp"

#include <cstdio>
#include <cstdlib>

namespace sonavert::module {
namespace {

// Created once per process; never released.
PyObject* g_fault_type = nullptr;

}  // namespace

bool create_fault_type() {
    if (g_fault_type != nullptr) return true;
    g_fault_type = PyErr_NewExceptionWithDoc(
        "sonavert_native.InternalFault",
        "An internal invariant of sonavert_native was violated. This is a bug.",
        PyExc_BaseException, nullptr);
    return g_fault_type != nullptr;
}

PyObject* bytes_result(const ByteBuffer& buffer) {
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
