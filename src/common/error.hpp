// The single failure value of the library and the result type that carries
// either a value or that failure.
//
// Errors are values: every fallible operation returns Result<T> (or Status)
// and callers pass the error up unchanged with SV_TRY / SV_ASSIGN_OR_RETURN.
// C++ exceptions are reserved for internal faults and memory exhaustion.
//
// Every message of the library is listed once, with a stable code, in
// common/messages.inc and built by the helpers of common/catalogue.hpp.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace sonavert {

enum class ErrorKind {
    Invalid,      // malformed, truncated, corrupt or out-of-range input
    Unsupported,  // well-formed input using something we do not handle
};

// The code of a catalogued message (common/messages.inc): the room and the
// name of its helper, e.g. Code::shorten_invalid_blocksize.
#define SV_MESSAGE(code, room, name, kind, pattern) room##_##name = code,
enum class Code : std::uint16_t {
    unlisted = 0,  // a message outside the catalogue (the tools' own)
#include "common/messages.inc"
};
#undef SV_MESSAGE

struct Error {
    ErrorKind kind;
    std::string message;
    Code code = Code::unlisted;

    friend bool operator==(const Error&, const Error&) = default;
};

// Errors outside the catalogue, for the tools' own messages (the library's
// messages come from the helpers of common/catalogue.hpp).
inline Error invalid(std::string message) { return Error{ErrorKind::Invalid, std::move(message)}; }
inline Error unsupported(std::string message) {
    return Error{ErrorKind::Unsupported, std::move(message)};
}

namespace detail {
// Asking a result for what it does not hold is a fault of the caller, which
// the module boundaries report as an internal fault.
[[noreturn]] inline void bad_result_access(const char* what) { throw std::logic_error(what); }
}  // namespace detail

// A value of type T or an Error. Same shape as std::expected, which not every
// compiler/library pair we build with provides yet.
template <class T>
class [[nodiscard]] Result {
public:
    Result(const T& value) : state_(std::in_place_index<0>, value) {}
    Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return *checked_value(); }
    const T& value() const& { return *checked_value(); }
    T&& value() && { return std::move(*checked_value()); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const& { return *checked_error(); }
    Error&& error() && { return std::move(*checked_error()); }

private:
    template <std::size_t I, class Self>
    static auto* checked(Self& self, const char* what) {
        auto* p = std::get_if<I>(&self.state_);
        if (p == nullptr) detail::bad_result_access(what);
        return p;
    }
    T* checked_value() { return checked<0>(*this, "Result::value() of an error"); }
    const T* checked_value() const { return checked<0>(*this, "Result::value() of an error"); }
    Error* checked_error() { return checked<1>(*this, "Result::error() of a value"); }
    const Error* checked_error() const { return checked<1>(*this, "Result::error() of a value"); }

    std::variant<T, Error> state_;
};

// Success without a value, or an Error.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : error_(std::move(error)), ok_(false) {}

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    const Error& error() const& {
        if (ok_) detail::bad_result_access("Status::error() of success");
        return error_;
    }
    Error&& error() && {
        if (ok_) detail::bad_result_access("Status::error() of success");
        return std::move(error_);
    }

private:
    Error error_{ErrorKind::Invalid, {}};
    bool ok_ = true;
};

inline Status ok_status() { return Status(); }

namespace detail {
inline bool failed(const Status& s) { return !s.ok(); }
template <class T>
bool failed(const Result<T>& r) { return !r.has_value(); }
}  // namespace detail

}  // namespace sonavert

#define SV_CONCAT_INNER(a, b) a##b
#define SV_CONCAT(a, b) SV_CONCAT_INNER(a, b)

// Evaluates a Status or Result expression; returns its error from the
// enclosing function when it failed.
#define SV_TRY(expr)                                                  \
    do {                                                              \
        auto&& sv_try_result_ = (expr);                               \
        if (::sonavert::detail::failed(sv_try_result_))               \
            return std::move(sv_try_result_).error();                 \
    } while (0)

// `SV_ASSIGN_OR_RETURN(auto x, f());` declares x from the value of f(), or
// returns f()'s error from the enclosing function.
#define SV_ASSIGN_OR_RETURN(lhs, expr) \
    SV_ASSIGN_OR_RETURN_IMPL(SV_CONCAT(sv_result_, __LINE__), lhs, expr)
#define SV_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
    auto tmp = (expr);                           \
    if (!tmp.has_value()) return std::move(tmp).error(); \
    lhs = std::move(tmp).value()
