#include "Platform/JsonFileUserDefaults.h"
#include "Platform/SecretServiceKeyring.h"
#include "Services/HostPreferences.h"
#include "Shared/AppBrand.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(Ferrowyn_ViewsPlugin)

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(AppBrand::hostName);
    QGuiApplication::setDesktopFileName(QStringLiteral("dev.ferrowyn.host"));

    JsonFileUserDefaults defaults(JsonFileUserDefaults::standardPath());
    SecretServiceKeyring keyring;
    HostPreferences preferences(
        defaults,
        HostNgrokTokenStore(keyring, QStringLiteral("dev.ferrowyn.host.ngrok"), QStringLiteral("authtoken")));

    QQmlApplicationEngine engine;
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &app, [] { QCoreApplication::exit(1); },
        Qt::QueuedConnection);
    engine.load(QUrl(QStringLiteral("qrc:/Ferrowyn/Views/Main.qml")));
    return QGuiApplication::exec();
}
