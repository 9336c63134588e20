// The package's native functions that read samples: the layout of a file
// whose audio can be read, and reads of frame ranges in a chosen sample
// type, into a new bytearray or memory the caller lends.
#pragma once

#include <cstdint>
#include <vector>

#include "module/python.hpp"
#include "module/ref.hpp"
#include "pipeline/frames.hpp"

namespace sonavert::module::core {

PyObject* audio(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* read(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* read_span(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* seek_point_cache(PyObject* self, PyObject* args, PyObject* kwargs);

// first, count and dtype of a read (the arguments b[0..2]), converted in
// that order.
bool to_span(PyObject* const* b, pipeline::FrameRequest& request);

// The rest of a read's arguments once the file is open: the channels
// `pick` (b_pick) and where the samples go (b_out: None, or (address, size)
// of writable memory that the caller keeps alive and exported for the
// call). Cuts the request to the file's frames; `target` is then `out`'s
// memory, or that of a new bytearray in `result`.
bool to_target(PyObject* b_pick, PyObject* b_out, const pipeline::AudioLayout& layout,
               pipeline::FrameRequest& request, std::vector<std::uint64_t>& pick, Ref& result, std::uint8_t*& target);

// What a read returns: the new bytearray, or the number of frames written
// into `out`.
PyObject* read_result(Ref& result, const pipeline::FrameRequest& request);

}  // namespace sonavert::module::core
