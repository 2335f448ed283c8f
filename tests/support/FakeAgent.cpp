#include "FakeAgent.h"

#include <QFile>

#include <signal.h>

QString FakeAgent::path()
{
    return QStringLiteral(FERROWYN_FAKE_AGENT_PATH);
}

void FakeAgent::setScript(const QString &script)
{
    qputenv("FAKE_AGENT_SCRIPT", script.toUtf8());
}

FakeAgent::Record FakeAgent::readRecord(const QString &file)
{
    Record record;
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly))
        return record;
    for (const QByteArray &raw : input.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const QString value = line.section(QLatin1Char('='), 1);
        if (line.startsWith(QStringLiteral("arg=")))
            record.arguments << value;
        else if (line.startsWith(QStringLiteral("env=")))
            record.environment.insert(value.section(QLatin1Char('='), 0, 0),
                                      value.section(QLatin1Char('='), 1));
        else if (line.startsWith(QStringLiteral("pid=")))
            record.pid = value.toLongLong();
        else if (line.startsWith(QStringLiteral("pgid=")))
            record.processGroup = value.toLongLong();
        else if (line.startsWith(QStringLiteral("pdeathsig=")))
            record.deathSignal = value.toInt();
    }
    return record;
}

qint64 FakeAgent::readPid(const QString &file)
{
    QFile input(file);
    return input.open(QIODevice::ReadOnly) ? input.readAll().trimmed().toLongLong() : 0;
}

bool FakeAgent::isAlive(qint64 pid)
{
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    // "pid (name) S ...": the state follows the closing parenthesis.
    const qsizetype close = text.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < text.size() ? text.at(close + 2) : 'X';
    return state != 'Z' && state != 'X';
}

QByteArray FakeAgent::commandLine(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
