// Reading parts of a SPHERE file: its header block alone, or a range of
// frames and a choice of channels converted to the sample type a caller
// asks for. Plain PCM and G.711 touch only the header and the bytes of the
// frames asked for; Shorten decodes the stream up to the last frame asked for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "codecs/payload.hpp"
#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/seek_cache.hpp"
#include "pipeline/wav_writer.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {

// Where the bytes of a file come from: memory, or an open file descriptor
// read with pread at given offsets (its position is never used or moved).
class ByteSource {
public:
    static ByteSource of_memory(ByteView bytes) noexcept { return ByteSource(bytes, -1, bytes.size()); }
    static ByteSource of_descriptor(int fd, std::uint64_t size) noexcept { return ByteSource({}, fd, size); }

    std::uint64_t size() const noexcept { return size_; }
    // The open file read, or -1 for a source in memory.
    int descriptor() const noexcept { return fd_; }

    // Reads [offset, offset + n) into `out`. On failure the error says what
    // happened and os_error() holds the errno of a failed read (0 when the
    // file ended early: it shrank since its size was taken).
    Status read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;
    int os_error() const noexcept { return os_error_; }

    // The bytes [offset, offset + n) where they lie, for a source in memory
    // and a range within it; null otherwise.
    const std::uint8_t* memory_at(std::uint64_t offset, std::uint64_t n) const noexcept {
        if (fd_ >= 0 || offset > size_ || n > size_ - offset) return nullptr;
        return memory_.data() + offset;
    }

private:
    ByteSource(ByteView memory, int fd, std::uint64_t size) noexcept : memory_(memory), fd_(fd), size_(size) {}

    ByteView memory_;
    int fd_;
    std::uint64_t size_;
    mutable int os_error_ = 0;
};

// A header block read from a source, and the header parsed from it (its
// views point into `bytes`, which never moves while it lives).
struct HeaderBlock {
    ByteBuffer bytes;
    sphere::SphereHeader header;
};

// Reads and parses the header of the file in `source`, reading no more than
// the header block (or the whole file when it is shorter). Messages are
// those of sphere::parse_header on the whole file.
Result<HeaderBlock> read_header(const ByteSource& source);

// How the samples of a file are stored. PcuLaw: mu-law with the bits of
// each code byte reversed; PcuLawShorten: those code bytes in a Shorten
// stream (see codecs::Decoder), read by decoding the whole stream.
enum class Stored { Pcm16Le, Pcm16Be, Pcm32Le, Pcm32Be, MuLaw, ALaw, Shorten, PcuLaw, PcuLawShorten };

// How a parsed header's coding stores samples, or the error of decoding for
// a coding that cannot be decoded (the checks of choosing a decoder, then of
// that decoder before it reads the payload). Every coding of
// codecs::Reading::Corpora is read; the header's payload view holds the
// payload's first bytes, in a file of `file_length` bytes, so that a
// Shorten stream under a header that names no compression is found too
// (codecs::undeclared_shorten).
Result<Stored> stored_coding(const sphere::SphereHeader& header, std::uint64_t file_length);

// The width of the samples decoded from `stored`: 32 for 32-bit PCM, else 16.
std::uint16_t decoded_width(Stored stored) noexcept;

// What a valid header says about the audio, after the checks that decoding
// the file would make before it decodes, in the same order and with the
// same messages: the declared payload within the file, then the coding.
// The refusals of check_readable come first, and a sample_count that counts
// every channel (counts_every_channel) gives frames = sample_count /
// channels, with no truncation check: the payload holds exactly those.
struct AudioLayout {
    Stored stored = Stored::Pcm16Le;
    std::uint16_t bits_per_sample = 16;  // of the decoded samples
    std::uint64_t channels = 1;
    std::uint64_t frames = 0;            // sample_count
    std::uint64_t sample_rate = 0;
    std::uint64_t payload_offset = 0;    // the header size
    std::uint64_t stored_frame_bytes = 0;  // bytes per stored frame (0 for Shorten)
    bool counts_every_channel = false;     // sample_count is the total over channels
};
Result<AudioLayout> check_audio(const sphere::SphereHeader& header, std::uint64_t file_length);

