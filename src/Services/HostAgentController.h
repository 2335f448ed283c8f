#pragma once

#include "Platform/FileProbe.h"
#include "Platform/NetworkInterfaces.h"
#include "Services/AgentOutputLineSplitter.h"
#include "Services/AgentRunState.h"
#include "Services/HostCredentialStore.h"
#include "Services/HostPermissionGrantStore.h"
#include "Services/PermissionPreflight.h"
#include "Services/TunnelStatusPoller.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class FolderChooser;
class HostPreferences;
class Keyring;
class UserDefaults;

// Where the agent executable is; none when it cannot be found.
using AgentLocator = std::function<std::optional<QString>()>;

struct HostAgentTimings {
    // How long a fresh agent must stay up before it counts as running.
    std::chrono::milliseconds confirmationDelay{600};
    // The pause before an agent that exited is started again.
    std::chrono::milliseconds restartDelay{1500};
    // How long a stop waits after SIGTERM before it kills the agent's process group.
    std::chrono::milliseconds killTimeout{5000};
    // The most output bytes taken in at one turn of the event loop, so a flood never freezes the window.
    qsizetype readSliceBytes = 64 * 1024;
    // The most output of one stream left waiting; an agent that writes faster than it can be taken in loses
    // its oldest waiting output instead of growing the host's memory without end.
    qint64 maxWaitingBytes = 4 * 1024 * 1024;
    // How often a running agent's setup link is rebuilt, so its expiry never lapses on screen.
    std::chrono::milliseconds setupLinkRefreshInterval{300000};
    // The tunnel poll: the pause between attempts, how many, and the limit of one request.
    TunnelPollTimings tunnelPoll;
};

// Supervises the agent process: its launch, its output log, its exit and its stop. Main thread only.
class HostAgentController : public QObject {
    Q_OBJECT
    Q_PROPERTY(AgentRunState state READ state NOTIFY stateChanged)
    Q_PROPERTY(QUrl setupLink READ setupLink NOTIFY setupLinkChanged)
    Q_PROPERTY(QString resolvedLANAddress READ resolvedLANAddress NOTIFY resolvedLANAddressChanged)
    Q_PROPERTY(QStringList lastLogLines READ lastLogLines NOTIFY lastLogLinesChanged)
    Q_PROPERTY(QString hostToken READ hostToken NOTIFY hostTokenChanged)
    Q_PROPERTY(QString relaySession READ relaySession NOTIFY relaySessionChanged)
    Q_PROPERTY(QString hostId READ hostId NOTIFY hostIdChanged)
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
    static constexpr int logBufferLimit = 200;
    inline static const QString missingAgentMessage = QStringLiteral(
        "Ferrowyn agent binary is missing from the app bundle. Rebuild the app so the pre-build "
        "step compiles it.");
    inline static const QString launchFailurePrefix = QStringLiteral("Failed to launch agent: ");
    inline static const QString accessNotGrantedWarning =
        QStringLiteral("Access was not granted. Choose the exact pinned folder in the permission dialog.");
    inline static const QString tunnelTimeoutError = QStringLiteral("Timed out waiting for ngrok tunnel.");
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
    // Empty when there is no link.
    QUrl setupLink() const { return m_setupLink; }
    // Empty when none was chosen.
    QString resolvedLANAddress() const { return m_resolvedLANAddress; }
    QStringList lastLogLines() const { return m_lastLogLines; }
    QString hostToken() const { return m_hostToken; }
    QString relaySession() const { return m_relaySession; }
    QString hostId() const { return m_hostId; }
    // Invalid until credentials were first used.
    QDateTime credentialRotatedAt() const { return m_credentialRotatedAt; }
    QString runningAgentBuild() const { return m_runningAgentBuild; }
    QList<HostPermissionPreflightItem> permissionPreflightItems() const { return m_permissionPreflightItems; }
    // Empty when there is nothing to warn about.
    QString readinessWarning() const { return m_readinessWarning; }
    QString tunnelState() const { return m_tunnelState; }
    QString tunnelPublicURL() const { return m_tunnelPublicURL; }
    QString tunnelLastError() const { return m_tunnelLastError; }
    QString expectedAgentBuild() const { return QStringLiteral("14"); }

    // Stops any agent, then launches one for these preferences. The outcome shows in the published fields.
    Q_INVOKABLE void start(HostPreferences *preferences);
    // Ends the agent and resets the hosting fields. When it returns with waitForExit, no agent process runs:
    // one that ignores SIGTERM is killed after the kill timeout.
    Q_INVOKABLE void stop(bool waitForExit = true);

