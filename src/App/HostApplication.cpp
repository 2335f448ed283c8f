#include "App/HostApplication.h"

#include "Services/HostAgentController.h"
#include "Services/Settings/HostLoginItemManager.h"
#include "Services/Settings/HostPreferences.h"

#include <algorithm>
#include <utility>

HostApplication::HostApplication(HostPreferences &preferences, HostAgentController &controller,
                                 LoginItem &loginItem, QObject *parent)
    : QObject(parent), m_preferences(preferences), m_controller(controller), m_loginItem(loginItem)
{
    const auto restart = [this] {
        restartHostingIfActive(m_controller, m_preferences);
    };
    // The programs sessions may run are given at launch: a restart, which keeps the sessions, brings a change
    // to the next session opened.
    for (auto signal : {&HostPreferences::modeChanged, &HostPreferences::lanPortChanged,
                        &HostPreferences::lanBindAllChanged, &HostPreferences::ngrokTunnelEnabledChanged,
                        &HostPreferences::sessionProgramsChanged, &HostPreferences::allowShellChanged,
                        &HostPreferences::allowUnencryptedClientsChanged})
        connect(&m_preferences, signal, this, restart);
    // Said for as long as the option is on, whether hosting runs or not: the next start lets them in.
    const auto warnOfUnencryptedClients = [this] {
        m_controller.warnings().report(
            HostWarnings::Source::unencryptedClients,
            m_preferences.allowUnencryptedClients() ? HostWarnings::unencryptedClientsAllowed : QString());
    };
    warnOfUnencryptedClients();
    connect(&m_preferences, &HostPreferences::allowUnencryptedClientsChanged, this, warnOfUnencryptedClients);
    // A folder the user unpinned is no longer the tablets' to reach: the agent serves the folders it was
    // started with, and one started without it ends the sessions working there. A folder pinned waits for the
    // next start, as its grant does.
    m_pinned = m_preferences.workspaces();
    connect(&m_preferences, &HostPreferences::workspacesChanged, this, [this, restart] {
        const QStringList before = std::exchange(m_pinned, m_preferences.workspaces());
        if (std::any_of(before.cbegin(), before.cend(),
                        [this](const QString &folder) { return !m_pinned.contains(folder); }))
            restart();
    });
    connect(&m_preferences, &HostPreferences::relayVersionChanged, this, [this, restart] {
        // Another protocol needs its own managed relay, whatever URL was typed before.
        m_preferences.setRelayURL(managedDefaultURL(m_preferences.relayVersion()));
        restart();
    });
    connect(&m_preferences, &HostPreferences::openAtLoginChanged, this, [this] {
        m_controller.warnings().report(
            HostWarnings::Source::loginItem,
            HostLoginItemManager::setEnabled(m_preferences.openAtLogin(), m_loginItem).value_or(QString()));
    });
}

void HostApplication::runLaunchStartup()
{
    if (m_didRunLaunchStartup)
        return;
    m_didRunLaunchStartup = true;
    m_controller.refreshPermissionPreflight(&m_preferences);
    if (m_preferences.startHostingOnLaunch())
        m_controller.start(&m_preferences);
}

void HostApplication::restartHostingIfActive(HostAgentController &controller, HostPreferences &preferences)
{
    const AgentRunState::Kind kind = controller.state().kind();
    if (kind != AgentRunState::Kind::starting && kind != AgentRunState::Kind::running)
        return;
    // The start ends the agent first, without blocking, and launches the new one once the old one is gone.
    controller.start(&preferences);
}

void HostApplication::terminate()
{
    // Whether or not the window was ever shown: an agent started any other way must not outlive the host
    // either, and stopping when nothing runs costs nothing. Nobody could reach the coding sessions any more:
    // they end too.
    m_controller.stopHostingAndWait();
}

HostApplication::CloseAction HostApplication::closeAction(bool trayAvailable, bool hosting,
                                                          std::optional<bool> keepHostingWhenClosed)
{
    if (trayAvailable)
        return CloseAction::HideWindow;
    if (!hosting)
        return CloseAction::Quit;
    if (!keepHostingWhenClosed)
        return CloseAction::AskFirst;
    return *keepHostingWhenClosed ? CloseAction::HideWindow : CloseAction::Quit;
}
