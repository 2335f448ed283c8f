#include "App/Headless/HeadlessHost.h"

#include "App/CommandLine/HostCommandLine.h"
#include "App/Headless/HeadlessConsole.h"
#include "App/HostSession.h"
#include "Platform/FolderChooser.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/RunOverlayUserDefaults.h"
#include "Platform/SingleInstance.h"
#include "Services/HostAgentController.h"
#include "Services/Sessions/CodingWork.h"
#include "Services/Wording/PlatformWording.h"
#include "Shared/AppBrand.h"

#include <QCoreApplication>

namespace {

// Nobody is there to choose a folder; folders come from the settings or --workspace.
class NoFolderChooser : public FolderChooser {
public:
    std::optional<QString> chooseFolder(const FolderChooserRequest &) override { return std::nullopt; }
};

void sayError(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

void applyRunSettings(const HostCommandLine &commandLine, HostPreferences &preferences)
{
    if (!commandLine.workspaces.isEmpty())
        preferences.setWorkspaces(commandLine.workspaces);
    if (commandLine.mode)
        preferences.setMode(*commandLine.mode);
    if (commandLine.port)
        preferences.setLanPort(*commandLine.port);
    if (commandLine.bindAll)
        preferences.setLanBindAll(*commandLine.bindAll);
    if (commandLine.ngrok)
        preferences.setNgrokTunnelEnabled(true);
    if (!commandLine.programs.isEmpty())
        preferences.setSessionPrograms(commandLine.programs);
    if (commandLine.allowShell)
        preferences.setAllowShell(true);
    if (commandLine.allowUnencryptedClients)
        preferences.setAllowUnencryptedClients(true);
}

} // namespace

int HeadlessHost::run(const HostCommandLine &commandLine)
{
    SingleInstance instance;
    if (!instance.claim()) {
        sayError(AppBrand::hostName + QStringLiteral(" is already running: see ferrowyn-host --status"));
        return 1;
    }
    if (const AgentLocation agent = HostAgentController::standardLocator()(); !agent.path) {
        sayError(PlatformWording::missingAgent(agent.lookedIn));
        return 1;
    }

    JsonFileUserDefaults saved(JsonFileUserDefaults::standardPath());
    RunOverlayUserDefaults defaults(saved);
    NoFolderChooser folderChooser;
    HostSession host(defaults, saved, commandLine.secretsFile, folderChooser);
    // Nothing runs yet, so the settings of this run take effect before anything reacts to them.
    defaults.overrideForThisRun([&] { applyRunSettings(commandLine, host.preferences); });
    host.reportSettingsFile(saved);

    HeadlessConsole console(host.presenter, host.controller, commandLine.printQRCode);
    console.say(AppBrand::hostName + QStringLiteral(" is hosting without a window."));
    // The agent started with only this run's folders ends the sessions working elsewhere: said before it
    // does.
    if (!commandLine.workspaces.isEmpty()) {
        QStringList sessionFolders;
        for (const HostedSession &session : host.controller.sessions().sessions())
            sessionFolders.append(session.folder);
        const QString ending =
            CodingWork::unpinQuestion(CodingWork::endedWithout(sessionFolders, commandLine.workspaces));
        if (!ending.isEmpty())
            console.say(
                QStringLiteral("This run (--workspace) leaves folders with coding sessions unpinned. ") +
                ending);
    }
    host.answerRequestsOn(instance);

    // Hosting that cannot start, and that nothing will start again, ends the run with the status that says
    // so. Asked once the supervisor has decided on a restart.
    QObject::connect(
        &host.controller, &HostAgentController::stateChanged, &host.controller,
        [&host] {
            if (host.controller.restartCannotMend() && !host.controller.restartPending())
                QCoreApplication::exit(1);
        },
        Qt::QueuedConnection);
    host.controller.refreshPermissionPreflight(&host.preferences);
    host.controller.start(&host.preferences);
    return QCoreApplication::exec();
}
