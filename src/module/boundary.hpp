// Turning results, error values and internal faults into Python objects and
// exceptions.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "module/python.hpp"

namespace sonavert::module {

// Creates the internal-fault exception type (derived from BaseException),
// named `name`. Called once, during module initialisation.
bool create_fault_type(const char* name = "sonavert_native.InternalFault",
                       const char* doc = "An internal invariant of sonavert_native was violated. This is a bug.");

// Lends every ByteBuffer allocated during a call the memory of a new bytes
// object, so that the buffer that becomes the result is handed over as it is.
extern const BufferSource kResultObjects;

// The result object for `buffer`: the bytes object whose memory the buffer
// occupies, when it has its full allocated size, or else a new bytes object
// holding a copy. Null with an exception set on failure.
PyObject* bytes_result(ByteBuffer&& buffer);

// Raises ValueError whose only argument is the error's message, or, once a
// module has chosen its own type for error values, that type called with
// (message, code). Returns null.
PyObject* raise_error(const Error& error);

// Makes raise_error raise `type` (a subclass of ValueError) from now on.
// Each extension module has its own choice; the default stays ValueError.
bool set_error_type(PyObject* type);

// Raises the internal-fault exception with `description`. When the
// interpreter already has an error pending (it failed to make an object),
// that error is printed first. Returns null.
PyObject* raise_fault(const char* description) noexcept;

// Runs `body` with `lend` lent to the buffers it allocates (null: the heap)
// and turns escaping C++ exceptions into Python exceptions: memory
// exhaustion into MemoryError, anything else into the fault type.
template <class Body>
PyObject* guarded_with(const BufferSource* lend, Body&& body) noexcept {
    try {
        try {
            ScopedBufferSource scope(lend);
            return body();
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        } catch (const std::exception& e) {
            return raise_fault(e.what());
        } catch (...) {
            return raise_fault("unknown internal fault");
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

// guarded_with the result objects lent: each buffer is a bytes object.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded_with(&kResultObjects, std::forward<Body>(body));
}

}  // namespace sonavert::module
