#include "AgentApp.h"

#include "AgentLog.h"
#include "Http/LocalServer.h"
#include "Relay/RelayClient.h"
#include "Sessions/SessionManager.h"
#include "Shared/AgentBuild.h"
#include "Shared/AgentExitStatus.h"
#include "Shared/SessionFiles.h"

#include "Tunnel/NgrokTunnel.h"
#include <QCoreApplication>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

AgentApp::AgentApp(AgentOptions options, AgentSecrets secrets, AgentTimings timings, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_secrets(std::move(secrets)), m_timings(timings),
      m_files(m_options.workspaces),
      m_authenticator(m_secrets, TrustedDeviceStore(TrustedDeviceStore::defaultPath())),
      m_throttle(m_timings.authThrottleBaseMs), m_refusals(m_timings.authRefusalLogIntervalMs),
      m_devicesWatcher(m_authenticator.trustedDevicesPath()),
      m_control(m_secrets.controlSecret, &m_authenticator, &m_devicesWatcher)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    m_sessions = std::make_unique<SessionManager>(
        SessionSettings{m_options.sessionPrograms, m_options.allowShell,
                        SessionFiles::runtimeFolder(environment), SessionInfo::pairingOf(m_secrets.hostId),
                        environment,
                        QCoreApplication::applicationDirPath() + QStringLiteral("/ferrowyn-session")},
        &m_files, &m_authenticator);
    connect(&m_devicesWatcher, &TrustedDevicesWatcher::changed, m_sessions.get(),
            &SessionManager::checkDevices);
}

AgentApp::~AgentApp()
{
    shutdown();
}

int AgentApp::start()
{
    const ConversationServices services{&m_authenticator,
                                        &m_throttle,
                                        &m_files,
                                        m_timings.authTimeoutMs,
                                        &m_devicesWatcher,
                                        &m_refusals,
                                        m_sessions.get(),
                                        m_timings.writeStallMs,
                                        m_secrets.staticKey(),
                                        m_options.allowUnencryptedClients};
    std::optional<QUrl> relayURL;
    if (m_options.relayEnabled()) {
        relayURL = relayConnectURL(m_options, m_secrets.relaySession);
        if (!relayURL) {
            AgentLog::error(QStringLiteral("--relay-url is not a usable ws, wss, http or https URL"));
            return AgentExitStatus::badInput;
        }
    }

    m_server = std::make_unique<LocalServer>(&m_status, services, m_timings.closeDrainMs,
                                             m_timings.upgradeDeadlineMs, &m_control);
    QString error;
    if (!m_server->listen(m_options.address, m_options.port, &error)) {
        AgentLog::error(QStringLiteral("cannot listen on %1:%2: %3")
                            .arg(m_options.address.toString())
                            .arg(m_options.port)
                            .arg(error));
        return AgentExitStatus::cannotListen;
    }
    const QString host = m_options.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + m_options.address.toString() + QLatin1Char(']')
                             : m_options.address.toString();
    AgentLog::event(QStringLiteral("ferrowyn-agent %1 listening on %2:%3, serving %4 workspace folder(s)")
                        .arg(QString::fromLatin1(AgentBuild::identifier), host)
                        .arg(m_server->port())
                        .arg(m_options.workspaces.size()));
    if (services.agentKey.isEmpty())
        AgentLog::error(QStringLiteral("no agent key: encrypted connections are refused"));

    m_sessions->start();
    if (m_options.ngrokTunnel) {
        m_ngrok = std::make_unique<NgrokTunnel>(&m_status, m_timings.ngrokStartTimeoutMs,
                                                m_timings.childStopGraceMs);
        m_ngrok->start(m_server->port(), m_secrets.ngrokAuthtoken);
    }
    if (relayURL) {
        const HostRelayVersion version = relayVersionFor(m_options, m_secrets.hostId, m_secrets.relaySession);
        if (!m_options.relayCodecStatePath.isEmpty()) {
            const QString earlier = QFileInfo(m_options.relayCodecStatePath)
                                        .dir()
                                        .filePath(earlierRelayCodecStateFileName(version, m_secrets.hostId,
                                                                                 m_secrets.relaySession));
            RelayCodecState::adoptEarlierFile(earlier, m_options.relayCodecStatePath);
        }
        RelayBackoff backoff(m_timings.relayBackoffInitialMs, m_timings.relayBackoffMaxMs,
                             [] { return QRandomGenerator::global()->generateDouble(); });
        m_relay = std::make_unique<RelayClient>(*relayURL, m_secrets.relayToken,
                                                RelayCodec(version, m_options.relayCodecStatePath), services,
                                                std::move(backoff), m_timings, &m_status);
        m_relay->start();
    }
    return 0;
}

void AgentApp::shutdown()
{
    // The sessions go on without the agent; the next one takes them over.
    if (m_sessions)
        m_sessions->release();
    if (m_relay)
        m_relay->stop();
    if (m_ngrok)
        m_ngrok->stop();
    if (m_server)
        m_server->close();
}
