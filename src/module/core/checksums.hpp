// The package's check of a file's samples against its sample_checksum.
#pragma once

#include "module/python.hpp"

namespace sonavert::module::core {

PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace sonavert::module::core
