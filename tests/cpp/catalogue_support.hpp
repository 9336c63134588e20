// Test helper: the error the library must return, written as its kind and
// exact text. The code is that of the one catalogue entry whose pattern the
// text matches, so comparing with it checks code, kind and text at once.
#pragma once

#include <stdexcept>
#include <string>

#include "common/catalogue.hpp"
#include "oracles.hpp"

namespace sonavert {

inline Error listed(ErrorKind kind, std::string text) {
    const CatalogueEntry* found = nullptr;
    for (const CatalogueEntry& e : catalogue()) {
        if (!testkit::matches_pattern(e.pattern, text)) continue;
        if (found != nullptr) throw std::logic_error("the text matches two catalogue entries: " + text);
        found = &e;
    }
    if (found == nullptr) throw std::logic_error("the text matches no catalogue entry: " + text);
    return Error{kind, std::move(text), found->code};
}
inline Error listed_invalid(std::string text) { return listed(ErrorKind::Invalid, std::move(text)); }
inline Error listed_unsupported(std::string text) { return listed(ErrorKind::Unsupported, std::move(text)); }

}  // namespace sonavert
