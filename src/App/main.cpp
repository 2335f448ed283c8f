#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlClient.h"
#include "App/CommandLine/SessionCommands.h"
#include "App/CommandLine/WindowDisplay.h"
#include "App/Headless/HeadlessHost.h"
#include "App/HostPresenter.h"
#include "App/HostSession.h"
#include "App/Window/QmlSingletons.h"
#include "App/Window/QuickFolderChooser.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/SingleInstance.h"
#include "Platform/StatusNotifierWatcher.h"
#include "Services/Settings/HostCredentialStore.h"
#include "Shared/AppBrand.h"
#include "Shared/WindowDrawing.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlExtensionPlugin>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <utility>

Q_IMPORT_QML_PLUGIN(Ferrowyn_CorePlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ViewsPlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ThemePlugin)

namespace {

// How long the views wait for the pairing's secrets when hosting starts on launch.
constexpr std::chrono::milliseconds viewsHeldForTheAgent{250};

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
    WindowDrawing::chooseForThisComputer();
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
    auto engine = std::make_unique<QQmlApplicationEngine>();
    QuickFolderChooser folderChooser(*engine);
    HostSession host(defaults, defaults, commandLine.secretsFile, folderChooser);
    host.reportSettingsFile(defaults);
    host.presenter.setLaunchedAtLogin(commandLine.launchedAtLogin);
    host.presenter.setTrayHostPresent(StatusNotifierWatcher::isPresent());
    host.answerRequestsOn(instance);

    // The start-up (preflight, hosting if asked for) runs first, whether the window shows or stays in the
    // tray.
    host.application.runLaunchStartup();
    QmlSingletons::provide(host.preferences, host.presenter);
    // The views' modules are compiled in under qrc:/Ferrowyn/..., which Qt 6.4 does not search by itself.
    engine->addImportPath(QStringLiteral("qrc:/"));
    bool viewsLoaded = false;
    const auto loadViews = [&] {
        // Once: the secrets are loaded again at every rotation.
        if (std::exchange(viewsLoaded, true))
            return;
        engine->load(QUrl(QStringLiteral("qrc:/Ferrowyn/Views/Main.qml")));
        if (engine->rootObjects().isEmpty()) {
            host.application.terminate();
            QCoreApplication::exit(1);
            return;
        }
        auto *window = qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
        folderChooser.setParentWindow(window);
        QObject::connect(&instance, &SingleInstance::activationRequested, window, [window] {
            window->showNormal();
            window->raise();
            window->requestActivate();
        });
    };
    // Loading the views and drawing their first frame hold the thread for most of a second. The agent is
    // launched first, once the pairing's secrets are known, so that its confirmation delay passes meanwhile;
    // a keyring that waits for its unlock holds the views up by a moment at most.
    QTimer viewsDue;
    viewsDue.setSingleShot(true);
    QObject::connect(&viewsDue, &QTimer::timeout, &app, loadViews);
    // Queued: the secrets' waiters, the launch among them, are answered first.
    QObject::connect(
        &host.controller.credentialStore(), &HostCredentialStore::loaded, &viewsDue,
        [&viewsDue] { viewsDue.start(0); },
        Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    viewsDue.start(host.controller.state() == AgentRunState::starting() ? viewsHeldForTheAgent
                                                                        : std::chrono::milliseconds(0));
    const int status = QGuiApplication::exec();
    // The views go first: the objects they show as singletons must outlive them.
    engine.reset();
    return status;
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
    case HostCommandLine::Action::Attach:
        return SessionCommands::attach(commandLine.argument);
    case HostCommandLine::Action::Headless: {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(AppBrand::hostName);
        return HeadlessHost::run(commandLine);
    }
    case HostCommandLine::Action::Window:
        break;
    }
    if (const std::optional<QString> why =
            WindowDisplay::missing(arguments, QProcessEnvironment::systemEnvironment())) {
        std::fprintf(stderr, "%s\n", qPrintable(*why));
        return HostCommandLine::badArguments;
    }
    return runWindow(argc, argv, commandLine);
}
