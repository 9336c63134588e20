// Releasing the interpreter lock for a scope.
#pragma once

#include "module/python.hpp"

namespace sonavert::module {

// Releases the interpreter lock for its lifetime; takes it back however the
// scope is left (an exception included).
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace sonavert::module
