#include "App/HeadlessHost.h"

#include "App/HeadlessConsole.h"
#include "App/HostApplication.h"
#include "App/HostCommandLine.h"
#include "App/HostControlRequests.h"
#include "App/HostKeyringChoice.h"
#include "App/HostWindowPresenter.h"
#include "Platform/FolderChooser.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/LoginItem.h"
#include "Platform/RunOverlayUserDefaults.h"
#include "Platform/SingleInstance.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"
#include "Shared/AppBrand.h"
#include "Shared/UnixSignalWatcher.h"

#include <QCoreApplication>

#include <csignal>

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
}

} // namespace

int HeadlessHost::run(const HostCommandLine &commandLine)
{
    SingleInstance instance;
    if (!instance.claim()) {
        sayError(AppBrand::hostName + QStringLiteral(" is already running: see ferrowyn-host --status"));
        return 1;
    }
    if (!HostAgentController::standardLocator()()) {
        sayError(HostAgentController::missingAgentMessage);
        return 1;
    }

    JsonFileUserDefaults saved(JsonFileUserDefaults::standardPath());
    RunOverlayUserDefaults defaults(saved);
    const HostKeyringChoice secrets = HostKeyringChoice::make(commandLine.secretsFile, saved);
    Keyring &keyring = *secrets.keyring;

    HostPreferences preferences(defaults, HostNgrokTokenStore(keyring));
    defaults.overrideForThisRun([&] { applyRunSettings(commandLine, preferences); });
    NoFolderChooser folderChooser;
    HostAgentController controller(defaults, keyring, HostAgentController::standardLocator(), folderChooser);
    XdgAutostartLoginItem loginItem(AppBrand::appId, AppBrand::hostName,
                                    QCoreApplication::applicationFilePath());
    HostApplication application(preferences, controller, loginItem);
    HostWindowPresenter presenter(preferences, controller);
    presenter.reportSettingsFile(saved);

    HeadlessConsole console(presenter, controller, commandLine.printQRCode);
    console.say(AppBrand::hostName + QStringLiteral(" is hosting without a window. Pairing secrets: ") +
                secrets.location);
    if (!secrets.warning.isEmpty())
        console.say(QStringLiteral("Warning: ") + secrets.warning);
    HostControlRequests requests(preferences, controller, presenter, secrets.location,
                                 &QCoreApplication::quit);
    instance.setRequestHandler([&requests](const QJsonObject &request) { return requests.answer(request); });

    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::signalReceived, qApp, &QCoreApplication::quit);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &application, &HostApplication::terminate);

    controller.refreshPermissionPreflight(&preferences);
    controller.start(&preferences);
    return QCoreApplication::exec();
}
