#include "module/binding.hpp"
#include "module/ref.hpp"

#include <cstring>

namespace sonavert::module {
namespace {

// "'a' and 'b'", "'a'", "'a', 'b' and 'c'".
PyObject* join_names(const char* const* names, std::size_t count) {
    Ref text(PyUnicode_FromStringAndSize("", 0));
    for (std::size_t i = 0; text.p != nullptr && i < count; ++i) {
        const char* sep = i == 0 ? "" : (i + 1 == count ? " and " : ", ");
        Ref next(PyUnicode_FromFormat("%U%s'%s'", text.p, sep, names[i]));
        Py_XDECREF(text.release());
        text.p = next.release();
    }
    return text.release();
}

bool names_parameter(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// obj.<name> (a new reference), or null with an exception set. The name is
// interned: the interpreter's attribute cache keeps a reference to the name
// of each lookup it caches, and a fresh string per call would fill it with
// copies of the same few names.
PyObject* get_attr(PyObject* obj, const char* name) {
    Ref attr(PyUnicode_FromStringAndSize(name, static_cast<Py_ssize_t>(std::strlen(name))));
    if (attr.p == nullptr) return nullptr;
    PyUnicode_InternInPlace(&attr.p);
    return PyObject_GetAttr(obj, attr.p);
}

// The __qualname__ of obj's type, or the fallback text.
PyObject* type_name(PyObject* obj) {
    Ref name(get_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name.p != nullptr && PyUnicode_Check(name.p)) return name.release();
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

void set_cannot_convert(PyObject* obj, const char* target) {
    Ref name(type_name(obj));
    if (name.p == nullptr) return;
    Ref message(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.p, target));
    if (message.p != nullptr) PyErr_SetObject(PyExc_TypeError, message.p);
}

// A pending conversion failure that is exactly a TypeError becomes a new
// TypeError naming the parameter, keeping the old error's __cause__. Any
// other pending exception is left as it is.
void name_parameter_in_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_tb(traceback);
    if (type != PyExc_TypeError || value == nullptr) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
        return;
    }
    Ref message(PyUnicode_FromFormat("argument '%s': %S", parameter, value));
    if (message.p == nullptr) return;
    Ref wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.p, nullptr));
    if (wrapped.p == nullptr) return;
    PyObject* cause = PyException_GetCause(value);  // new reference or null
    if (cause != nullptr) PyException_SetCause(wrapped.p, cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, wrapped.p);
}

bool attr_equals(PyObject* type, const char* attr, std::initializer_list<const char*> accepted) {
    Ref value(get_attr(type, attr));
    if (value.p == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(value.p)) return false;
    for (const char* a : accepted) {
        if (PyUnicode_CompareWithASCIIString(value.p, a) == 0) return true;
    }
    return false;
}

bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    return attr_equals(type, "__module__", {"numpy"}) && attr_equals(type, "__name__", {"bool_", "bool"});
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const char* const* names = sig.parameters.begin();
    const std::size_t max = sig.parameters.size();
    for (std::size_t i = 0; i < max; ++i) out[i] = nullptr;

    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > max) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                     sig.function, max, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t slot = max;
            for (std::size_t i = 0; i < max; ++i) {
                if (names_parameter(key, names[i])) { slot = i; break; }
            }
            if (slot == max) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             sig.function, key);
                return false;
            }
            if (out[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.function, names[slot]);
                return false;
            }
            out[slot] = value;
        }
    }

    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < max && count < 8; ++i) {
        if (out[i] == nullptr) missing[count++] = names[i];
    }
    if (count != 0) {
        Ref list(join_names(missing, count));
        if (list.p == nullptr) return false;
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %U", sig.function,
                     count, count == 1 ? "argument" : "arguments", list.p);
        return false;
    }
    return true;
}

bool convert_bytes(const char* parameter, PyObject* obj, ByteView& out) {
    if (!PyType_IsSubtype(Py_TYPE(obj), &PyBytes_Type)) {
        set_cannot_convert(obj, "PyBytes");
        name_parameter_in_error(parameter);
        return false;
    }
    const char* data = PyBytes_AsString(obj);
    const Py_ssize_t size = PyBytes_Size(obj);
    if (data == nullptr || size < 0) return false;
    out = ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    return true;
}

bool convert_bool(const char* parameter, PyObject* obj, bool& out) {
    if (Py_TYPE(obj) == &PyBool_Type) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        Ref method(get_attr(obj, "__bool__"));
        Ref value(method.p != nullptr ? PyObject_CallObject(method.p, nullptr) : nullptr);
        if (value.p != nullptr && Py_TYPE(value.p) == &PyBool_Type) {
            out = value.p == Py_True;
            return true;
        }
        if (value.p != nullptr) set_cannot_convert(obj, "PyBool");
        name_parameter_in_error(parameter);
        return false;
    }
    set_cannot_convert(obj, "PyBool");
    name_parameter_in_error(parameter);
    return false;
}

}  // namespace sonavert::module
