#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <utility>

// Replaces a file's contents in one step, host and agent alike: the new bytes go to a temporary file beside
// it, which is written in full, synced to disk and closed, each step checked, and only then renamed over the
// file. When any step fails (a full disk, a quota, a read-only mount) the temporary file is removed and the
// file keeps what it had. The temporary file has its mode from the moment it exists, so a secret is never
// readable by others, not even for an instant. A path that is a symbolic link stays one: the file it leads to
// is replaced.
namespace AtomicFileWriter {

// None when the file now holds `contents`; otherwise why not, in plain words ("cannot write PATH: the disk is
// full").
std::optional<QString> write(const QString &path, const QByteArray &contents,
                             mode_t mode = S_IRUSR | S_IWUSR);

// An error number in words a user can act on.
QString describe(int error);

// The steps of a write, for tests that make one of them fail as a file system would.
enum class Step { create, write, sync, close, rename };

// While it lives, `step` of every write in this process fails with `error`, as if the file system had said
// so. For tests that cannot mount a small full file system of their own.
class InjectedFailure {
public:
    explicit InjectedFailure(Step step, int error = ENOSPC);
    ~InjectedFailure();
    InjectedFailure(const InjectedFailure &) = delete;
    InjectedFailure &operator=(const InjectedFailure &) = delete;

private:
    std::optional<std::pair<Step, int>> m_previous; // the failure in force before, back when this one goes
};

} // namespace AtomicFileWriter
