#include "pipeline/drivers.hpp"

namespace sonavert::pipeline {

Result<ByteBuffer> decode_pcm(ByteView) {
    return invalid("SPHERE conversion is not available yet");
}

Result<ByteBuffer> transcode_to_wav(ByteView) {
    return invalid("SPHERE conversion is not available yet");
}

}  // namespace sonavert::pipeline
