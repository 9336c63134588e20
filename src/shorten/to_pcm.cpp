#include "shorten/to_pcm.hpp"

#include "shorten/decoder.hpp"

namespace sonavert::shorten {

// The decoder already delivers the final 16-bit values (clamped linear
// samples, or mu-law codes through the G.711 table) block by block, so no
// 64-bit copy of the stream's samples is ever held.
Result<ShortenPcm> shorten_to_pcm(ByteView stream) {
    SV_ASSIGN_OR_RETURN(DecodedShorten decoded, decode_shorten(stream));
    ShortenPcm out;
    out.channel_count = decoded.channel_count;
    out.is_ulaw = decoded.is_ulaw;
    out.pcm = std::move(decoded.pcm);
    return out;
}

}  // namespace sonavert::shorten
