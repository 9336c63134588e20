#include "shorten/stream_header.hpp"

#include <cstring>

#include "shorten/errors.hpp"

namespace sonavert::shorten {

namespace {

bool type_accepted(std::uint64_t type, std::uint8_t version) noexcept {
    if (type == 3 || type == 5) return true;
    return version == 2 ? type == 8 : type == 0;
}

}  // namespace

Result<StreamStart> read_stream_start(ByteView stream, Versions versions) {
    if (stream.size() < 4 || std::memcmp(stream.data(), "ajkg", 4) != 0) return errors::missing_magic();
    if (stream.size() == 4) return errors::missing_version();
    const std::uint8_t version = stream[4];
    if (versions == Versions::OnlyV2 && version != 2) return errors::unsupported_version(version);
    if (version != 1 && version != 2) return errors::unsupported_stream_version(version);
    BitReader reader(stream, 5);
    std::uint64_t v[6];
    for (std::uint64_t& value : v) {
        SV_ASSIGN_OR_RETURN(value, reader.read_ulong());
    }
    const StreamHeader h{v[0], v[1], v[2], v[3], v[4], version};
    const std::uint64_t nskip = v[5];
    if (nskip > kMaxSkip) return errors::implausible_nskip(nskip);
    for (std::uint64_t i = 0; i < nskip; ++i) {
        std::uint64_t ignored;
        if (!reader.next_uvar(1, ignored)) return reader.error();
    }
    if (!type_accepted(h.sample_type, version)) {
        if (versions == Versions::OnlyV2) return errors::unsupported_sample_type(h.sample_type);
        return errors::unsupported_type_of_version(version, h.sample_type);
    }
    if (h.channels == 0 || h.channels > kMaxChannels) return errors::invalid_channel_count(h.channels);
    if (h.blocksize == 0 || h.blocksize > kMaxBlocksize) return errors::invalid_blocksize(h.blocksize);
    if (h.maxnlpc > kMaxLpcOrder) return errors::implausible_maxnlpc(h.maxnlpc);
    if (h.nmean > kMaxMeanBlocks) return errors::implausible_nmean(h.nmean);
    return StreamStart{h, reader};
}

}  // namespace sonavert::shorten
