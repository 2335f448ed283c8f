#include "HolderSpool.h"

#include "Shared/SessionHolderProtocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Protocol = SessionHolderProtocol;

HolderSpool::HolderSpool(std::string folder) : m_folder(std::move(folder)) {}

HolderSpool::~HolderSpool()
{
    for (const Segment &segment : m_segments)
        ::close(segment.fd);
}

std::string HolderSpool::pathOf(std::uint64_t start) const
{
    char name[32];
    std::snprintf(name, sizeof name, "%016llu", static_cast<unsigned long long>(start));
    return m_folder + '/' + std::string(Protocol::spoolPrefix) + name;
}

bool HolderSpool::openSegment(std::string &error)
{
    const std::string path = pathOf(m_end);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    m_segments.push_back(Segment{m_end, fd});
    while (m_segments.size() > Protocol::spoolSegmentsKept) {
        ::unlink(pathOf(m_segments.front().start).c_str());
        ::close(m_segments.front().fd);
        m_segments.erase(m_segments.begin());
    }
    return true;
}

bool HolderSpool::append(const char *bytes, std::size_t count, std::string &error)
{
    while (count > 0) {
        if (m_segments.empty() || m_end - m_segments.back().start >= Protocol::spoolSegmentBytes) {
            if (!openSegment(error))
                return false;
        }
        const ssize_t written = ::write(m_segments.back().fd, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = std::string("cannot keep the session's output: ") +
                    std::strerror(written < 0 ? errno : ENOSPC);
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
        m_end += static_cast<std::uint64_t>(written);
    }
    return true;
}

bool HolderSpool::read(std::uint64_t offset, std::size_t maxBytes, std::string &out) const
{
    std::size_t index = m_segments.size();
    while (index > 0 && m_segments[index - 1].start > offset)
        --index;
    if (index == 0 || offset >= m_end)
        return true;
    const Segment &segment = m_segments[index - 1];
    const std::uint64_t segmentEnd = index < m_segments.size() ? m_segments[index].start : m_end;
    const std::size_t at = out.size();
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(maxBytes, segmentEnd - offset));
    out.resize(at + wanted);
    std::size_t got = 0;
    while (got < wanted) {
        const ssize_t count = ::pread(segment.fd, out.data() + at + got, wanted - got,
                                      static_cast<off_t>(offset - segment.start + got));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            out.resize(at);
            return false;
        }
        got += static_cast<std::size_t>(count);
    }
    return true;
}
