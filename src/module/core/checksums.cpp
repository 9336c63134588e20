#include "module/core/checksums.hpp"

#include <optional>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/core/sources.hpp"
#include "module/core/unlocked.hpp"
#include "module/ref.hpp"
#include "pipeline/checksum.hpp"
#include "pipeline/errors.hpp"

namespace sonavert::module::core {
namespace {

const Signature kVerify{"verify", {"source"}};

}  // namespace

// (state, sample_checksum, computed sum, message) of a whole file, decoded
// with the lock released. state: "ok"; "unchecked" (the message says why);
// "corrupt" (a mismatch, or data that cannot be decoded: the message says
// which); "unreadable" (a coding or header that is not read). A file that
// cannot be read from the file system raises OSError.
PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_with(&kAdvisedHeap, [&]() -> PyObject* {
        PyObject* bound[1];
        Source source;
        if (!bind_arguments(kVerify, args, kwargs, bound) || !to_source(bound[0], source)) return nullptr;
        std::optional<Result<pipeline::ChecksumCheck>> check;
        {
            Unlocked unlocked;
            check.emplace(pipeline::check_checksum(source.bytes));
        }
        if (!*check) {
            const Error& error = check->error();
            if (source.bytes.os_error() != 0) return raise_failure(error, source.bytes);
            Ref message(text_object(error.message));
            if (message.p == nullptr) return nullptr;
            const char* state = error.kind == ErrorKind::Unsupported ? "unreadable" : "corrupt";
            return Py_BuildValue("(sOOO)", state, Py_None, Py_None, message.p);
        }
        const pipeline::ChecksumCheck& result = **check;
        switch (result.state) {
            case pipeline::ChecksumState::Unchecked: {
                Ref why(text_object(result.unchecked_because));
                if (why.p == nullptr) return nullptr;
                return Py_BuildValue("(sOOO)", "unchecked", Py_None, Py_None, why.p);
            }
            case pipeline::ChecksumState::Match:
                return Py_BuildValue("(sLIs)", "ok", static_cast<long long>(result.declared),
                                     static_cast<unsigned>(result.computed), "");
            case pipeline::ChecksumState::Mismatch: {
                Ref message(text_object(pipeline::errors::checksum_mismatch(result.declared, result.computed).message));
                if (message.p == nullptr) return nullptr;
                return Py_BuildValue("(sLIO)", "corrupt", static_cast<long long>(result.declared),
                                     static_cast<unsigned>(result.computed), message.p);
            }
        }
        return raise_fault("verify: unknown checksum state");
    });
}

}  // namespace sonavert::module::core
