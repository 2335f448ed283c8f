#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A session's output in files of the session's folder, counted as one byte stream from the session's start:
// files of SessionHolderProtocol::spoolSegmentBytes named by the offset of their first byte, of which the
// newest few are kept (the last 4 MiB or a little more). Readers are served from these files, so what a
// reader gets is always on disk first, and the holder keeps no copy of it in memory.
class HolderSpool {
public:
    explicit HolderSpool(std::string folder);
    ~HolderSpool();
    HolderSpool(const HolderSpool &) = delete;
    HolderSpool &operator=(const HolderSpool &) = delete;

    // Adds `bytes` at the stream's end; false with `error` set when they could not be kept.
    bool append(const char *bytes, std::size_t count, std::string &error);
    // Up to `maxBytes` of the stream from `offset` (between start() and end()), added to `out`; false on a
    // read error.
    bool read(std::uint64_t offset, std::size_t maxBytes, std::string &out) const;
    std::uint64_t start() const { return m_segments.empty() ? m_end : m_segments.front().start; }
    std::uint64_t end() const { return m_end; }

private:
    struct Segment {
        std::uint64_t start;
        int fd;
    };
    bool openSegment(std::string &error);
    std::string pathOf(std::uint64_t start) const;

    std::string m_folder;
    std::vector<Segment> m_segments;
    std::uint64_t m_end = 0;
};
