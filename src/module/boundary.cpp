#include "module/boundary.hpp"

#include <cstdio>
#include <cstring>
#include <cstdlib>


namespace sonavert::module {
namespace {

// Created once per process; never released.
PyObject* g_fault_type = nullptr;
// What raise_error raises; null: ValueError. Held until the process ends.
PyObject* g_error_type = nullptr;

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

bool create_fault_type(const char* name, const char* doc) {
    if (g_fault_type != nullptr) return true;
    g_fault_type = PyErr_NewExceptionWithDoc(name, doc, PyExc_BaseException, nullptr);
    return g_fault_type != nullptr;
}


PyObject* bytes_result(ByteBuffer&& buffer) {
    if (void* object = buffer.release_exact_owner()) return static_cast<PyObject*>(object);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buffer.size()));
    if (out == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        return raise_fault("the interpreter failed to create the result object");
    }
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out));
    advise_huge_pages(data, buffer.size());
    if (!buffer.empty()) std::memcpy(data, buffer.data(), buffer.size());
    return out;
}

PyObject* raise_error(const Error& error) {
    PyObject* message = PyUnicode_DecodeUTF8(error.message.data(),
                                             static_cast<Py_ssize_t>(error.message.size()), "replace");
    if (message == nullptr) return raise_fault("the interpreter failed to create an error message");
    if (g_error_type == nullptr) {
        PyErr_SetObject(PyExc_ValueError, message);
        Py_DECREF(message);
        return nullptr;
    }
    PyObject* arguments = Py_BuildValue("(Ni)", message, static_cast<int>(error.code));
    if (arguments == nullptr) return raise_fault("the interpreter failed to create an error message");
    PyErr_SetObject(g_error_type, arguments);
    Py_DECREF(arguments);
    return nullptr;
}

bool set_error_type(PyObject* type) {
    if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                 reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
        PyErr_SetString(PyExc_TypeError, "the error type must be a subclass of ValueError");
        return false;
    }
    Py_INCREF(type);
    PyObject* old = g_error_type;
    g_error_type = type;
    Py_XDECREF(old);
    return true;
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
