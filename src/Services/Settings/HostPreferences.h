#pragma once

#include "Services/Settings/HostNgrokTokenStore.h"
#include "Shared/AgentAddress.h"
#include "Shared/HostingMode.h"

#include <QObject>
#include <QStringList>

class UserDefaults;

// Every user setting of the host. Each setter writes through at once, before it announces the change: a
// reaction that restarts the agent or ends the process can then never cost the new value.
class HostPreferences : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList workspaces READ workspaces WRITE setWorkspaces NOTIFY workspacesChanged)
    Q_PROPERTY(Hosting::HostingMode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(int lanPort READ lanPort WRITE setLanPort NOTIFY lanPortChanged)
    Q_PROPERTY(bool lanBindAll READ lanBindAll WRITE setLanBindAll NOTIFY lanBindAllChanged)
    Q_PROPERTY(bool ngrokTunnelEnabled READ ngrokTunnelEnabled WRITE setNgrokTunnelEnabled NOTIFY
                   ngrokTunnelEnabledChanged)
    // The token itself is written from the views but never read back by them: they only learn whether one
    // is set.
    Q_PROPERTY(bool hasNgrokAuthtoken READ hasNgrokAuthtoken NOTIFY ngrokAuthtokenChanged)
    Q_PROPERTY(QString relayURL READ relayURL WRITE setRelayURL NOTIFY relayURLChanged)
    Q_PROPERTY(Hosting::HostRelayVersion relayVersion READ relayVersion WRITE setRelayVersion NOTIFY
                   relayVersionChanged)
    Q_PROPERTY(bool startHostingOnLaunch READ startHostingOnLaunch WRITE setStartHostingOnLaunch NOTIFY
                   startHostingOnLaunchChanged)
    Q_PROPERTY(bool openAtLogin READ openAtLogin WRITE setOpenAtLogin NOTIFY openAtLoginChanged)
    Q_PROPERTY(
        bool keepRelayOnline READ keepRelayOnline WRITE setKeepRelayOnline NOTIFY keepRelayOnlineChanged)
    // What tablets may start in a coding session: program names (or absolute paths), and the user's shell.
    Q_PROPERTY(QStringList sessionPrograms READ sessionPrograms WRITE setSessionPrograms NOTIFY
                   sessionProgramsChanged)
    Q_PROPERTY(bool allowShell READ allowShell WRITE setAllowShell NOTIFY allowShellChanged)
    // Tablets that do not encrypt are let in from other computers too: their secrets cross the network in
    // the clear. Off unless the user turns it on.
    Q_PROPERTY(bool allowUnencryptedClients READ allowUnencryptedClients WRITE setAllowUnencryptedClients
                   NOTIFY allowUnencryptedClientsChanged)
    // The form of the setup link the window shows: the browser's (true) or the app's, as the user picked
    // last.
    Q_PROPERTY(
        bool browserLinkForm READ browserLinkForm WRITE setBrowserLinkForm NOTIFY browserLinkFormChanged)

public:
    static constexpr int defaultLanPort = AgentAddress::defaultPort;

    HostPreferences(UserDefaults &defaults, HostNgrokTokenStore ngrokTokenStore, QObject *parent = nullptr);

    // Whether the pairing secrets live in an owner-only file rather than the keyring. Read before anything
    // else, since it decides which keyring the stores get; there is no switch for it in the window.
    static bool usesSecretsFile(const UserDefaults &defaults);
    // What closing the window does while hosting when there is no tray to keep the app in: keep hosting in
    // the background (true) or stop and quit (false); none until the user says "Don't ask again".
    std::optional<bool> keepHostingWhenClosed() const;
    void setKeepHostingWhenClosed(bool keepHosting);

    QStringList workspaces() const { return m_workspaces; }
    HostingMode mode() const { return m_mode; }
    int lanPort() const { return m_lanPort; }
    bool lanBindAll() const { return m_lanBindAll; }
    bool ngrokTunnelEnabled() const { return m_ngrokTunnelEnabled; }
    QString ngrokAuthtoken() const { return m_ngrokAuthtoken; }
    // Something besides blanks, which is what the keyring keeps.
    bool hasNgrokAuthtoken() const { return !m_ngrokAuthtoken.trimmed().isEmpty(); }
    QString relayURL() const { return m_relayURL; }
    HostRelayVersion relayVersion() const { return m_relayVersion; }
    bool startHostingOnLaunch() const { return m_startHostingOnLaunch; }
    bool openAtLogin() const { return m_openAtLogin; }
    bool keepRelayOnline() const { return m_keepRelayOnline; }
    QStringList sessionPrograms() const { return m_sessionPrograms; }
    bool allowShell() const { return m_allowShell; }
    bool allowUnencryptedClients() const { return m_allowUnencryptedClients; }
    bool browserLinkForm() const { return m_browserLinkForm; }

    void setWorkspaces(const QStringList &workspaces);
    void setMode(HostingMode mode);
    void setLanPort(int port);
    void setLanBindAll(bool bindAll);
    void setNgrokTunnelEnabled(bool enabled);
    // Kept in memory exactly as typed; the keyring gets the trimmed token. The stored token arrives from the
    // keyring shortly after construction, unless one was set before.
    Q_INVOKABLE void setNgrokAuthtoken(const QString &token);
    // Stored as typed: no trimming, no normalisation.
    void setRelayURL(const QString &url);
    void setRelayVersion(HostRelayVersion version);
    void setStartHostingOnLaunch(bool enabled);
    void setOpenAtLogin(bool enabled);
    void setKeepRelayOnline(bool enabled);
    // Kept as CodingWork::normalizedPrograms makes them.
    void setSessionPrograms(const QStringList &programs);
    void setAllowShell(bool allowed);
    void setAllowUnencryptedClients(bool allowed);
    void setBrowserLinkForm(bool browser);

    const HostNgrokTokenStore &ngrokTokenStore() const { return m_ngrokTokenStore; }

signals:
    void workspacesChanged();
    void modeChanged();
    void lanPortChanged();
    void lanBindAllChanged();
    void ngrokTunnelEnabledChanged();
    void ngrokAuthtokenChanged();
    void relayURLChanged();
    void relayVersionChanged();
    void startHostingOnLaunchChanged();
    void openAtLoginChanged();
    void keepRelayOnlineChanged();
    void sessionProgramsChanged();
    void allowShellChanged();
    void allowUnencryptedClientsChanged();
    void browserLinkFormChanged();

private:
    void load();

    UserDefaults &m_defaults;
    HostNgrokTokenStore m_ngrokTokenStore;
    QStringList m_workspaces;
    HostingMode m_mode = HostingMode::lan;
    int m_lanPort = defaultLanPort;
    bool m_lanBindAll = true;
    bool m_ngrokTunnelEnabled = false;
    QString m_ngrokAuthtoken;
    bool m_ngrokAuthtokenEdited = false;
    QString m_relayURL;
    HostRelayVersion m_relayVersion = HostRelayVersion::elixirV2;
    bool m_startHostingOnLaunch = false;
    bool m_openAtLogin = false;
    bool m_keepRelayOnline = true;
    QStringList m_sessionPrograms;
    bool m_allowShell = false;
    bool m_allowUnencryptedClients = false;
    bool m_browserLinkForm = false;
};
