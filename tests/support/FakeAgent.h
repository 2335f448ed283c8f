#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Helpers for tests that launch the scripted stand-in agent (tests/support/fake-agent.cpp).
namespace FakeAgent {

// The built stand-in.
QString path();
// The script the next launched agent runs; it inherits the test's environment.
void setScript(const QString &script);

// What an agent wrote with its "record" step.
struct Record {
    QStringList arguments;
    QHash<QString, QString> environment;
    qint64 pid = 0;
    qint64 processGroup = 0;
    int deathSignal = 0;
};
Record readRecord(const QString &file);
qint64 readPid(const QString &file);

// Alive and not a zombie waiting to be reaped.
bool isAlive(qint64 pid);
// The arguments as the kernel shows them to everyone on the machine.
QByteArray commandLine(qint64 pid);

} // namespace FakeAgent
