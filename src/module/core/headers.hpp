// The package's native functions that read SPHERE headers: how much of a
// file a header needs, the header block of a file, a header parsed from a
// prefix, and every field of a block typed as declared.
#pragma once

#include "module/python.hpp"

namespace sonavert::module::core {

PyObject* header_bytes_needed(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* read_header(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* parse_header(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fields(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace sonavert::module::core
