#include "Services/HostAgentController.h"

#include "Services/Redaction/HostSecretRedactor.h"
#include "Services/Sessions/CodingWork.h"
#include "Services/Sessions/SessionHolder.h"
#include "Services/Settings/HostPreferences.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "Shared/AgentEnvironment.h"
#include "Shared/NotifyingSetter.h"
#include "Shared/PrivateFolder.h"
#include "Shared/SessionFiles.h"
#include "Shared/WindowDrawing.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

namespace {

// How long quitting waits for one session's holder to end it.
constexpr std::chrono::milliseconds sessionEndWait{1000};

} // namespace

HostAgentController::HostAgentController(UserDefaults &defaults, Keyring &keyring, AgentLocator locator,
                                         FolderChooser &chooser, HostAgentTimings timings, QObject *parent)
    : QObject(parent), m_warnings(new HostWarnings(this)),
      m_supervisor(new AgentSupervisor(
          std::move(locator), [this] { return redactionSecrets(); },
          {timings.confirmationDelay, timings.restart, timings.process}, this)),
      m_pairing(new HostPairing(defaults, keyring, this)),
      m_folders(new PinnedFolderAccess(defaults, chooser, this)),
      m_link(new SetupLinkPublisher({[this] { return m_pairing->linkCredentials(); },
                                     [this] { return m_supervisor->agentRunning(); },
                                     [this] {
                                         return lastSettings();
                                     }},
                                    timings.setupLinkRefreshInterval, timings.tunnelPoll, this)),
      m_sessions(
          new SessionsWatcher(SessionFiles::runtimeFolder(QProcessEnvironment::systemEnvironment()), this)),
      m_sessionsEndWait(timings.sessionsEndWait)
{
    using Controller = HostAgentController;
    connect(m_supervisor, &AgentSupervisor::stateChanged, this, &Controller::stateChanged);
    connect(m_supervisor, &AgentSupervisor::restartPendingChanged, this, &Controller::restartPendingChanged);
    connect(m_supervisor->log(), &AgentOutputLog::linesChanged, this, &Controller::lastLogLinesChanged);
    connect(m_pairing, &HostPairing::hostTokenChanged, this, &Controller::hostTokenChanged);
    connect(m_pairing, &HostPairing::relaySessionChanged, this, &Controller::relaySessionChanged);
    connect(m_pairing, &HostPairing::hostIdChanged, this, &Controller::hostIdChanged);
    connect(m_pairing, &HostPairing::rotatedAtChanged, this, &Controller::credentialRotatedAtChanged);
    connect(m_folders, &PinnedFolderAccess::preflightItemsChanged, this,
            &Controller::permissionPreflightItemsChanged);
    connect(m_link, &SetupLinkPublisher::setupLinkChanged, this, &Controller::setupLinkChanged);
    connect(m_link, &SetupLinkPublisher::resolvedLANAddressChanged, this,
            &Controller::resolvedLANAddressChanged);
    connect(m_link, &SetupLinkPublisher::tunnelStateChanged, this, &Controller::tunnelStateChanged);
    connect(m_link, &SetupLinkPublisher::tunnelPublicURLChanged, this, &Controller::tunnelPublicURLChanged);
    connect(m_link, &SetupLinkPublisher::tunnelLastErrorChanged, this, &Controller::tunnelLastErrorChanged);

    // The agent's life: what it ends and what follows it.
    connect(m_supervisor, &AgentSupervisor::confirmedRunning, m_link, &SetupLinkPublisher::agentRunning);
    connect(m_supervisor, &AgentSupervisor::failedToStart, m_folders, &PinnedFolderAccess::close);
    connect(m_supervisor, &AgentSupervisor::exited, this, [this] {
        m_folders->close();
        m_link->agentExited();
    });
    m_supervisor->setRestartWanted(
        [this] { return m_lastPreferences && m_lastPreferences->keepRelayOnline(); });
    connect(m_supervisor, &AgentSupervisor::restartDue, this, [this] {
        // The preferences are gone: nothing to restart.
        if (!m_lastPreferences) {
            m_supervisor->cancelRestart();
            return;
        }
        beginStart(m_lastPreferences, true);
    });

    // What the user must know, from wherever it comes.
    connect(m_pairing, &HostPairing::revocationFailureChanged, this, [this](const QString &warning) {
        m_warnings->report(HostWarnings::Source::trustedDevicesSave, warning);
    });
    connect(m_folders, &PinnedFolderAccess::warning, m_warnings,
            [this](const QString &text) { m_warnings->report(HostWarnings::Source::folderAccess, text); });
    m_supervisor->log()->setLineObserver([this](const QStringList &lines) {
        const auto mask = [this](const QString &line) {
            return HostSecretRedactor::redact(line, redactionSecrets());
        };
        if (m_storageProblems.observe(lines, mask))
            m_warnings->report(HostWarnings::Source::agentStorage, m_storageProblems.warning());
    });
    // A fresh start is a fresh agent, which says again what it cannot write; a restart keeps the warning.
    connect(m_supervisor, &AgentSupervisor::stateChanged, this, [this] {
        if (m_supervisor->state().kind() != AgentRunState::Kind::starting)
            return;
        m_storageProblems.clear();
        m_warnings->report(HostWarnings::Source::agentStorage, {});
    });
}