// The sample types a caller can ask for, written little-endian.
enum class SampleType { Int16, Int32, Float32, Float64 };
std::size_t sample_size(SampleType type) noexcept;

// Frames [first, first + count) of the file (first + count <= frames), the
// channels `pick` in that order (every channel when empty; indices below
// the channel count, repeats allowed), as `type`.
struct FrameRequest {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::span<const std::uint64_t> pick;
    SampleType type = SampleType::Int16;
};

// The size in bytes of a request's result, or an error when it overflows.
Result<std::uint64_t> request_size(const AudioLayout& layout, const FrameRequest& request);

// Frames of a Shorten file, made in order by an incremental decoder. A read
// of frames [first, first + count) decodes the stream up to its last frame
// and stops there, so a fault in the stream after that frame is not seen; a
// read that ends at the file's last frame goes on to the end of the stream
// and makes every check of decoding the whole file, with the same messages
// in the same order. Reading on from where the last read ended costs only
// the new frames; reading backwards starts the stream afresh. A file on
// disk is read as the decoder reaches it, into one buffer of the payload's
// size that is touched only as far as it is filled; memory otherwise
// follows the stream's blocksize, not its length.
//
// Seek points: the reader records them as it decodes and keeps them (see
// shorten/seek_points.hpp), and a read resumes from the last point at or
// before its first frame, or goes on from where the last read ended when
// that is nearer. With a cache, points of a file on disk are also looked up
// in and added to it, under the file's identity as it is when the reader is
// made (and only while the file keeps it).
class ShortenReader {
public:
    // `source` and `layout` (of a Shorten file), and `cache` when given,
    // must outlive the reader.
    ShortenReader(const ByteSource& source, const AudioLayout& layout, SeekPointCache* cache = nullptr);
    ShortenReader(ShortenReader&&) noexcept;
    ShortenReader& operator=(ShortenReader&&) noexcept;
    ~ShortenReader();

    // Converts the request (first + count <= frames) into `out`
    // (request_size bytes). An empty request reads and checks nothing,
    // except in a file without frames, where it is a read to the end.
    Status read(const FrameRequest& request, std::uint8_t* out);

    // The next frame a read continues from without starting afresh.
    std::uint64_t position() const noexcept;
    // Bytes of memory the reader holds for the payload: those read around
    // where it reads now (0 for a source in memory, which is decoded where
    // it lies).
    std::uint64_t payload_bytes_held() const noexcept;
    // Bytes of decoded samples the decoder holds now.
    std::size_t buffered_bytes() const noexcept;
    // The reader's own seek points: how many, and the bytes they take.
    std::size_t seek_points() const noexcept;
    std::size_t seek_point_bytes() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Converts the request into `out` (request_size bytes). Plain PCM and G.711
// are read from `source`: only the requested frames' bytes, and they fail
// only when the source fails to read; Shorten goes through a ShortenReader
// of its own.
// `cache`: where a Shorten read looks for seek points and leaves the points
// it records (see ShortenReader).
Status read_frames(const ByteSource& source, const AudioLayout& layout, const FrameRequest& request,
                   std::uint8_t* out, SeekPointCache* cache = nullptr);

// Converts `frames` interleaved frames of `channels` samples at `in`, stored
// as `stored` (not Shorten; decoded Shorten is Pcm16Le), into `out`.
void convert_samples(Stored stored, const std::uint8_t* in, std::uint64_t frames, std::uint64_t channels,
                     std::span<const std::uint64_t> pick, SampleType type, std::uint8_t* out) noexcept;

// The WAV header for PCM of the given shape: the writer's limits on channel
// count and sample rate as a conversion applies them, then write_wav's
// checks, in that order.
Result<std::array<std::uint8_t, kWavHeaderSize>> wav_header_for(std::int64_t channels, std::int64_t sample_rate,
                                                                std::uint16_t bits_per_sample,
                                                                std::uint64_t pcm_length);

}  // namespace sonavert::pipeline
