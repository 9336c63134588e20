#include "pipeline/seek_cache.hpp"

#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <stdexcept>

namespace sonavert::pipeline {

std::optional<FileIdentity> file_identity(int fd) noexcept {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FileIdentity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
    id.mtime_ns = static_cast<std::int64_t>(st.st_mtimespec.tv_sec) * 1'000'000'000 + st.st_mtimespec.tv_nsec;
#else
    id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
#endif
    return id;
}

SeekPointCache& SeekPointCache::shared() {
    // The limit can be set for a whole tree of processes (workers that do
    // not share their parent's memory) by the environment: a number of
    // bytes; anything else keeps the default.
    static SeekPointCache cache([] {
        const char* text = std::getenv("SONAVERT_SEEK_POINT_CACHE");
        if (text == nullptr || *text == '\0') return kDefaultLimit;
        std::size_t limit = 0;
        const char* end = text + std::strlen(text);
        const auto [at, error] = std::from_chars(text, end, limit);
        return error == std::errc() && at == end ? limit : kDefaultLimit;
    }());
    return cache;
}

std::size_t SeekPointCache::Hash::operator()(const FileIdentity& f) const noexcept {
    std::size_t h = std::hash<std::uint64_t>{}(f.inode);
    for (const std::uint64_t v : {f.device, f.size, static_cast<std::uint64_t>(f.mtime_ns)}) {
        h ^= std::hash<std::uint64_t>{}(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    return h;
}

// An entry's points and what keeping it costs besides (its list node and
// its slot in the index, about).
std::size_t SeekPointCache::entry_bytes(const Entry& e) noexcept {
    return e.points.bytes() + sizeof(Entry) + 4 * sizeof(void*) + sizeof(FileIdentity);
}

std::optional<shorten::SeekPoint> SeekPointCache::at_or_before(const FileIdentity& file, std::uint64_t frame) {
    const std::lock_guard lock(mutex_);
    const auto found = index_.find(file);
    if (found == index_.end()) return std::nullopt;
    order_.splice(order_.begin(), order_, found->second);
    return found->second->points.at_or_before(frame);
}

void SeekPointCache::add(const FileIdentity& file, const shorten::SeekPoints& points) {
    if (points.empty()) return;
    const std::lock_guard lock(mutex_);
    if (limit_ == 0) return;
    auto found = index_.find(file);
    Order::iterator at;
    if (found == index_.end()) {
        order_.push_front(Entry{file, points, 0});
        at = order_.begin();
        index_.emplace(file, at);
    } else {
        at = found->second;
        order_.splice(order_.begin(), order_, at);
        at->points.merge(points);
    }
    at->points.shrink();
    bytes_ -= at->bytes;
    at->bytes = entry_bytes(*at);
    bytes_ += at->bytes;
    trim(at);
}

void SeekPointCache::trim(Order::iterator keep) {
    while (bytes_ > limit_ && !order_.empty()) {
        auto last = std::prev(order_.end());
        if (last != keep) {
            bytes_ -= last->bytes;
            index_.erase(last->file);
            order_.erase(last);
            continue;
        }
        // Only the file just added is left and it is over the limit alone:
        // it keeps the points that fit, the first ones.
        const std::size_t fixed = entry_bytes(*keep) - keep->points.bytes();
        const std::size_t room = limit_ > fixed ? limit_ - fixed : 0;
        const std::size_t count = room / keep->points.point_bytes();
        bytes_ -= keep->bytes;
        if (count == 0) {
            index_.erase(keep->file);
            order_.erase(keep);
            return;
        }
        keep->points.keep_first(count);
        keep->bytes = entry_bytes(*keep);
        bytes_ += keep->bytes;
        if (bytes_ > limit_) throw std::logic_error("SeekPointCache: points over the limit after trimming");
        return;
    }
}

std::size_t SeekPointCache::limit() const {
    const std::lock_guard lock(mutex_);
    return limit_;
}

void SeekPointCache::set_limit(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    limit_ = bytes;
    trim(order_.end());
}

std::size_t SeekPointCache::bytes() const {
    const std::lock_guard lock(mutex_);
    return bytes_;
}

std::size_t SeekPointCache::files() const {
    const std::lock_guard lock(mutex_);
    return order_.size();
}

void SeekPointCache::clear() {
    const std::lock_guard lock(mutex_);
    order_.clear();
    index_.clear();
    bytes_ = 0;
}

}  // namespace sonavert::pipeline
