#include "shorten/checked_path.hpp"

#include "common/checked.hpp"
#include "shorten/errors.hpp"

namespace sonavert::shorten {

bool checked_sample(const Block& b, std::int64_t r, const std::int64_t* w, std::int64_t& v) noexcept {
    const std::int64_t mo = b.mean_offset;
    std::int64_t t, u;
    switch (b.function) {
        case kDiff0: return checked_add(r, mo, v);
        case kDiff1: return checked_add(r, w[-1], v);
        case kDiff2:
            return checked_mul<std::int64_t>(2, w[-1], t) && checked_add(r, t, t) && checked_sub(t, w[-2], v);
        case kDiff3:
            return checked_mul<std::int64_t>(3, w[-1], t) && checked_add(r, t, t) &&
                   checked_mul<std::int64_t>(3, w[-2], u) && checked_sub(t, u, t) && checked_add(t, w[-3], v);
        default: break;
    }
    if (b.order == 0) return checked_add(r, mo, v);
    std::int64_t sum = 0;  // c[0] weighs the most recent sample
    for (std::size_t k = 0; k < b.order; ++k) {
        if (!checked_sub(w[-1 - static_cast<std::ptrdiff_t>(k)], mo, t) || !checked_mul(b.coefs[k], t, t) ||
            !checked_add(sum, t, sum)) {
            return false;
        }
    }
    return checked_add(sum, b.lpc_rounding, sum) && checked_add(r, sum >> 5, t) && checked_add(t, mo, v);
}

Status checked_chunk(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) {
        std::int64_t r;
        if (!reader.next_var(b.width, r)) return reader.error();
        std::int64_t v;
        if (!checked_sample(b, r, s + i, v)) return errors::reconstruction_overflow();
        s[i] = v;
    }
    return ok_status();
}

}  // namespace sonavert::shorten
