#pragma once

#include <QFile>
#include <QStringList>

// Helpers for tests that launch the scripted stand-in agent (tests/support/fake-agent.sh).
namespace FakeAgent {

// The stand-in.
inline QString path()
{
    return QStringLiteral(FERROWYN_FAKE_AGENT_PATH);
}

// The script the next launched agent runs; it inherits the test's environment.
inline void setScript(const QString &script)
{
    qputenv("FAKE_AGENT_SCRIPT", script.toUtf8());
}

// Alive and not a zombie waiting to be reaped: "pid (name) S ..." has the state after the name.
inline bool isAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return pid > 0 && stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}

// Whether the process ignores the signal, as an "ignore-term" step makes it do.
inline bool ignores(qint64 pid, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigIgn:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

// The pid a "grandchild" step wrote, 0 while there is none.
inline qint64 readPid(const QString &file)
{
    QFile input(file);
    return input.open(QIODevice::ReadOnly) ? input.readAll().trimmed().toLongLong() : 0;
}

// A NUL-separated /proc file of a process, such as "cmdline" or "environ".
inline QStringList procList(qint64 pid, const QString &name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(name));
    return file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll()).split(QChar(0), Qt::SkipEmptyParts)
               : QStringList();
}

} // namespace FakeAgent
