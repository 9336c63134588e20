// sonavert._core.write: a SPHERE file converted by the core's writers to
// SPHERE, raw, WAV, AU or AIFF, in a chosen sample form.
#pragma once

#include "module/python.hpp"

namespace sonavert::module {

// write(source, format, form, channel, first, count) -> bytes
//   source: the whole file (bytes); format: "sph", "raw", "wav", "au" or
//   "aif"; form: "stored", "pcm16", "ulaw" or "alaw"; channel: None (every
//   channel) or one channel counted from 0; frames [first, first + count),
//   cut at the file's end. ValueError with the core's message for a file or
//   choice it refuses. The lock is released while it decodes and writes.
PyObject* write_file(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr const char* kWriteDoc =
    "write(source, format, form, channel, first, count)\n--\n\nA SPHERE file (bytes) converted to "
    "sph, raw, wav, au or aif with samples stored, pcm16, ulaw or alaw.";

}  // namespace sonavert::module
