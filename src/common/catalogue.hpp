// The message catalogue (common/messages.inc) as code: the entries, and one
// helper per message, `room::errors::name(values...)`, that fills in the
// message's placeholders in order and returns the Error with its code and
// kind. The number of values is checked against the pattern when compiling.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common/error.hpp"

namespace sonavert {

struct CatalogueEntry {
    Code code;
    ErrorKind kind;
    std::string_view pattern;  // {n}, {q} and {t} mark the inserted values
    std::string_view room;
    std::string_view name;
};

// Every entry, in the order of the catalogue.
std::span<const CatalogueEntry> catalogue() noexcept;

// The entry of `code`, or null for Code::unlisted and unknown codes.
const CatalogueEntry* catalogue_entry(Code code) noexcept;

namespace detail {

constexpr std::string_view pattern_of(Code code) {
    switch (code) {
#define SV_MESSAGE(code, room, name, kind, pattern) \
    case Code::room##_##name: return pattern;
#include "common/messages.inc"
#undef SV_MESSAGE
        case Code::unlisted: break;
    }
    return {};
}

constexpr std::size_t placeholder_count(std::string_view pattern) {
    std::size_t count = 0;
    for (std::size_t i = 0; i + 2 < pattern.size(); ++i) {
        if (pattern[i] == '{' && pattern[i + 2] == '}' &&
            (pattern[i + 1] == 'n' || pattern[i + 1] == 'q' || pattern[i + 1] == 't')) {
            ++count;
        }
    }
    return count;
}

// One value to insert: an integer or a text.
struct MessageValue {
    enum class Type { Signed, Unsigned, Text } type;
    std::int64_t signed_value = 0;
    std::uint64_t unsigned_value = 0;
    std::string_view text;
};

template <class T>
MessageValue message_value(const T& v) {
    if constexpr (std::same_as<T, bool> || std::same_as<T, char>) {
        static_assert(!sizeof(T), "insert numbers or texts, not bool or char");
    } else if constexpr (std::signed_integral<T>) {
        return {MessageValue::Type::Signed, static_cast<std::int64_t>(v), 0, {}};
    } else if constexpr (std::unsigned_integral<T>) {
        return {MessageValue::Type::Unsigned, 0, static_cast<std::uint64_t>(v), {}};
    } else {
        return {MessageValue::Type::Text, 0, 0, std::string_view(v)};
    }
}

// The catalogued message of `code` with `values` inserted, written once into
// memory of its final size.
Error format_error(Code code, std::initializer_list<MessageValue> values);

}  // namespace detail

template <Code C, class... Values>
Error make_error(const Values&... values) {
    static_assert(detail::placeholder_count(detail::pattern_of(C)) == sizeof...(Values),
                  "the message takes another number of values");
    return detail::format_error(C, {detail::message_value(values)...});
}

// The helpers: sphere::errors::missing_magic(), shorten::errors::invalid_blocksize(n), ...
#define SV_MESSAGE(code, room, name, kind, pattern)            \
    namespace room::errors {                                   \
    template <class... Values>                                 \
    Error name(const Values&... values) {                      \
        return make_error<Code::room##_##name>(values...);     \
    }                                                          \
    }
#include "common/messages.inc"
#undef SV_MESSAGE

}  // namespace sonavert
