#pragma once

#include "Platform/NetworkInterfaces.h"
#include "Services/Folders/PinnedFolderAccess.h"
#include "Services/HostWarnings.h"
#include "Services/Links/SetupLinkPublisher.h"
#include "Services/Links/TunnelStatusPoller.h"
#include "Services/Pairing/HostPairing.h"
#include "Services/Sessions/SessionsWatcher.h"
#include "Services/Supervision/AgentStorageProblems.h"
#include "Services/Supervision/AgentSupervisor.h"
#include "Shared/AgentBuild.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <memory>

class FolderChooser;
class HostPreferences;
class Keyring;
class UserDefaults;

struct HostAgentTimings {
    // How long a fresh agent must stay up before it counts as running.
    std::chrono::milliseconds confirmationDelay{600};
    // The pauses before an agent that exited is started again.
    AgentRestartTimings restart;
    // The stop's kill timeout and how output is taken in.
    AgentProcessTimings process;
    // How often a running agent's setup link is rebuilt, so its expiry never lapses on screen.
    std::chrono::milliseconds setupLinkRefreshInterval{300000};
    // The tunnel poll: the pause between attempts, how many, and the limit of one request.
    TunnelPollTimings tunnelPoll;
    // How long Stop lets the agent end the coding sessions, so that their tablets hear of it, before it stops
    // the agent anyway.
    std::chrono::milliseconds sessionsEndWait{2000};
};

// Hosting as the window and the command line see it: the published fields, and the wiring of the agent's
// supervisor, the pairing, the pinned folders' access and the setup link. It composes each launch from the
// preferences and the credentials. Main thread only.
class HostAgentController : public QObject {
    Q_OBJECT
    Q_PROPERTY(AgentRunState state READ state NOTIFY stateChanged)
    Q_PROPERTY(bool restartPending READ restartPending NOTIFY restartPendingChanged)
    Q_PROPERTY(QUrl setupLink READ setupLink NOTIFY setupLinkChanged)
    Q_PROPERTY(QString resolvedLANAddress READ resolvedLANAddress NOTIFY resolvedLANAddressChanged)
    Q_PROPERTY(QStringList lastLogLines READ lastLogLines NOTIFY lastLogLinesChanged)
    Q_PROPERTY(QAbstractListModel *log READ log CONSTANT)
    Q_PROPERTY(QDateTime credentialRotatedAt READ credentialRotatedAt NOTIFY credentialRotatedAtChanged)
    Q_PROPERTY(QString runningAgentBuild READ runningAgentBuild NOTIFY runningAgentBuildChanged)
    Q_PROPERTY(QList<HostPermissionPreflightItem> permissionPreflightItems READ permissionPreflightItems
                   NOTIFY permissionPreflightItemsChanged)
    Q_PROPERTY(Tunnel::TunnelState tunnelState READ tunnelState NOTIFY tunnelStateChanged)
    Q_PROPERTY(QString tunnelPublicURL READ tunnelPublicURL NOTIFY tunnelPublicURLChanged)
    Q_PROPERTY(QString tunnelLastError READ tunnelLastError NOTIFY tunnelLastErrorChanged)
    Q_PROPERTY(QString expectedAgentBuild READ expectedAgentBuild CONSTANT)

public:
    inline static const QString &launchFailurePrefix = AgentSupervisor::launchFailurePrefix;
    inline static const QString &accessNotGrantedWarning = PinnedFolderAccess::accessNotGrantedWarning;
    inline static const QString &tunnelTimeoutError = SetupLinkPublisher::tunnelTimeoutError;

    HostAgentController(UserDefaults &defaults, Keyring &keyring, AgentLocator locator,
                        FolderChooser &chooser, HostAgentTimings timings = {}, QObject *parent = nullptr);

    // Finds the agent beside the host executable or in the install's libexec folder.
    static AgentLocator standardLocator();

    AgentRunState state() const { return m_supervisor->state(); }
    // An agent that exited is about to be started again (or is starting again); Stop cancels that.
    bool restartPending() const { return m_supervisor->restartPending(); }
    // The failure shown stays whatever the number of new starts (see AgentSupervisor).
    bool restartCannotMend() const { return m_supervisor->restartCannotMend(); }
    // Empty when there is no link.
    QUrl setupLink() const { return m_link->setupLink(); }
    // The browser form of the link; empty when its route has none.
    QUrl browserLink() const { return m_link->browserLink(); }
    // Empty when none was chosen.
    QString resolvedLANAddress() const { return m_link->resolvedLANAddress(); }
    QStringList lastLogLines() const { return m_supervisor->log()->lines(); }
    // The same lines as a list model for the window, with a role for lines that look like errors.
    QAbstractListModel *log() const { return m_supervisor->log(); }
    // Not properties, so nothing that reads properties by name (QML, an object inspector) reaches them.
    QString hostToken() const { return m_pairing->hostToken(); }
    QString relaySession() const { return m_pairing->relaySession(); }
    QString hostId() const { return m_pairing->hostId(); }
    // Invalid until credentials were first used.
    QDateTime credentialRotatedAt() const { return m_pairing->rotatedAt(); }
    QString runningAgentBuild() const { return m_runningAgentBuild; }
    QList<HostPermissionPreflightItem> permissionPreflightItems() const
    {
        return m_folders->preflightItems();
    }
    // What the user must act on, one warning per source; the controller reports the folder access's and the
    // trusted devices', the application the others.
    HostWarnings &warnings() const { return *m_warnings; }
    TunnelState tunnelState() const { return m_link->tunnelState(); }
    QString tunnelPublicURL() const { return m_link->tunnelPublicURL(); }
    QString tunnelLastError() const { return m_link->tunnelLastError(); }
    QString expectedAgentBuild() const { return QString::fromLatin1(AgentBuild::identifier); }

