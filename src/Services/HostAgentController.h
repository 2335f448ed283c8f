#pragma once

#include "Platform/FileProbe.h"
#include "Platform/NetworkInterfaces.h"
#include "Services/Folders/HostPermissionGrantStore.h"
#include "Services/Folders/PermissionPreflight.h"
#include "Services/Links/SetupLinkPublisher.h"
#include "Services/Links/TunnelStatusPoller.h"
#include "Services/Settings/HostCredentialStore.h"
#include "Services/Supervision/AgentProcess.h"
#include "Services/Supervision/AgentRestartBackoff.h"
#include "Services/Supervision/AgentRunState.h"
#include "Shared/AgentBuild.h"
#include "Shared/TunnelState.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AgentOutputLog;
class FolderChooser;
class HostPreferences;
class Keyring;
class UserDefaults;

// Where the agent executable is; none when it cannot be found.
using AgentLocator = std::function<std::optional<QString>()>;

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
};

// Supervises the agent process: its launch, its output log, its exit and its stop. Main thread only.
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
    Q_PROPERTY(QString readinessWarning READ readinessWarning NOTIFY readinessWarningChanged)
    Q_PROPERTY(QString tunnelState READ tunnelState NOTIFY tunnelStateChanged)
    Q_PROPERTY(QString tunnelPublicURL READ tunnelPublicURL NOTIFY tunnelPublicURLChanged)
    Q_PROPERTY(QString tunnelLastError READ tunnelLastError NOTIFY tunnelLastErrorChanged)
    Q_PROPERTY(QString expectedAgentBuild READ expectedAgentBuild CONSTANT)

public:
    inline static const QString missingAgentMessage = QStringLiteral(
        "Ferrowyn agent binary is missing from the app bundle. Rebuild the app so the pre-build "
        "step compiles it.");
    inline static const QString launchFailurePrefix = QStringLiteral("Failed to launch agent: ");
    inline static const QString accessNotGrantedWarning =
        QStringLiteral("Access was not granted. Choose the exact pinned folder in the permission dialog.");
    inline static const QString &tunnelTimeoutError = SetupLinkPublisher::tunnelTimeoutError;
    inline static const QString keyringUnavailableWarning =
        QStringLiteral("System keyring unavailable: pairing credentials will not survive a restart.");
    inline static const QString waitingForKeyringWarning =
        QStringLiteral("Waiting for the keyring to be unlocked");

    HostAgentController(UserDefaults &defaults, Keyring &keyring, AgentLocator locator,
                        FolderChooser &chooser, HostAgentTimings timings = {}, QObject *parent = nullptr);
    ~HostAgentController() override;

    // Finds the agent beside the host executable or in the install's libexec folder.
    static AgentLocator standardLocator();

    AgentRunState state() const { return m_state; }
    // An agent that exited is about to be started again (or is starting again); Stop cancels that.
    bool restartPending() const { return m_restartPending; }
    // Empty when there is no link.
    QUrl setupLink() const { return m_link->setupLink(); }
    // Empty when none was chosen.
    QString resolvedLANAddress() const { return m_link->resolvedLANAddress(); }
    QStringList lastLogLines() const;
    // The same lines as a list model for the window, with a role for lines that look like errors.
    QAbstractListModel *log() const;
    // Not properties, so nothing that reads properties by name (QML, an object inspector) reaches them.
    QString hostToken() const { return m_hostToken; }
    QString relaySession() const { return m_relaySession; }
    QString hostId() const { return m_hostId; }
    // Invalid until credentials were first used.
    QDateTime credentialRotatedAt() const { return m_credentialRotatedAt; }
    QString runningAgentBuild() const { return m_runningAgentBuild; }
    QList<HostPermissionPreflightItem> permissionPreflightItems() const { return m_permissionPreflightItems; }
    // Empty when there is nothing to warn about.
    QString readinessWarning() const { return m_readinessWarning; }
    QString tunnelState() const { return m_link->tunnelState(); }
    QString tunnelPublicURL() const { return m_link->tunnelPublicURL(); }
    QString tunnelLastError() const { return m_link->tunnelLastError(); }
    QString expectedAgentBuild() const { return QString::fromLatin1(AgentBuild::identifier); }

    // Stops any agent, then launches one for these preferences once the old one is gone and the credentials
    // are known. The outcome shows in the published fields.
    Q_INVOKABLE void start(HostPreferences *preferences);
    // Ends the agent, cancels a pending restart and resets the hosting fields. Without waitForExit it returns
    // at once and the state shows the stop until the agent is gone; with it (for quitting), no agent process
    // runs when it returns: one that ignores SIGTERM is killed after the kill timeout.
    Q_INVOKABLE void stop(bool waitForExit = false);

    // Publishes the setup link of the current route and the local address it points at.
    Q_INVOKABLE void recomputeSetupLink(HostPreferences *preferences);
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
    // The login item's outcome is shown here too; empty clears the warning.
    void setReadinessWarning(const QString &warning);
    // ~/.ferrowyn/trusted-devices.json, which the agent keeps and a rotation deletes.
    static QString trustedDevicesPath();
    // Tests list interfaces of their own; the system's are used otherwise.
    void setNetworkInterfaces(std::unique_ptr<NetworkInterfaces> interfaces);

    // The secrets masked in everything shown: host token, relay session, host id, and while the preferences
    // of the last launch exist, relay token, pairing nonce and ngrok authtoken (also trimmed, as the agent
    // gets it, when that differs).
    QStringList redactionSecrets();

    HostCredentialStore &credentialStore() { return m_credentialStore; }
    // A start waits for the keyring to answer with the credentials.
    bool launchAwaitsCredentials() const { return m_pendingLaunch && !m_pendingLaunch->credentials; }
    HostPermissionGrantStore &permissionGrantStore() { return m_permissionGrantStore; }
    // Output skipped since construction because the agent wrote faster than it could be taken in.
    qint64 skippedOutputBytes() const;
    // The running agent's process id, 0 when none runs.
    qint64 agentProcessId() const;

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
    void readinessWarningChanged();
    void tunnelStateChanged();
    void tunnelPublicURLChanged();
    void tunnelLastErrorChanged();
    // Why a device could not be revoked, in words for the user; empty once revoking works again. Apart from
    // the readiness warning, which the next start clears, since the device stays trusted until then.
    void revocationFailureChanged(const QString &warning);

