#include "App/HeadlessHost.h"
#include "App/HostApplication.h"
#include "App/HostCommandLine.h"
#include "App/HostControlClient.h"
#include "App/HostControlRequests.h"
#include "App/HostKeyringChoice.h"
#include "App/HostWindowPresenter.h"
#include "App/QmlSingletons.h"
#include "App/QuickFolderChooser.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/LoginItem.h"
#include "Platform/SingleInstance.h"
#include "Platform/StatusNotifierWatcher.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"
#include "Shared/AppBrand.h"
#include "Shared/UnixSignalWatcher.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlExtensionPlugin>
#include <QQuickStyle>
#include <QQuickWindow>

#include <algorithm>
#include <csignal>

Q_IMPORT_QML_PLUGIN(Ferrowyn_CorePlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ViewsPlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ThemePlugin)

namespace {

int printed(const HostCommandLine &commandLine)
{
    std::fputs(qPrintable(commandLine.output + QLatin1Char('\n')),
               commandLine.outputIsError ? stderr : stdout);
    return commandLine.exitCode;
}

// Qt's own options take one dash ("-platform offscreen"); the host's take two.
bool hasQtOptions(const QStringList &arguments)
{
    return std::any_of(arguments.cbegin() + 1, arguments.cend(), [](const QString &word) {
        return word.size() > 1 && word.startsWith(QLatin1Char('-')) && !word.startsWith(QLatin1String("--"));
    });
}

int runWindow(int argc, char *argv[], HostCommandLine commandLine)
{
    QGuiApplication app(argc, argv);
    if (commandLine.action == HostCommandLine::Action::Print) {
        // The arguments held options of Qt's own (-platform, -style); without them, they may be fine.
        commandLine = HostCommandLine::parse(QCoreApplication::arguments());
        if (commandLine.action == HostCommandLine::Action::Print)
            return printed(commandLine);
    }
    // A closed window may leave the app hosting in the tray or in the background; quitting is explicit.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QGuiApplication::setApplicationName(AppBrand::hostName);
    QGuiApplication::setDesktopFileName(AppBrand::appId);
    // Fusion draws with the desktop's palette, light or dark.
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    SingleInstance instance;
    if (!instance.claim())
        return 0;

    JsonFileUserDefaults defaults(JsonFileUserDefaults::standardPath());
    const HostKeyringChoice secrets = HostKeyringChoice::make(false, defaults);
    Keyring &keyring = *secrets.keyring;
    HostPreferences preferences(defaults, HostNgrokTokenStore(keyring));
    QQmlApplicationEngine engine;
    QuickFolderChooser folderChooser(engine);
    HostAgentController controller(defaults, keyring, HostAgentController::standardLocator(), folderChooser);
    XdgAutostartLoginItem loginItem(AppBrand::appId, AppBrand::hostName,
                                    QCoreApplication::applicationFilePath());
    loginItem.setArguments({QStringLiteral("--autostart")});
    HostApplication application(preferences, controller, loginItem);
    HostWindowPresenter presenter(preferences, controller);
    presenter.reportSettingsFile(defaults);
    presenter.setLaunchedAtLogin(commandLine.launchedAtLogin);
    presenter.setTrayHostPresent(StatusNotifierWatcher::isPresent());
    if (!secrets.warning.isEmpty())
        controller.setReadinessWarning(secrets.warning);
    HostControlRequests requests(preferences, controller, presenter, secrets.location,
                                 &HostWindowPresenter::quit);
    instance.setRequestHandler([&requests](const QJsonObject &request) { return requests.answer(request); });

    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::signalReceived, &app, &HostWindowPresenter::quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &application, &HostApplication::terminate);

    QmlSingletons::provide(preferences, presenter);
    // The views' modules are compiled in under qrc:/Ferrowyn/..., which Qt 6.4 does not search by itself.
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.load(QUrl(QStringLiteral("qrc:/Ferrowyn/Views/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    folderChooser.setParentWindow(window);
    // Whether the window shows or stays in the tray, the start-up (preflight, hosting if asked for) runs now.
    application.windowShown();
    QObject::connect(&instance, &SingleInstance::activationRequested, window, [window] {
        window->showNormal();
        window->raise();
        window->requestActivate();
    });
    return QGuiApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Read before any application object exists: a command line that only asks something, or hosts without a
    // window, must not need (or load) a display.
    const HostCommandLine commandLine = HostCommandLine::parse(arguments);
    switch (commandLine.action) {
    case HostCommandLine::Action::Print:
        if (commandLine.exitCode == HostCommandLine::badArguments && hasQtOptions(arguments))
            break;
        return printed(commandLine);
    case HostCommandLine::Action::Control: {
        QCoreApplication app(argc, argv);
        return HostControlClient::run(commandLine);
    }
    case HostCommandLine::Action::Headless: {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(AppBrand::hostName);
        return HeadlessHost::run(commandLine);
    }
    case HostCommandLine::Action::Window:
        break;
    }
    return runWindow(argc, argv, commandLine);
}
