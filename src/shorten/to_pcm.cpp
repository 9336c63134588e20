#include "shorten/to_pcm.hpp"

namespace sonavert::shorten {

Result<ShortenPcm> shorten_to_pcm(ByteView) {
    return invalid("Shorten decoding is not available yet");
}

}  // namespace sonavert::shorten
