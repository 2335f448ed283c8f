#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>

class HostAgentController;
class HostPreferences;
class JsonFileUserDefaults;

// What the window shows, derived from the preferences and the controller, and the window's actions.
// Views bind to these properties and keep no state of their own.
class HostWindowPresenter : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString stateKind READ stateKind NOTIFY statusChanged)
    Q_PROPERTY(bool running READ running NOTIFY statusChanged)
    Q_PROPERTY(bool canStop READ canStop NOTIFY statusChanged)
    Q_PROPERTY(bool relayMode READ relayMode NOTIFY statusChanged)
    Q_PROPERTY(QString headerLabel READ headerLabel NOTIFY statusChanged)
    Q_PROPERTY(QString statusHeadline READ statusHeadline NOTIFY statusChanged)
    Q_PROPERTY(QString tunnelStatusText READ tunnelStatusText NOTIFY statusChanged)
    Q_PROPERTY(bool showTunnelRow READ showTunnelRow NOTIFY statusChanged)
    Q_PROPERTY(QString relayVersionDescription READ relayVersionDescription NOTIFY statusChanged)
    Q_PROPERTY(QString disconnectedTitle READ disconnectedTitle NOTIFY statusChanged)
    Q_PROPERTY(QString disconnectedMessage READ disconnectedMessage NOTIFY statusChanged)
    Q_PROPERTY(QString instructionText READ instructionText NOTIFY statusChanged)
    Q_PROPERTY(bool hasSetupLink READ hasSetupLink NOTIFY statusChanged)
    Q_PROPERTY(QString setupLinkText READ setupLinkText NOTIFY statusChanged)
    Q_PROPERTY(QString maskedSetupLink READ maskedSetupLink NOTIFY statusChanged)
    Q_PROPERTY(QString expiryLine READ expiryLine NOTIFY statusChanged)
    Q_PROPERTY(QString hostIdText READ hostIdText NOTIFY statusChanged)
    Q_PROPERTY(QString relaySessionText READ relaySessionText NOTIFY statusChanged)
    Q_PROPERTY(QString preflightSummary READ preflightSummary NOTIFY workspaceRowsChanged)
    Q_PROPERTY(QVariantList workspaceRows READ workspaceRows NOTIFY workspaceRowsChanged)
    Q_PROPERTY(QString settingsFileNotice READ settingsFileNotice NOTIFY settingsFileNoticeChanged)

public:
    HostWindowPresenter(HostPreferences &preferences, HostAgentController &controller,
                        QObject *parent = nullptr);

    QString stateKind() const;
    bool running() const;
    // An agent runs, starts, or is about to be started again: Stop ends that.
    bool canStop() const;
    bool relayMode() const;
    QString headerLabel() const;
    QString statusHeadline() const;
    QString tunnelStatusText() const;
    bool showTunnelRow() const;
    QString relayVersionDescription() const;
    QString disconnectedTitle() const;
    QString disconnectedMessage() const;
    QString instructionText() const;
    bool hasSetupLink() const;
    // The full link: for the QR code and the clipboard only, never shown as text.
    QString setupLinkText() const;
    QString maskedSetupLink() const;
    // Empty when the link has no readable expiry.
    QString expiryLine() const;
    QString hostIdText() const;
    QString relaySessionText() const;
    // "blocked", "ready" or empty.
    QString preflightSummary() const;
    // One map per pinned folder: path, name, hasItem, badgeTitle, badgeSymbol, badgeTint, message, showGrant.
    QVariantList workspaceRows() const;
    // Why the settings are at their defaults, shown until dismissed; empty when there is nothing to say.
    QString settingsFileNotice() const { return m_settingsFileNotice; }
    // Sets the notice when the settings file could not be read at start-up.
    void reportSettingsFile(const JsonFileUserDefaults &defaults);

    Q_INVOKABLE void startHosting();
    Q_INVOKABLE void stopHosting();
    Q_INVOKABLE void restartHosting();
    Q_INVOKABLE void restartHostingIfActive();
    Q_INVOKABLE void rotatePairing();
    Q_INVOKABLE void copySetupLink();
    Q_INVOKABLE void refreshPermissionPreflight();
    Q_INVOKABLE void grantFolderAccess(const QString &path);
    Q_INVOKABLE void revealFolder(const QString &path);
    Q_INVOKABLE void removeWorkspace(const QString &path);
    Q_INVOKABLE void clearWorkspaces();
    // Appends each folder (URLs or paths) that is not pinned yet, in order.
    Q_INVOKABLE void pinFolders(const QVariantList &folders);
    Q_INVOKABLE void dismissSettingsFileNotice();

signals:
    void statusChanged();
    void workspaceRowsChanged();
    void settingsFileNoticeChanged();

private:
    HostPreferences &m_preferences;
    HostAgentController &m_controller;
    QString m_settingsFileNotice;
};
