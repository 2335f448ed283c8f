#include "Platform/FolderAccess.h"

#include "Platform/FolderBookmark.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

FolderAccess::FolderAccess(FolderAccess &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path))
{}

FolderAccess &FolderAccess::operator=(FolderAccess &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

FolderAccess::~FolderAccess()
{
    close();
}

FolderAccess FolderAccess::open(const QByteArray &bookmark)
{
    FolderAccess access;
    const std::optional<QString> path = FolderBookmark::resolve(bookmark);
    if (!path)
        return access;
    const int fd = ::open(QFile::encodeName(*path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return access;
    // The folder may have been swapped between resolving and opening: what is held must be what was granted.
    if (!FolderBookmark::names(bookmark, fd)) {
        ::close(fd);
        return access;
    }
    access.m_fd = fd;
    access.m_path = *path;
    return access;
}

void FolderAccess::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}
