// The sonavert_native extension module: initialisation and function table.
#include "codecs/g711.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "pipeline/drivers.hpp"
#include "shorten/to_pcm.hpp"

namespace sonavert::module {
namespace {

// A whole-file conversion: one `bytes` argument in, one `bytes` result out.
template <Result<ByteBuffer> (*Operation)(ByteView)>
PyObject* file_function(const Signature& sig, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(sig, args, kwargs, bound)) return nullptr;
        ByteView input;
        if (!convert_bytes(*sig.parameters.begin(), bound[0], input)) return nullptr;
        Result<ByteBuffer> result = Operation(input);
        if (!result) return raise_error(result.error());
        return bytes_result(std::move(*result));
    });
}

const Signature kTranscode{"transcode", {"sph"}};
const Signature kDecodePcm{"decode_pcm", {"sph"}};
const Signature kShortenToPcm{"shorten_to_pcm", {"stream"}};
const Signature kG711Expand{"g711_expand", {"data", "alaw"}};

PyObject* transcode(PyObject*, PyObject* args, PyObject* kwargs) {
    return file_function<pipeline::transcode_to_wav>(kTranscode, args, kwargs);
}

PyObject* decode_pcm(PyObject*, PyObject* args, PyObject* kwargs) {
    return file_function<pipeline::decode_pcm>(kDecodePcm, args, kwargs);
}

PyObject* shorten_to_pcm(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kShortenToPcm, args, kwargs, bound)) return nullptr;
        ByteView stream;
        if (!convert_bytes("stream", bound[0], stream)) return nullptr;
        Result<shorten::ShortenPcm> result = shorten::shorten_to_pcm(stream);
        if (!result) return raise_error(result.error());
        PyObject* channels = PyLong_FromUnsignedLongLong(result->channel_count);
        PyObject* pcm = channels != nullptr ? bytes_result(std::move(result->pcm)) : nullptr;
        PyObject* tuple = pcm != nullptr ? PyTuple_New(3) : nullptr;
        if (tuple == nullptr) {
            Py_XDECREF(channels);
            Py_XDECREF(pcm);
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
            return raise_fault("the interpreter failed to create the result tuple");
        }
        PyObject* flag = result->is_ulaw ? Py_True : Py_False;
        Py_INCREF(flag);
        PyTuple_SetItem(tuple, 0, channels);  // each call steals its item
        PyTuple_SetItem(tuple, 1, flag);
        PyTuple_SetItem(tuple, 2, pcm);
        return tuple;
    });
}

PyObject* g711_expand(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_arguments(kG711Expand, args, kwargs, bound)) return nullptr;
        ByteView data;
        bool alaw = false;
        if (!convert_bytes("data", bound[0], data)) return nullptr;
        if (!convert_bool("alaw", bound[1], alaw)) return nullptr;
        return bytes_result(codecs::expand_g711(data, alaw));
    });
}

#define SV_FUNCTION(name) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

PyMethodDef g_functions[] = {
    {"transcode", SV_FUNCTION(transcode), METH_VARARGS | METH_KEYWORDS,
     "transcode(sph)\n--\n\nTranscode a NIST SPHERE file (bytes) to RIFF/WAV bytes."},
    {"decode_pcm", SV_FUNCTION(decode_pcm), METH_VARARGS | METH_KEYWORDS,
     "decode_pcm(sph)\n--\n\nDecode the payload to interleaved little-endian PCM (the WAV data chunk)."},
    {"shorten_to_pcm", SV_FUNCTION(shorten_to_pcm), METH_VARARGS | METH_KEYWORDS,
     "shorten_to_pcm(stream)\n--\n\nCodec-level kernels, so the Python streaming API accelerates too. "
     "These do\nthe heavy number-crunching only and return PCM bytes; the Python codecs keep\n"
     "their (typed) header cross-checks around these.\nDecode an embedded-shorten stream to LE "
     "16-bit PCM (no header cross-checks).\nReturns `(channel_count, is_ulaw, pcm_bytes)`."},
    {"g711_expand", SV_FUNCTION(g711_expand), METH_VARARGS | METH_KEYWORDS,
     "g711_expand(data, alaw)\n--\n\nExpand G.711 companded bytes to LE 16-bit PCM (`alaw` = "
     "a-law, else mu-law)."},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "sonavert_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module, once created; kept for the life of the process.
PyObject* g_module = nullptr;

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
    if (s != nullptr) PyUnicode_InternInPlace(&s);
    return s;
}

// Sets module.<name> = value (stealing `value`) and appends name to __all__.
bool add_attribute(PyObject* module, PyObject*& all, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    PyObject* key = interned(name);
    bool ok = key != nullptr && PyObject_SetAttr(module, key, value) == 0;
    if (ok && all == nullptr) {
        all = PyList_New(0);
        PyObject* all_name = all != nullptr ? interned("__all__") : nullptr;
        ok = all_name != nullptr && PyObject_SetAttr(module, all_name, all) == 0;
        Py_XDECREF(all_name);
    }
    ok = ok && PyList_Append(all, key) == 0;
    Py_XDECREF(key);
    Py_DECREF(value);
    return ok;
}

PyObject* initialise() {
    if (g_module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "sonavert_native can be initialised only once per interpreter process");
        return nullptr;
    }
    if (!create_fault_type()) return nullptr;
    PyObject* module = PyModule_Create2(&g_definition, PYTHON_ABI_VERSION);
    if (module == nullptr) return nullptr;
    PyObject* all = nullptr;
    // SONAVERT_VERSION: the version of pyproject.toml, set by the build.
    bool ok = add_attribute(module, all, "__version__", PyUnicode_FromStringAndSize(SONAVERT_VERSION, sizeof(SONAVERT_VERSION) - 1));
    PyObject* module_name = ok ? PyModule_GetNameObject(module) : nullptr;
    ok = module_name != nullptr;
    for (PyMethodDef& def : g_functions) {
        if (!ok) break;
        ok = add_attribute(module, all, def.ml_name, PyCMethod_New(&def, module, module_name, nullptr));
    }
    Py_XDECREF(module_name);
    Py_XDECREF(all);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(module);
    g_module = module;
    return module;
}

}  // namespace
}  // namespace sonavert::module

PyMODINIT_FUNC PyInit_sonavert_native(void) {
    return sonavert::module::guarded([] { return sonavert::module::initialise(); });
}
