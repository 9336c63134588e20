#include "common/catalogue.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.hpp"

namespace sonavert {
namespace {

constexpr ErrorKind Invalid = ErrorKind::Invalid;
constexpr ErrorKind Unsupported = ErrorKind::Unsupported;

constexpr CatalogueEntry kEntries[] = {
#define SV_MESSAGE(code, room, name, kind, pattern) {Code::room##_##name, kind, pattern, #room, #name},
#include "common/messages.inc"
#undef SV_MESSAGE
};

bool is_placeholder(std::string_view pattern, std::size_t i) {
    return i + 2 < pattern.size() && pattern[i] == '{' && pattern[i + 2] == '}' &&
           (pattern[i + 1] == 'n' || pattern[i + 1] == 'q' || pattern[i + 1] == 't');
}

struct Inserted {
    std::string number;     // the decimal form of an integer value
    std::string_view text;  // a text value
    bool is_number = false;
    bool quoted = false;

    std::string_view view() const { return is_number ? std::string_view(number) : text; }
};

}  // namespace

std::span<const CatalogueEntry> catalogue() noexcept { return kEntries; }

const CatalogueEntry* catalogue_entry(Code code) noexcept {
    const auto* it = std::find_if(std::begin(kEntries), std::end(kEntries),
                                  [code](const CatalogueEntry& e) { return e.code == code; });
    return it == std::end(kEntries) ? nullptr : it;
}

namespace detail {

Error format_error(Code code, std::initializer_list<MessageValue> values) {
    const CatalogueEntry* entry = catalogue_entry(code);
    if (entry == nullptr) throw std::logic_error("format_error: a code outside the catalogue");
    const std::string_view pattern = entry->pattern;
    // Convert the values first, so that the message is sized once.
    std::size_t length = pattern.size();
    std::vector<Inserted> inserted;
    inserted.reserve(values.size());
    auto value = values.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (!is_placeholder(pattern, i)) continue;
        Inserted part;
        part.quoted = pattern[i + 1] == 'q';
        part.is_number = value->type != MessageValue::Type::Text;
        switch (value->type) {
            case MessageValue::Type::Signed: part.number = std::to_string(value->signed_value); break;
            case MessageValue::Type::Unsigned: part.number = std::to_string(value->unsigned_value); break;
            case MessageValue::Type::Text: part.text = value->text; break;
        }
        length += part.quoted ? text::quoted_length(part.view()) : part.view().size();
        inserted.push_back(std::move(part));
        ++value;
    }
    std::string message;
    message.reserve(length);
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (!is_placeholder(pattern, i)) {
            message.push_back(pattern[i]);
            continue;
        }
        const Inserted& part = inserted[next++];
        if (part.quoted) {
            text::append_quoted(message, part.view());
        } else {
            message.append(part.view());
        }
        i += 2;
    }
    return Error{entry->kind, std::move(message), code};
}

}  // namespace detail
}  // namespace sonavert
