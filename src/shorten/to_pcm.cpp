#include "shorten/to_pcm.hpp"

namespace sonavert::shorten {

Result<ShortenPcm> shorten_to_pcm(ByteView stream) { return decode_shorten(stream); }

Result<ShortenPcm> shorten_to_pcm(ByteView stream, std::uint64_t frames_needed, std::size_t lead,
                                  ShortenSamples samples, Versions versions) {
    return decode_shorten(stream, Reconstruction::Proven, frames_needed, lead, samples, versions);
}

}  // namespace sonavert::shorten
