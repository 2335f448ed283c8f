#pragma once

#include "App/Window/CodingSessionsModel.h"
#include "App/Window/PairedDevicesModel.h"
#include "App/Window/WorkspaceListModel.h"

#include <QAbstractListModel>
#include <QImage>
#include <QObject>
#include <QString>
#include <QVariantList>

class HostAgentController;
class HostPreferences;
class PairingSecretsPlace;
class JsonFileUserDefaults;

// What the host shows of itself, derived from the preferences and the controller, and the actions it offers:
// to the window, to the headless console and to the command line's requests. Views bind to these properties
// and keep no state of their own. The views reach it as the singleton Presenter; the controller itself, with
// its credentials, stays out of their reach.
class HostPresenter : public QObject {
    Q_OBJECT
    // Properties that change together share one signal.
    Q_PROPERTY(RunState runState READ runState NOTIFY runStateChanged)
    Q_PROPERTY(bool running READ running NOTIFY runStateChanged)
    Q_PROPERTY(bool canStop READ canStop NOTIFY runStateChanged)
    Q_PROPERTY(QString headerLabel READ headerLabel NOTIFY runStateChanged)
    Q_PROPERTY(QString runningAgentBuild READ runningAgentBuild NOTIFY runningAgentBuildChanged)
    Q_PROPERTY(bool relayMode READ relayMode NOTIFY relayModeChanged)
    Q_PROPERTY(QString statusHeadline READ statusHeadline NOTIFY hostingStatusChanged)
    Q_PROPERTY(QString trayToolTip READ trayToolTip NOTIFY hostingStatusChanged)
    Q_PROPERTY(QString disconnectedTitle READ disconnectedTitle NOTIFY hostingStatusChanged)
    Q_PROPERTY(QString disconnectedMessage READ disconnectedMessage NOTIFY hostingStatusChanged)
    Q_PROPERTY(QString instructionText READ instructionText NOTIFY hostingStatusChanged)
    Q_PROPERTY(QString tunnelStatusText READ tunnelStatusText NOTIFY tunnelChanged)
    Q_PROPERTY(bool showTunnelRow READ showTunnelRow NOTIFY tunnelChanged)
    Q_PROPERTY(
        QString relayVersionDescription READ relayVersionDescription NOTIFY relayVersionDescriptionChanged)
    Q_PROPERTY(bool hasSetupLink READ hasSetupLink NOTIFY setupLinkChanged)
    Q_PROPERTY(QString maskedSetupLink READ maskedSetupLink NOTIFY setupLinkChanged)
    Q_PROPERTY(bool hasBrowserLink READ hasBrowserLink NOTIFY setupLinkChanged)
    Q_PROPERTY(QString maskedBrowserLink READ maskedBrowserLink NOTIFY setupLinkChanged)
    Q_PROPERTY(QString expiryLine READ expiryLine NOTIFY setupLinkChanged)
    Q_PROPERTY(QString keyFingerprintLine READ keyFingerprintLine NOTIFY setupLinkChanged)
    Q_PROPERTY(QString hostIdText READ hostIdText NOTIFY identityChanged)
    Q_PROPERTY(QString relaySessionText READ relaySessionText NOTIFY identityChanged)
    Q_PROPERTY(QString readinessWarning READ readinessWarning NOTIFY readinessWarningChanged)
    Q_PROPERTY(WorkspaceListModel *workspaces READ workspaces CONSTANT)
    Q_PROPERTY(PairedDevicesModel *devices READ devices CONSTANT)
    Q_PROPERTY(CodingSessionsModel *sessions READ sessions CONSTANT)
    Q_PROPERTY(QAbstractListModel *log READ log CONSTANT)
    Q_PROPERTY(QString settingsFileNotice READ settingsFileNotice NOTIFY settingsFileNoticeChanged)
    Q_PROPERTY(bool trayHostPresent READ trayHostPresent CONSTANT)

public:
    HostPresenter(HostPreferences &preferences, HostAgentController &controller, QObject *parent = nullptr);

    // The agent's run state as the views tell it apart.
    enum class RunState { Stopped, Starting, Running, Stopping, Failed };
    Q_ENUM(RunState)

    // What the window does when it is closed (see HostApplication::closeAction).
    enum class CloseAction { HideWindow, AskFirst, Quit };
    Q_ENUM(CloseAction)