    // Publishes the setup link of the current route and the local address it points at.
    Q_INVOKABLE void recomputeSetupLink(HostPreferences *preferences);
    // New pairing credentials, every trusted device revoked; a running agent restarts with them.
    Q_INVOKABLE void rotatePairing(HostPreferences *preferences);
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
    bool launchAwaitsCredentials() const { return m_launchAwaitsCredentials; }
    HostPermissionGrantStore &permissionGrantStore() { return m_permissionGrantStore; }
    // Output skipped since construction because the agent wrote faster than it could be taken in.
    qint64 skippedOutputBytes() const { return m_skippedOutputBytes; }
    // The running agent's process id, 0 when none runs.
    qint64 agentProcessId() const;

signals:
    void stateChanged();
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

private:
    struct OutputStream {
        QProcess::ProcessChannel channel;
        AgentOutputLineSplitter splitter;
    };

    void launchWithCredentials(HostPreferences *preferences, const QString &agent,
                               const HostCredentials &credentials);
    void confirmRunning(const QPointer<HostPreferences> &preferences);
    struct PendingExit {
        qint64 pid = 0;
        int status = 0;
    };

    void handleTermination(QProcess *process, qint64 pid, int exitCode);
    void completeExitReport();
    void scheduleRestart(const QPointer<HostPreferences> &preferences);

    void attachLogStreams();
    // Stops reading the process's output; what was read already goes into the log.
    void clearLogStreams(QProcess *process);
    void scheduleLogDrain();
    // Takes in one slice of each stream's buffered output and publishes the lines; schedules the next slice
    // while output is waiting, and completes a pending exit report once none is.
    void drainLog();
    void appendLog(const QStringList &lines);

    void retire(QProcess *process, bool waitForExit);
    void killProcessGroup(qint64 groupId);

    // The link's refresh and the tunnel poll, which a running confirmation starts.
    void startSetupLinkRefresh(HostPreferences &preferences);
    void startTunnelPollingIfNeeded(HostPreferences &preferences);
    void applyTunnelStatus(const std::optional<HostAgentTunnelStatus> &status, HostPreferences *preferences);
    void cancelTunnelPolling();
    void cancelSetupLinkRefresh();
    void revokeTrustedDevices();
    bool agentIsRunning() const;

    void setState(const AgentRunState &state);
    void setSetupLink(const QUrl &link);
    void setResolvedLANAddress(const QString &address);
    void setHostToken(const QString &token);
    void setRelaySession(const QString &session);
    void setHostId(const QString &hostId);
    void setCredentialRotatedAt(const QDateTime &date);
    void setRunningAgentBuild(const QString &build);
    void setTunnelState(const QString &state);
    void setTunnelPublicURL(const QString &url);
    void setTunnelLastError(const QString &error);

    HostAgentTimings m_timings;
    AgentLocator m_locator;
    FileProbe m_fileProbe = FileProbe::system();
    HostCredentialStore m_credentialStore;
    HostPermissionGrantStore m_permissionGrantStore;

    AgentRunState m_state;
    QUrl m_setupLink;
    QString m_resolvedLANAddress;
    QStringList m_lastLogLines;
    QString m_hostToken;
    QString m_relaySession;
    QString m_hostId;
    QDateTime m_credentialRotatedAt;
    QString m_runningAgentBuild;
    QList<HostPermissionPreflightItem> m_permissionPreflightItems;
    QString m_readinessWarning;
    QString m_tunnelState = QStringLiteral("disabled");
    QString m_tunnelPublicURL;
    QString m_tunnelLastError;

    QProcess *m_process = nullptr;
    OutputStream m_stdout{QProcess::StandardOutput, AgentOutputLineSplitter()};
    OutputStream m_stderr{QProcess::StandardError, AgentOutputLineSplitter()};
    bool m_logAttached = false;
    bool m_drainScheduled = false;
    QByteArray m_readBuffer; // reused by every slice
    qint64 m_skippedOutputBytes = 0;
    std::optional<PendingExit> m_pendingExit;
    QPointer<HostPreferences> m_lastPreferences;
    // The start waiting for the credentials; a stop or a newer start makes its answer stale.
    quint64 m_launchNumber = 0;
    bool m_launchAwaitsCredentials = false;

    std::unique_ptr<NetworkInterfaces> m_networkInterfaces = std::make_unique<SystemNetworkInterfaces>();
    TunnelStatusPoller *m_tunnelPoller;
    QTimer *m_setupLinkRefresh;
    QPointer<HostPreferences> m_refreshPreferences;
};
