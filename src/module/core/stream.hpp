// sonavert._core.ShortenStream: a Shorten file read a part at a time.
#pragma once

#include "module/python.hpp"

namespace sonavert::module::core {

// How the type is made when the module is created (PyType_FromSpec).
extern PyType_Spec g_stream_spec;

}  // namespace sonavert::module::core