private:
    // A start waits for the credentials and for the agent before it to be gone (it holds the port).
    struct PendingLaunch {
        QPointer<HostPreferences> preferences;
        QString program;
        std::optional<HostCredentials> credentials;
        bool isRestart = false;
    };

    void beginStart(HostPreferences *preferences, bool isRestart);
    void launchWhenReady();
    void launch(PendingLaunch launch);
    void confirmRunning(AgentProcess *agent, const QPointer<HostPreferences> &preferences);
    void handleExit(AgentProcess *agent, int status);
    void handleRetired(AgentProcess *agent);
    void scheduleRestart(std::chrono::milliseconds uptime);
    void cancelRestart();
    void retire(AgentProcess *agent);
    void requestCredentials(HostRelayVersion relayVersion,
                            std::function<void(const HostCredentials &)> ready);

    void revokeTrustedDevices();
    void forgetTrustedDevice(const QString &deviceId);
    HostCredentials linkCredentials() const;
    bool agentIsRunning() const;

    void setState(const AgentRunState &state);
    void setRestartPending(bool pending);
    void setHostToken(const QString &token);
    void setRelaySession(const QString &session);
    void setHostId(const QString &hostId);
    void setCredentialRotatedAt(const QDateTime &date);
    void setRunningAgentBuild(const QString &build);

    HostAgentTimings m_timings;
    AgentLocator m_locator;
    FileProbe m_fileProbe = FileProbe::system();
    HostCredentialStore m_credentialStore;
    HostPermissionGrantStore m_permissionGrantStore;

    AgentRunState m_state;
    bool m_restartPending = false;
    QString m_hostToken;
    QString m_relaySession;
    QString m_hostId;
    // Made anew for each launch: what the running agent's control requests must present.
    QString m_controlSecret;
    int m_agentPort = 0;
    QDateTime m_credentialRotatedAt;
    QString m_runningAgentBuild;
    QList<HostPermissionPreflightItem> m_permissionPreflightItems;
    QString m_readinessWarning;

    AgentOutputLog *m_log;
    AgentProcess *m_agent = nullptr;
    // Agents being stopped; a new one waits for them.
    QList<AgentProcess *> m_retiring;
    std::optional<PendingLaunch> m_pendingLaunch;
    QElapsedTimer m_agentUptime;
    AgentRestartBackoff m_restartBackoff;
    QTimer *m_restartTimer;
    qint64 m_skippedOutputBytes = 0; // of the agents that ended
    QPointer<HostPreferences> m_lastPreferences;

    SetupLinkPublisher *m_link;
};
