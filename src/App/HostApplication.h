#pragma once

#include <QObject>
#include <QStringList>

#include <optional>

class HostAgentController;
class HostPreferences;
class LoginItem;

// The application's rules around the one preferences object and the one controller: the launch start-up,
// the reactions to settings changes, and stopping the agent before the process ends.
class HostApplication : public QObject {
    Q_OBJECT

public:
    HostApplication(HostPreferences &preferences, HostAgentController &controller, LoginItem &loginItem,
                    QObject *parent = nullptr);

    // The start-up at launch (preflight, then hosting if asked for); it runs only the first time.
    void runLaunchStartup();
    // Stops a running or starting agent, waits for it, and starts it again with the current settings.
    static void restartHostingIfActive(HostAgentController &controller, HostPreferences &preferences);
    // Before the process ends: no agent may outlive the host, nor any coding session.
    void terminate();

    // What closing the window does. With a tray the app lives on in it; without one, hosting in the
    // background is kept only when the user says so, since nothing would show that it goes on.
    enum class CloseAction { HideWindow, AskFirst, Quit };
    static CloseAction closeAction(bool trayAvailable, bool hosting,
                                   std::optional<bool> keepHostingWhenClosed);
    // Started at login with a tray, and hosting starts by itself: the window stays in the tray.
    static bool startsHidden(bool launchedAtLogin, bool trayAvailable, bool startHostingOnLaunch)
    {
        return launchedAtLogin && trayAvailable && startHostingOnLaunch;
    }

    bool didRunLaunchStartup() const { return m_didRunLaunchStartup; }

private:
    HostPreferences &m_preferences;
    HostAgentController &m_controller;
    LoginItem &m_loginItem;
    // The folders pinned before the latest change, to tell an unpinning from a pinning.
    QStringList m_pinned;
    bool m_didRunLaunchStartup = false;
};
