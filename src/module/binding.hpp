// Argument binding and conversion for the module's functions.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "common/bytes.hpp"
#include "module/python.hpp"

namespace sonavert::module {

// A function's name and its parameter names, all required, in order.
struct Signature {
    const char* function;
    std::initializer_list<const char*> parameters;
};

// Binds `args` and `kwargs` (may be null) to the parameters of `sig`, writing
// one borrowed reference per parameter into `out`. Returns false with a
// TypeError set when binding fails.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Converts a `bytes` (or subclass) argument to a view of its own buffer.
// Returns false with the exception set on failure.
bool convert_bytes(const char* parameter, PyObject* obj, ByteView& out);

// Converts a `bool` (or numpy boolean scalar) argument. Returns false with
// the exception set on failure.
bool convert_bool(const char* parameter, PyObject* obj, bool& out);

}  // namespace sonavert::module
