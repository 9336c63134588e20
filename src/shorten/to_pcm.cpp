#include "shorten/to_pcm.hpp"

#include "shorten/decoder.hpp"

namespace sonavert::shorten {

// The decoder already delivers the final 16-bit values (clamped linear
// samples, or mu-law codes through the G.711 table) block by block, so no
// 64-bit copy of the stream's samples is ever held.
namespace {

Result<ShortenPcm> to_pcm(ByteView stream, std::optional<std::uint64_t> frames_needed, std::size_t lead) {
    SV_ASSIGN_OR_RETURN(DecodedShorten decoded,
                        decode_shorten(stream, Reconstruction::Proven, frames_needed, lead));
    ShortenPcm out;
    out.channel_count = decoded.channel_count;
    out.is_ulaw = decoded.is_ulaw;
    out.frames = decoded.frames;
    out.pcm = std::move(decoded.pcm);
    return out;
}

}  // namespace

Result<ShortenPcm> shorten_to_pcm(ByteView stream) { return to_pcm(stream, std::nullopt, 0); }

Result<ShortenPcm> shorten_to_pcm(ByteView stream, std::uint64_t frames_needed, std::size_t lead) {
    return to_pcm(stream, frames_needed, lead);
}

}  // namespace sonavert::shorten