AgentLocator HostAgentController::standardLocator()
{
    return [] {
        const QString folder = QCoreApplication::applicationDirPath();
        return AgentLocation(AgentLaunchPlan::locateAgent(folder, FileProbe::system()),
                             AgentLaunchPlan::agentCandidates(folder));
    };
}

void HostAgentController::start(HostPreferences *preferences)
{
    if (!preferences)
        return;
    beginStart(preferences, false);
}

void HostAgentController::beginStart(HostPreferences *preferences, bool isRestart)
{
    ++m_hostingRequests;
    stop();
    if (!m_supervisor->prepare(isRestart))
        return;
    m_lastPreferences = preferences;
    // The keyring may answer only after its unlock prompt; the launch goes on when it does, unless a stop or
    // another start came first (which drop or replace the prepared launch).
    credentialStore().request(
        preferences->relayVersion(), this,
        [this, preferences = QPointer(preferences)](const HostCredentials &credentials) {
            m_supervisor->proceed(
                [this, preferences, credentials] { return composeLaunch(preferences, credentials); });
        });
}

std::optional<AgentSupervisor::Launch> HostAgentController::composeLaunch(HostPreferences *preferences,
                                                                          const HostCredentials &credentials)
{
    if (!preferences)
        return std::nullopt;
    const HostingSettings settings = HostingSettings::from(*preferences);
    const QString home = QDir::homePath();
    QString codecStatePath;
    if (settings.mode == HostingMode::relay) {
        codecStatePath = AgentLaunchPlan::relayCodecStatePath(
            home, credentials.hostId, credentials.relaySessionId, settings.relayVersion);
        // A folder that cannot be made is the agent's to report; it gets the path all the same.
        makePrivateFolder(AgentLaunchPlan::relayCodecStateFolder(home));
    }
    m_folders->open(settings.workspaces);
    QProcessEnvironment environment = AgentLaunchPlan::environment(
        settings, credentials, WindowDrawing::withoutOwnSettings(QProcessEnvironment::systemEnvironment()),
        home, FileProbe::system());
    environment.insert(AgentEnvironment::controlSecret,
                       m_pairing->useForLaunch(credentials, settings.lanPort));
    setRunningAgentBuild(expectedAgentBuild());
    m_link->agentLaunched(settings.wantsTunnel());
    return AgentSupervisor::Launch{AgentLaunchPlan::arguments(settings, codecStatePath), environment,
                                   settings.lanPort};
}

void HostAgentController::stop(bool waitForExit)
{
    m_supervisor->stop(waitForExit);
    m_folders->close();
    m_link->clear();
    setRunningAgentBuild({});
}

void HostAgentController::stopHosting()
{
    const quint64 request = ++m_hostingRequests;
    // Once, unless a start or stop was asked for since.
    const auto stopNow = [this, request] {
        if (request != m_hostingRequests)
            return;
        ++m_hostingRequests;
        stop();
        endSessionsWithoutAgent();
    };
    if (!m_supervisor->agentIsUp() || m_sessions->sessions().isEmpty()) {
        stopNow();
        return;
    }
    AgentControlRequest::endSessions(m_pairing->controlChannel(), {}, this, [this, stopNow](bool told) {
        if (!told || m_sessions->sessions().isEmpty()) {
            stopNow();
            return;
        }
        // The agent tells each session's tablets as the session ends, and writes its list when it is gone.
        auto *waiting = new QObject(this);
        const auto finish = [waiting, stopNow] {
            waiting->deleteLater();
            stopNow();
        };
        connect(m_sessions, &SessionsWatcher::changed, waiting, [this, finish] {
            if (m_sessions->sessions().isEmpty())
                finish();
        });
        QTimer::singleShot(m_sessionsEndWait, waiting, finish);
    });
}

void HostAgentController::stopHostingAndWait()
{
    ++m_hostingRequests;
    stop(true);
    SessionHolder::endAndWait(m_sessions->runtimeFolder(),
                              SessionsState::folderIds(m_sessions->runtimeFolder()), sessionEndWait);
}