    RunState runState() const;
    bool running() const;
    // An agent runs, starts, or is about to be started again: Stop ends that.
    bool canStop() const;
    QString headerLabel() const;
    QString runningAgentBuild() const;
    bool relayMode() const;
    QString statusHeadline() const;
    // The headline for the desktop's tray, which may read its tool tips as rich text: escaped, since it can
    // carry ngrok's words.
    QString trayToolTip() const { return statusHeadline().toHtmlEscaped(); }
    QString tunnelStatusText() const;
    bool showTunnelRow() const;
    QString relayVersionDescription() const;
    QString disconnectedTitle() const;
    QString disconnectedMessage() const;
    QString instructionText() const;
    bool hasSetupLink() const;
    // The full link: for the clipboard, the console's QR code and the command line's `--link` only, never
    // shown as text, and no property: the views never hold it. `browserForm`: the link's browser form, for
    // the browser client the agent serves (empty when the route has none).
    QString setupLinkText(bool browserForm = false) const;
    // The link's QR code, one pixel per module, for SetupLinkCode to draw; null when there is no link.
    QImage setupLinkCode(bool browserForm = false) const;
    QString maskedSetupLink() const;
    bool hasBrowserLink() const;
    QString maskedBrowserLink() const;
    // Empty when the link has no readable expiry.
    QString expiryLine() const;
    // "Key fingerprint: ..." of the key the link carries (see StatusTexts::keyFingerprintLine); empty without
    // a link.
    QString keyFingerprintLine() const;
    QString hostIdText() const;
    QString relaySessionText() const;
    // Empty when there is nothing to warn about; one line per warning.
    QString readinessWarning() const;
    // The same warnings one by one, a warning per source (see HostWarnings).
    QStringList readinessWarnings() const;
    // Where the pairing secrets are kept (see PairingSecretsPlace); empty until that is known.
    QString secretsPlace() const;
    void showSecretsPlace(const PairingSecretsPlace &place);
    WorkspaceListModel *workspaces() const { return m_workspaces; }
    PairedDevicesModel *devices() const { return m_devices; }
    CodingSessionsModel *sessions() const { return m_sessions; }
    // The agent's masked output, newest last.
    QAbstractListModel *log() const;
    // Why the settings are at their defaults, shown until dismissed; empty when there is nothing to say.
    QString settingsFileNotice() const { return m_settingsFileNotice; }
    // Sets the notice when the settings file could not be read at start-up.
    void reportSettingsFile(const JsonFileUserDefaults &defaults);

    Q_INVOKABLE void startHosting();
    // Ends the coding sessions and the agent, without asking (see requestStop).
    Q_INVOKABLE void stopHosting();
    // Stop (quitting false) and Quit as the user asks for them: at once when no coding session runs,
    // otherwise endingNeedsConfirmation asks first and confirmEnding does it.
    Q_INVOKABLE void requestEnding(bool quitting);
    Q_INVOKABLE void confirmEnding(bool quitting);
    Q_INVOKABLE void restartHosting();
    Q_INVOKABLE void restartHostingIfActive();
    Q_INVOKABLE void rotatePairing();
    Q_INVOKABLE void revokeDevice(const QString &deviceId);
    Q_INVOKABLE void copySetupLink(bool browserForm = false);
    Q_INVOKABLE void refreshPermissionPreflight();
    Q_INVOKABLE void grantFolderAccess(const QString &path);
    Q_INVOKABLE void revealFolder(const QString &path);
    Q_INVOKABLE void removeWorkspace(const QString &path);
    Q_INVOKABLE void clearWorkspaces();
    // Appends each folder (URLs or paths) that is not pinned yet, in order.
    Q_INVOKABLE void pinFolders(const QVariantList &folders);
    Q_INVOKABLE void dismissSettingsFileNotice();
    Q_INVOKABLE CloseAction closeAction(bool trayAvailable) const;
    // Ends the app (the agent is stopped on the way out). Unlike QGuiApplication::quit, which first asks
    // every window to close and gives up when one refuses, as the window does while it asks about hosting.
    Q_INVOKABLE static void quit();
    // The answer to "Keep hosting in the background?" with "Don't ask again" chosen.
    Q_INVOKABLE void rememberCloseChoice(bool keepHosting);
    // Whether the window starts in the tray rather than on screen.
    Q_INVOKABLE bool startsHidden(bool trayAvailable) const;
    bool launchedAtLogin() const { return m_launchedAtLogin; }
    void setLaunchedAtLogin(bool launchedAtLogin) { m_launchedAtLogin = launchedAtLogin; }
    // Whether the desktop can show the tray icon at all; without it the views make none.
    bool trayHostPresent() const { return m_trayHostPresent; }
    void setTrayHostPresent(bool present) { m_trayHostPresent = present; }

signals:
    void runStateChanged();
    void runningAgentBuildChanged();
    void relayModeChanged();
    void hostingStatusChanged();
    void tunnelChanged();
    void relayVersionDescriptionChanged();
    void setupLinkChanged();
    void identityChanged();
    void readinessWarningChanged();
    void secretsPlaceChanged();
    void settingsFileNoticeChanged();
    // Stop or Quit would end running coding sessions: the views ask, and answer with confirmEnding.
    void endingNeedsConfirmation(const QString &title, const QString &question, bool quitting);

private:
    HostPreferences &m_preferences;
    HostAgentController &m_controller;
    WorkspaceListModel *m_workspaces;
    PairedDevicesModel *m_devices;
    CodingSessionsModel *m_sessions;
    const PairingSecretsPlace *m_secretsPlace = nullptr;
    QString m_settingsFileNotice;
    bool m_launchedAtLogin = false;
    bool m_trayHostPresent = false;
};
