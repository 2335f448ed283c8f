#include "App/HostApplication.h"
#include "App/HostWindowPresenter.h"
#include "App/QmlSingletons.h"
#include "App/QuickFolderChooser.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/LoginItem.h"
#include "Platform/SecretServiceKeyring.h"
#include "Platform/SingleInstance.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"
#include "Shared/AppBrand.h"
#include "Shared/BuildConfig.h"
#include "Shared/UnixSignalWatcher.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlExtensionPlugin>
#include <QQuickStyle>
#include <QQuickWindow>

#include <csignal>

Q_IMPORT_QML_PLUGIN(Ferrowyn_CorePlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ViewsPlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ThemePlugin)

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(AppBrand::hostName);
    QCoreApplication::setApplicationVersion(QLatin1String(BuildConfig::version));
    QCommandLineParser commandLine;
    commandLine.setApplicationDescription(QLatin1String(BuildConfig::summary));
    const QCommandLineOption helpOption = commandLine.addHelpOption();
    const QCommandLineOption versionOption = commandLine.addVersionOption();
    // Help and the version need no display, so they are answered before the desktop is reached.
    commandLine.parse(QStringList(argv, argv + argc));
    if (commandLine.isSet(helpOption) || commandLine.isSet(versionOption)) {
        const QCoreApplication informationOnly(argc, argv);
        commandLine.process(informationOnly);
        return 0;
    }

    QGuiApplication app(argc, argv);
    // The desktop's own options are gone from the arguments by now; anything else unknown is an error.
    commandLine.process(app);
    QGuiApplication::setDesktopFileName(QLatin1String(BuildConfig::appId));
    // Fusion draws with the desktop's palette, light or dark.
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    SingleInstance instance;
    if (!instance.claim())
        return 0;

    JsonFileUserDefaults defaults(JsonFileUserDefaults::standardPath());
    SecretServiceKeyring keyring;
    HostPreferences preferences(
        defaults,
        HostNgrokTokenStore(keyring, QStringLiteral("dev.ferrowyn.host.ngrok"), QStringLiteral("authtoken")));
    QQmlApplicationEngine engine;
    QuickFolderChooser folderChooser(engine);
    HostAgentController controller(defaults, keyring, HostAgentController::standardLocator(), folderChooser);
    XdgAutostartLoginItem loginItem(QLatin1String(BuildConfig::appId), AppBrand::hostName,
                                    QCoreApplication::applicationFilePath());
    HostApplication application(preferences, controller, loginItem);
    HostWindowPresenter presenter(preferences, controller);
    presenter.reportSettingsFile(defaults);

    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::signalReceived, &app, &QCoreApplication::quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &application, &HostApplication::terminate);

    QmlSingletons::provide(preferences, presenter);
    // The views' modules are compiled in under qrc:/Ferrowyn/..., which Qt 6.4 does not search by itself.
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.load(QUrl(QStringLiteral("qrc:/Ferrowyn/Views/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    folderChooser.setParentWindow(window);
    QObject::connect(window, &QWindow::visibleChanged, &application, [&application](bool visible) {
        if (visible)
            application.windowShown();
    });
    if (window->isVisible())
        application.windowShown();
    QObject::connect(&instance, &SingleInstance::activationRequested, window, [window] {
        window->show();
        window->raise();
        window->requestActivate();
    });
    return QGuiApplication::exec();
}
