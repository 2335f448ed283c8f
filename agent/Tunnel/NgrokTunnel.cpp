#include "Tunnel/NgrokTunnel.h"

#include "AgentLog.h"
#include "Shared/AgentEnvironment.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace {
// Bounds a log line that never ends.
constexpr qsizetype maxLineBytes = 64 * 1024;
} // namespace

NgrokTunnel::LogEvent NgrokTunnel::interpretLogLine(const QByteArray &line)
{
    const QJsonObject record = QJsonDocument::fromJson(line).object();
    if (record.isEmpty())
        return {};
    const QString message = record.value(QStringLiteral("msg")).toString();
    const QString url = record.value(QStringLiteral("url")).toString();
    if (message == QLatin1String("started tunnel") && !url.isEmpty())
        return LogEvent{LogEvent::started, url};
    const QString level = record.value(QStringLiteral("lvl")).toString().toLower();
    if (level == QLatin1String("eror") || level == QLatin1String("error") || level == QLatin1String("crit")) {
        const QString err = record.value(QStringLiteral("err")).toString();
        QString text = message.isEmpty() ? QStringLiteral("ngrok reported an error") : message;
        if (!err.isEmpty() && err != QLatin1String("<nil>"))
            text += QStringLiteral(": ") + err;
        return LogEvent{LogEvent::failed, text};
    }
    return {};
}

NgrokTunnel::NgrokTunnel(TunnelStatus *status, int startTimeoutMs, int stopGraceMs, QObject *parent)
    : QObject(parent), m_status(status), m_stopGraceMs(stopGraceMs)
{
    m_startTimer.setSingleShot(true);
    m_startTimer.setInterval(startTimeoutMs);
    connect(&m_startTimer, &QTimer::timeout, this, [this, startTimeoutMs] {
        fail(QStringLiteral("ngrok gave no public URL within %1 seconds").arg(startTimeoutMs / 1000.0));
        stop();
    });
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    // The tunnel must not outlive the agent, whatever ends the agent.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &NgrokTunnel::readOutput);
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && !m_stopping)
            fail(QStringLiteral("ngrok could not be started: ") + m_process.errorString());
    });
    connect(&m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus exitStatus) {
        m_startTimer.stop();
        if (m_stopping)
            return;
        fail(exitStatus == QProcess::CrashExit ? QStringLiteral("ngrok ended unexpectedly")
                                               : QStringLiteral("ngrok exited with status %1").arg(exitCode));
    });
}

NgrokTunnel::~NgrokTunnel()
{
    stop();
}

void NgrokTunnel::start(quint16 port, const QString &authtoken)
{
    m_authtoken = authtoken;
    m_status->setStarting(QStringLiteral("ngrok"));
    AgentLog::event(QStringLiteral("tunnel: starting ngrok for 127.0.0.1:%1").arg(port));
    const QString program = QStandardPaths::findExecutable(QStringLiteral("ngrok"));
    if (program.isEmpty()) {
        fail(QStringLiteral("ngrok was not found on PATH"));
        return;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // ngrok needs none of the pairing secrets.
    for (const QString &name : environment.keys()) {
        if (name.startsWith(AgentEnvironment::prefix))
            environment.remove(name);
    }
    if (!authtoken.isEmpty())
        environment.insert(QStringLiteral("NGROK_AUTHTOKEN"), authtoken);
    m_process.setProcessEnvironment(environment);
    m_startTimer.start();
    m_process.start(program, {QStringLiteral("http"), QStringLiteral("127.0.0.1:%1").arg(port),
                              QStringLiteral("--log"), QStringLiteral("stdout"),
                              QStringLiteral("--log-format"), QStringLiteral("json")});
}

void NgrokTunnel::stop()
{
    m_startTimer.stop();
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_stopping = true;
    m_process.terminate();
    if (!m_process.waitForFinished(m_stopGraceMs)) {
        m_process.kill();
        m_process.waitForFinished(m_stopGraceMs);
    }
}

void NgrokTunnel::readOutput()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype newline;
    while ((newline = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(newline);
        m_pending.remove(0, newline + 1);
        const LogEvent event = interpretLogLine(line);
        if (event.kind == LogEvent::started && m_status->state() == TunnelState::starting) {
            m_startTimer.stop();
            m_status->setOnline(event.text);
            AgentLog::event(QStringLiteral("tunnel: online at %1").arg(scrubbed(event.text)));
        } else if (event.kind == LogEvent::failed) {
            fail(event.text);
            stop();
            return;
        }
    }
    if (m_pending.size() > maxLineBytes)
        m_pending.clear();
}

void NgrokTunnel::fail(const QString &error)
{
    const QString text = scrubbed(error);
    if (m_status->state() == TunnelState::failed)
        return;
    m_startTimer.stop();
    m_status->setFailed(text);
    AgentLog::error(QStringLiteral("tunnel: failed: %1").arg(text));
}

QString NgrokTunnel::scrubbed(const QString &text) const
{
    QString result = text;
    if (!m_authtoken.isEmpty())
        result.replace(m_authtoken, QStringLiteral("redacted"));
    return result;
}
