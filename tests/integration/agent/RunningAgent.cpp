#include "RunningAgent.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

RunningAgent::RunningAgent()
    : hostToken(randomSecret()), hostId(QStringLiteral("host_") + randomSecret().left(22)),
      pairingNonce(randomSecret()), relayToken(randomSecret()), ngrokAuthtoken(randomSecret()),
      relaySession(
          QStringLiteral("3f2c9a4e-1b7d-4c5e-9a8f-%1")
              .arg(QRandomGenerator::global()->generate64() % 1000000000000ULL, 12, 10, QLatin1Char('0')))
{
    environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys()) {
        if (name.startsWith(QLatin1String("VELMORA_")) ||
            name.startsWith(QLatin1String("FERROWYN_AGENT_TEST_")))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("HOME"), m_home.path());
    environment.insert(QStringLiteral("VELMORA_HOST_TOKEN"), hostToken);
    environment.insert(QStringLiteral("VELMORA_HOST_ID"), hostId);
    environment.insert(QStringLiteral("VELMORA_PAIRING_NONCE"), pairingNonce);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] { collect(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process, [this] { collect(); });
}

RunningAgent::~RunningAgent()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

QString RunningAgent::randomSecret()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), 8);
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool RunningAgent::start(const QStringList &arguments)
{
    // A restarted agent reports its own port; the earlier run's output stays for the secrets check.
    const qsizetype runStart = m_stdout.size();
    m_process.setProcessEnvironment(environment);
    m_process.start(agentPath(), arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on .*:(\\d+),"));
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(m_stdout, runStart);
        if (match.hasMatch()) {
            m_port = static_cast<quint16>(match.captured(1).toUInt());
            return true;
        }
        if (m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(50);
    }
    return false;
}

int RunningAgent::runToExit(const QStringList &arguments, int timeoutMs)
{
    m_process.setProcessEnvironment(environment);
    m_process.start(agentPath(), arguments);
    return exitStatus(timeoutMs);
}

QString RunningAgent::wsUrl() const
{
    return QStringLiteral("ws://127.0.0.1:%1/ws").arg(m_port);
}

int RunningAgent::terminate(int timeoutMs)
{
    m_process.terminate();
    return exitStatus(timeoutMs);
}

int RunningAgent::exitStatus(int timeoutMs)
{
    if (!m_process.waitForFinished(timeoutMs))
        return -1;
    collect();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool RunningAgent::waitForOutput(const QString &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!allOutput().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return allOutput().contains(text);
        m_process.waitForReadyRead(20);
    }
    return true;
}

QStringList RunningAgent::leakedSecrets() const
{
    QStringList leaked;
    const QString output = allOutput();
    for (const QString &secret :
         {hostToken, hostId, pairingNonce, relayToken, ngrokAuthtoken, relaySession}) {
        const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(secret));
        if (output.contains(secret) || output.contains(encoded))
            leaked.append(secret);
    }
    return leaked;
}

void RunningAgent::collect()
{
    m_stdout += QString::fromUtf8(m_process.readAllStandardOutput());
    m_stderr += QString::fromUtf8(m_process.readAllStandardError());
}
