#pragma once

#include "Shared/AtomicFileWriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

// A small file system that a test fills up, where the machine lets it mount one: a tmpfs in a mount namespace
// of the test's own, so nothing of it outlives the test or shows outside it. Elsewhere (not root, or a
// container that forbids mounts) the folder is an ordinary one and the test makes writes fail instead: in its
// own process by injection at the file layer, in a child process by a file size limit, both answering as a
// file system does. `kind()` says which, for the test's output.
class SmallFullDisk {
public:
    static constexpr int sizeKiB = 256;

    SmallFullDisk()
    {
        if (!privateMounts())
            return;
        const QByteArray options = "size=" + QByteArray::number(sizeKiB) + "k,mode=0700";
        m_mounted = ::mount("ferrowyn-test", QFile::encodeName(m_dir.path()).constData(), "tmpfs", 0,
                            options.constData()) == 0;
    }
    ~SmallFullDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    SmallFullDisk(const SmallFullDisk &) = delete;
    SmallFullDisk &operator=(const SmallFullDisk &) = delete;

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    bool mounted() const { return m_mounted; }
    QString kind() const
    {
        return m_mounted ? QStringLiteral("a full %1 KiB tmpfs").arg(sizeKiB)
                         : QStringLiteral("no mount allowed here: writes made to fail at the file layer");
    }

    // Full until the returned object goes: the space left taken by a filler file, or, without a mount, every
    // write of this process failing as on a full disk. Again after something was deleted, it takes what that
    // gave back.
    [[nodiscard]] std::shared_ptr<void> full()
    {
        if (!m_mounted)
            return std::make_shared<AtomicFileWriter::InjectedFailure>(AtomicFileWriter::Step::write, ENOSPC);
        const QByteArray filler = QFile::encodeName(filePath(QStringLiteral(".filler-%1").arg(++m_fillers)));
        const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const QByteArray block(4096, 'x');
        while (fd >= 0 && ::write(fd, block.constData(), static_cast<size_t>(block.size())) > 0) {
        }
        if (fd >= 0)
            ::close(fd);
        return std::shared_ptr<void>(nullptr, [filler](void *) { ::unlink(filler.constData()); });
    }

    // For a child process started while the disk is full without a mount: no file it writes can grow, and
    // the write fails (EFBIG) instead of ending the process. Call in QProcess's child process modifier.
    static void limitFileSizeInChild()
    {
        const rlimit limit{1, 1};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
    }

private:
    // Once per process: mounts made afterwards by this thread, and inherited by the children it starts, stay
    // in a namespace of their own.
    static bool privateMounts()
    {
        static const bool done = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                                 ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        return done;
    }

    QTemporaryDir m_dir;
    bool m_mounted = false;
    int m_fillers = 0;
};
