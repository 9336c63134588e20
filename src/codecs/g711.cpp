#include "codecs/g711.hpp"

namespace sonavert::codecs {

ByteBuffer expand_g711(ByteView data, bool alaw, std::size_t lead) {
    if (data.empty() && lead == 0) return ByteBuffer();
    const G711Table table = make_g711_table(alaw);
    // data.size() comes from an object in memory, so twice it fits size_t.
    ByteBuffer out(lead + data.size() * 2);
    std::uint8_t* dst = out.data() + lead;
    for (std::size_t i = 0; i < data.size(); ++i) {
        store_le16(dst + 2 * i, static_cast<std::uint16_t>(table[data[i]]));
    }
    return out;
}

}  // namespace sonavert::codecs