    // Stops any agent, then launches one for these preferences once the old one is gone and the credentials
    // are known. The outcome shows in the published fields.
    Q_INVOKABLE void start(HostPreferences *preferences);
    // Ends the agent, cancels a pending restart and resets the hosting fields. Without waitForExit it returns
    // at once and the state shows the stop until the agent is gone; with it (for quitting), no agent process
    // runs when it returns: one that ignores SIGTERM is killed after the kill timeout. The coding sessions go
    // on: the next agent takes them over.
    Q_INVOKABLE void stop(bool waitForExit = false);
    // "Stop hosting": the coding sessions end, through the agent when one is up (it tells their tablets), and
    // the agent stops once they are gone (or after sessionsEndWait); what the agent did not end, the
    // sessions' holders end. Until then hosting goes on, and a start asked meanwhile wins.
    Q_INVOKABLE void stopHosting();
    // Quitting: the agent stops and every coding session ends before this returns, each wait bounded.
    void stopHostingAndWait();

    // The coding sessions on this computer, as the agent lists them.
    const SessionsWatcher &sessions() const { return *m_sessions; }
    // Ends one coding session: through the agent when one is up, otherwise (or when it cannot be asked)
    // through its holder.
    Q_INVOKABLE void endSession(const QString &id);

    // Publishes the setup link of the current route and the local address it points at.
    Q_INVOKABLE void recomputeSetupLink(HostPreferences *preferences);
    // The paired devices as their file now lists them: a new one has used the browser link's ticket.
    void trustedDevicesChanged(const QList<TrustedDevice> &devices)
    {
        m_link->trustedDevicesChanged(devices);
    }
    // New pairing credentials, every trusted device revoked; a running agent restarts with them.
    Q_INVOKABLE void rotatePairing(HostPreferences *preferences);
    // Cuts one tablet off and replaces the pairing nonce, so the link it scanned pairs nobody again; the
    // other tablets stay connected. The running agent is asked to do it; one that cannot be asked has the
    // device taken out of its file and is started again.
    Q_INVOKABLE void revokeDevice(const QString &deviceId, HostPreferences *preferences);
    // Checks every pinned folder and publishes the verdicts in one change.
    Q_INVOKABLE void refreshPermissionPreflight(HostPreferences *preferences);
    // Asks the user for the folder and keeps a grant; a running agent restarts inside it.
    Q_INVOKABLE void grantFolderAccess(const QString &path, HostPreferences *preferences);
    // ~/.ferrowyn/trusted-devices.json, which the agent keeps and a rotation deletes.
    static QString trustedDevicesPath() { return HostPairing::trustedDevicesPath(); }
    // Tests list interfaces of their own; the system's are used otherwise.
    void setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces);

    // The secrets masked in everything shown (see HostPairing::secretsToMask).
    QStringList redactionSecrets() const;

    HostCredentialStore &credentialStore() { return m_pairing->credentialStore(); }
    // A start waits for the keyring to answer with the credentials.
    bool launchAwaitsCredentials() const { return m_supervisor->launchAwaitsComposer(); }
    HostPermissionGrantStore &permissionGrantStore() { return m_folders->grantStore(); }
    // Output skipped since construction because the agent wrote faster than it could be taken in.
    qint64 skippedOutputBytes() const { return m_supervisor->skippedOutputBytes(); }
    // The running agent's process id, 0 when none runs.
    qint64 agentProcessId() const { return m_supervisor->agentProcessId(); }

signals:
    void stateChanged();
    void restartPendingChanged();
    void setupLinkChanged();
    void resolvedLANAddressChanged();
    void lastLogLinesChanged();
    void hostTokenChanged();
    void relaySessionChanged();
    void hostIdChanged();
    void credentialRotatedAtChanged();
    void runningAgentBuildChanged();
    void permissionPreflightItemsChanged();
    void tunnelStateChanged();
    void tunnelPublicURLChanged();
    void tunnelLastErrorChanged();

private:
    void beginStart(HostPreferences *preferences, bool isRestart);
    // What the agent is launched with, at the moment its launch goes ahead; none when the preferences are
    // gone.
    std::optional<AgentSupervisor::Launch> composeLaunch(HostPreferences *preferences,
                                                         const HostCredentials &credentials);
    // The settings of the last start's preferences as they are now; none once they are gone.
    std::optional<HostingSettings> lastSettings() const;
    // What follows a revocation: the link with the new nonce, or an agent started with it.
    void afterRevocation(HostPairing::Revocation revocation, const QString &deviceId,
                         HostPreferences *preferences);
    // What a ready folder may promise, from the programs tablets may start and what is installed.
    static QString readyMessage(const HostPreferences &preferences);
    // Ends through their holders the sessions no agent ends: every session folder, or those the device
    // opened.
    void endSessionsWithoutAgent(const std::optional<QString> &deviceId = std::nullopt);
    void endWithoutAgent(const QString &id);
    void setRunningAgentBuild(const QString &build);

    HostWarnings *m_warnings;
    AgentSupervisor *m_supervisor;
    HostPairing *m_pairing;
    PinnedFolderAccess *m_folders;
    SetupLinkPublisher *m_link;
    SessionsWatcher *m_sessions;
    AgentStorageProblems m_storageProblems;
    // Counts the starts and stops asked for: a stop that waits for the agent to end the sessions gives way to
    // anything asked after it.
    quint64 m_hostingRequests = 0;
    const std::chrono::milliseconds m_sessionsEndWait;
    QString m_runningAgentBuild;
    // The preferences of the last start; what a restart launches with, and whose ngrok token is masked.
    QPointer<HostPreferences> m_lastPreferences;
};
