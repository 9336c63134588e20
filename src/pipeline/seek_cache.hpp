// The seek points of Shorten files, shared by every reader in the process.
// Points are kept per file under its identity (device, inode, size and
// modification time in nanoseconds), so that a file that changed is looked
// up under another key and never gets the points of its old content. The
// cache holds at most `limit` bytes of points; the files least recently
// used go first. Thread-safe: one mutex, held only to copy a point out or
// to merge points in, never while a stream is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "shorten/seek_points.hpp"

namespace sonavert::pipeline {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file open as `fd`, or nullopt when it cannot be taken
// (fstat fails, or the descriptor is not a regular file: a pipe has no
// content that stays put).
std::optional<FileIdentity> file_identity(int fd) noexcept;

class SeekPointCache {
public:
    static constexpr std::size_t kDefaultLimit = std::size_t{64} << 20;  // 64 MiB

    explicit SeekPointCache(std::size_t limit = kDefaultLimit) : limit_(limit) {}
    // The cache of the process, for every reader of its files. Its limit
    // starts as SONAVERT_SEEK_POINT_CACHE (bytes) in the environment says,
    // or kDefaultLimit.
    static SeekPointCache& shared();

    // The last point at or before `frame` of the file, if the cache holds one.
    std::optional<shorten::SeekPoint> at_or_before(const FileIdentity& file, std::uint64_t frame);
    // Adds the points of the file (values_per_point each) that the cache
    // does not hold yet, then lets go of the files least recently used, and
    // if need be of this file's last points, until it holds at most limit().
    void add(const FileIdentity& file, const shorten::SeekPoints& points);

    std::size_t limit() const;
    // A new limit, applied at once (0: the cache keeps nothing).
    void set_limit(std::size_t bytes);
    std::size_t bytes() const;  // held now
    std::size_t files() const;
    void clear();

private:
    struct Hash {
        std::size_t operator()(const FileIdentity& f) const noexcept;
    };
    struct Entry {
        FileIdentity file;
        shorten::SeekPoints points;
        std::size_t bytes;  // counted for the limit
    };
    using Order = std::list<Entry>;  // most recently used first

    static std::size_t entry_bytes(const Entry& e) noexcept;
    void trim(Order::iterator keep);

    mutable std::mutex mutex_;
    std::size_t limit_;
    std::size_t bytes_ = 0;
    Order order_;
    std::unordered_map<FileIdentity, Order::iterator, Hash> index_;
};

}  // namespace sonavert::pipeline