void HostAgentController::endSession(const QString &id)
{
    if (!SessionsState::isSessionId(id))
        return;
    if (!m_supervisor->agentIsUp()) {
        endWithoutAgent(id);
        return;
    }
    AgentControlRequest::endSessions(m_pairing->controlChannel(), id, this, [this, id](bool done) {
        if (!done)
            endWithoutAgent(id);
    });
}

void HostAgentController::endWithoutAgent(const QString &id)
{
    // The holder's end record hides the session from the list; the folder's changes are not watched.
    SessionHolder::end(m_sessions->runtimeFolder(), id, this, [this] { m_sessions->reload(); });
}

void HostAgentController::endSessionsWithoutAgent(const std::optional<QString> &deviceId)
{
    const QString runtime = m_sessions->runtimeFolder();
    if (!deviceId) {
        for (const QString &id : SessionsState::folderIds(runtime))
            endWithoutAgent(id);
        return;
    }
    for (const HostedSession &session : m_sessions->sessions())
        if (session.deviceId == *deviceId)
            endWithoutAgent(session.id);
}

void HostAgentController::recomputeSetupLink(HostPreferences *preferences)
{
    if (preferences)
        m_link->recompute(HostingSettings::from(*preferences));
}

std::optional<HostingSettings> HostAgentController::lastSettings() const
{
    return m_lastPreferences ? std::optional(HostingSettings::from(*m_lastPreferences)) : std::nullopt;
}

void HostAgentController::setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces)
{
    m_link->setNetworkInterfaces(std::move(interfaces));
}

void HostAgentController::rotatePairing(HostPreferences *preferences)
{
    if (!preferences)
        return;
    m_pairing->rotate(preferences->relayVersion());
    // An agent still starting holds the old credentials as much as a running one: left alone, it would keep
    // accepting the revoked pairing while the link offered one it refuses. The new agent ends every session
    // opened under the old pairing.
    if (m_supervisor->isActive()) {
        start(preferences);
        return;
    }
    // No agent will end them soon: the pairing may have leaked, so nothing opened under it goes on.
    endSessionsWithoutAgent();
    recomputeSetupLink(preferences);
}

void HostAgentController::revokeDevice(const QString &deviceId, HostPreferences *preferences)
{
    if (!preferences || deviceId.isEmpty())
        return;
    // An agent that is up, even one not yet confirmed as running, holds the old nonce and may serve the
    // tablet.
    const auto revoked = [this, deviceId,
                          preferences = QPointer(preferences)](HostPairing::Revocation revocation) {
        if (preferences)
            afterRevocation(revocation, deviceId, preferences);
    };
    m_pairing->revokeDevice(deviceId, m_supervisor->agentIsUp(), this, revoked);
}

void HostAgentController::afterRevocation(HostPairing::Revocation revocation, const QString &deviceId,
                                          HostPreferences *preferences)
{
    // An agent that starts ends the sessions of devices it no longer trusts; until one does, their holders
    // end them.
    const bool agentWillEndSessions =
        revocation == HostPairing::Revocation::byAgent || m_supervisor->isActive();
    if (!agentWillEndSessions)
        endSessionsWithoutAgent(deviceId);
    switch (revocation) {
    case HostPairing::Revocation::withoutPairing:
        return;
    case HostPairing::Revocation::byAgent:
        break;
    case HostPairing::Revocation::inFileAgentUnreachable:
        // The agent still holds the old nonce.
        if (m_supervisor->agentIsUp())
            start(preferences);
        break;
    case HostPairing::Revocation::inFile:
        // A launch on its way holds the old nonce: it starts again with the new one.
        if (m_supervisor->launchPending()) {
            start(preferences);
            return;
        }
        break;
    }
    recomputeSetupLink(preferences);
}

void HostAgentController::refreshPermissionPreflight(HostPreferences *preferences)
{
    if (preferences)
        m_folders->check(preferences->workspaces(), readyMessage(*preferences));
}

QString HostAgentController::readyMessage(const HostPreferences &preferences)
{
    return CodingWork::readyMessage(preferences.sessionPrograms(), preferences.allowShell(),
                                    CodingWork::installedOn(CodingWork::toolPath(), FileProbe::system()));
}

void HostAgentController::grantFolderAccess(const QString &path, HostPreferences *preferences)
{
    if (!preferences || !m_folders->grant(path, preferences->workspaces(), readyMessage(*preferences)))
        return;
    // A starting agent, too, must work inside the new grant.
    if (m_supervisor->isActive())
        start(preferences);
}

QStringList HostAgentController::redactionSecrets() const
{
    const std::optional<HostingSettings> settings = lastSettings();
    return m_pairing->secretsToMask(settings ? std::optional(settings->ngrokAuthtoken) : std::nullopt);
}

void HostAgentController::setRunningAgentBuild(const QString &build)
{
    setAndNotify(this, &HostAgentController::runningAgentBuildChanged, m_runningAgentBuild, build);
}
