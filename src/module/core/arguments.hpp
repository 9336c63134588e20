// Argument conversions the package's native functions share.
#pragma once

#include <cstdint>

#include "module/python.hpp"

namespace sonavert::module {

// A non-negative int argument as a 64-bit count; a TypeError names the
// parameter, an OverflowError comes from the interpreter.
inline bool to_u64(PyObject* obj, const char* parameter, std::uint64_t& out) {
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be an int", parameter);
        return false;
    }
    out = PyLong_AsUnsignedLongLong(obj);
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

}  // namespace sonavert::module
