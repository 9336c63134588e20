// sonavert._core.ShortenStream: a Shorten file read a part at a time.
#pragma once

#include "module/python.hpp"

namespace sonavert::module::core {

// The type's spec, made into a type when the module is created.
extern PyType_Spec g_stream_spec;

}  // namespace sonavert::module::core
