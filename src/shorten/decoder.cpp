#include "shorten/decoder.hpp"

#include "shorten/stream_decoder.hpp"

namespace sonavert::shorten {

Result<DecodedShorten> decode_shorten(ByteView stream, Reconstruction mode,
                                      std::optional<std::uint64_t> frames_needed, std::size_t lead,
                                      ShortenSamples samples, Versions versions) {
    SV_ASSIGN_OR_RETURN(const StreamStart start, read_stream_start(stream, versions));
    StreamDecoder decoder(stream, start, mode, OutputPlan{frames_needed, lead, false, samples});
    return decoder.run();
}

}  // namespace sonavert::shorten
