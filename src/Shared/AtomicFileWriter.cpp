#include "Shared/AtomicFileWriter.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Injection {
    AtomicFileWriter::Step step;
    int error;
};
std::optional<Injection> injection;

// True, with errno set, when a test made this step fail.
bool injected(AtomicFileWriter::Step step)
{
    if (!injection || injection->step != step)
        return false;
    errno = injection->error;
    return true;
}

bool writeAll(int fd, const QByteArray &contents)
{
    if (injected(AtomicFileWriter::Step::write))
        return false;
    qsizetype done = 0;
    while (done < contents.size()) {
        const ssize_t written =
            ::write(fd, contents.constData() + done, static_cast<size_t>(contents.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A write that took nothing and said nothing still means the bytes are not there.
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        done += written;
    }
    return true;
}

// Where the bytes go: a file kept as a link (a dotfile managed elsewhere) stays a link, and its target is
// replaced.
QString finalPath(const QString &path)
{
    QFileInfo file(path);
    for (int depth = 0; depth < 40 && file.isSymLink(); ++depth)
        file.setFile(file.symLinkTarget());
    return file.isSymLink() ? path : file.filePath();
}

} // namespace

namespace AtomicFileWriter {

QString describe(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("the disk is full");
    case EDQUOT:
        return QStringLiteral("the disk quota is used up");
    case EFBIG:
        return QStringLiteral("the file is larger than this system allows");
    case EROFS:
        return QStringLiteral("the file system is read-only");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    case EIO:
        return QStringLiteral("the disk reported an input/output error");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

std::optional<QString> write(const QString &path, const QByteArray &contents, mode_t mode)
{
    const auto failed = [&path](int error) {
        return QStringLiteral("cannot write %1: %2").arg(path, describe(error));
    };
    const QString target = finalPath(path);
    QByteArray temporary = QFile::encodeName(target) + ".XXXXXX";
    // mkostemp creates the file 0600, before any byte of it exists elsewhere.
    const int fd = injected(Step::create) ? -1 : ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failed(errno);
    int error = 0;
    if ((mode != (S_IRUSR | S_IWUSR) && ::fchmod(fd, mode) != 0) || !writeAll(fd, contents))
        error = errno;
    // Without the sync, a crash soon after the rename could leave the new name pointing at no data.
    else if (injected(Step::sync) || ::fsync(fd) != 0)
        error = errno;
    // Some file systems (NFS) only report a failed write when the file is closed.
    const bool closed = ::close(fd) == 0;
    if (error == 0 && (!closed || injected(Step::close)))
        error = errno;
    if (error == 0 &&
        (injected(Step::rename) || ::rename(temporary.constData(), QFile::encodeName(target)) != 0))
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        return failed(error);
    }
    // The rename itself reaches the disk with the folder; a folder that cannot be synced is no failure of
    // the write, whose data is in place.
    const int folder = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return std::nullopt;
}

InjectedFailure::InjectedFailure(Step step, int error)
    : m_previous(injection ? std::optional(std::pair(injection->step, injection->error)) : std::nullopt)
{
    injection = Injection{step, error};
}

InjectedFailure::~InjectedFailure()
{
    if (m_previous)
        injection = Injection{m_previous->first, m_previous->second};
    else
        injection.reset();
}

} // namespace AtomicFileWriter
