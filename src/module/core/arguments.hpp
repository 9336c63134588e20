// Argument conversions the package's native functions share.
#pragma once

#include <cstdint>

#include "module/python.hpp"
#include "module/ref.hpp"

namespace sonavert::module {

// An integer argument as Python's int: an int, or anything that says it is
// one through __index__ (numpy's integer scalars). A TypeError names the
// parameter.
inline PyObject* to_index(PyObject* obj, const char* parameter) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s' must be an int", parameter);
    }
    return index;
}

// A non-negative integer argument as a 64-bit count; an OverflowError comes
// from the interpreter.
inline bool to_u64(PyObject* obj, const char* parameter, std::uint64_t& out) {
    Ref index(to_index(obj, parameter));
    if (index.p == nullptr) return false;
    out = PyLong_AsUnsignedLongLong(index.p);
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

// A signed integer argument as a 64-bit value.
inline bool to_i64(PyObject* obj, const char* parameter, std::int64_t& out) {
    Ref index(to_index(obj, parameter));
    if (index.p == nullptr) return false;
    out = PyLong_AsLongLong(index.p);
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace sonavert::module
