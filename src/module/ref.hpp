// An owned reference to a Python object, released at scope exit.
#pragma once

#include "module/python.hpp"

namespace sonavert::module {

struct Ref {
    PyObject* p = nullptr;
    explicit Ref(PyObject* o = nullptr) : p(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p); }
    PyObject* release() {
        PyObject* o = p;
        p = nullptr;
        return o;
    }
};

}  // namespace sonavert::module
