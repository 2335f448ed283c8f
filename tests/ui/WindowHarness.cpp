#include "WindowHarness.h"

#include "App/QmlSingletons.h"

#include <QQmlExtensionPlugin>
#include <QQuickTextDocument>
#include <QTest>

#include <functional>

Q_IMPORT_QML_PLUGIN(Ferrowyn_CorePlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ViewsPlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ThemePlugin)

namespace {

HostAgentTimings shortTimings()
{
    HostAgentTimings timings;
    timings.confirmationDelay = std::chrono::milliseconds(100);
    timings.restart.firstDelay = std::chrono::milliseconds(150);
    timings.process.killTimeout = std::chrono::milliseconds(1000);
    timings.tunnelPoll = {std::chrono::milliseconds(50), 2000, std::chrono::milliseconds(1000)};
    return timings;
}

} // namespace

WindowHarness::WindowHarness()
    : preferences(defaults, HostNgrokTokenStore(keyring, QStringLiteral("dev.ferrowyn.host.ngrok"),
                                                QStringLiteral("authtoken")))
{
    // The agent keeps its trusted devices and relay state under the home folder: never the real one.
    qputenv("HOME", home.path().toUtf8());
    controller = std::make_unique<HostAgentController>(
        defaults, keyring, [this] { return agentPath; }, chooser, shortTimings());
    // A realistic LAN address on screen, whatever machine the test runs on.
    controller->setNetworkInterfaces(std::make_unique<ScriptedNetworkInterfaces>(
        QList<NetworkInterfaceAddress>{ScriptedNetworkInterfaces::ipv4("lo", "127.0.0.1", true, true),
                                       ScriptedNetworkInterfaces::ipv4("eth0", "192.168.1.20")}));
    presenter = std::make_unique<HostWindowPresenter>(preferences, *controller);
    application = std::make_unique<HostApplication>(preferences, *controller, loginItem);
    preferences.setKeepRelayOnline(false);
    QmlSingletons::provide(preferences, *presenter);
    m_engine.addImportPath(QStringLiteral("qrc:/"));
}

WindowHarness::~WindowHarness()
{
    controller->stop(true);
}

void WindowHarness::load()
{
    m_engine.load(QUrl(QStringLiteral("qrc:/Ferrowyn/Views/Main.qml")));
    QVERIFY(!m_engine.rootObjects().isEmpty());
    m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().constFirst());
    QVERIFY(m_window);
    m_window->resize(1000, 760);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    application->windowShown();
}

QString WindowHarness::text(const QString &objectName) const
{
    QObject *item = find<QObject>(objectName);
    return item ? item->property("text").toString() : QString();
}

bool WindowHarness::shown(const QString &objectName) const
{
    const QQuickItem *item = find(objectName);
    return item && item->isVisible();
}

QList<QQuickItem *> WindowHarness::all(const QString &objectName, QQuickItem *root) const
{
    QList<QQuickItem *> found;
    const std::function<void(QQuickItem *)> visit = [&](QQuickItem *item) {
        if (objectName.isNull() || item->objectName() == objectName)
            found.append(item);
        for (QQuickItem *child : item->childItems())
            visit(child);
    };
    visit(root ? root : m_window->contentItem());
    return found;
}

QList<QQuickItem *> WindowHarness::showing(const QString &text, QQuickItem *root) const
{
    QList<QQuickItem *> found = all(QString(), root);
    found.removeIf([&](QQuickItem *i) { return !i->isVisible() || i->property("text").toString() != text; });
    return found;
}

QImage WindowHarness::grab() const
{
    return m_window->grabWindow();
}

void WindowHarness::useFakeAgent(const QString &script)
{
    FakeAgent::setScript(script);
    agentPath = FakeAgent::path();
}

void WindowHarness::reset()
{
    controller->stop(true);
    // A stop keeps a failure on screen; only an agent that ends cleanly clears it.
    if (controller->state().isFailed()) {
        useFakeAgent(QStringLiteral("exit=0"));
        controller->start(&preferences);
        QTRY_COMPARE(controller->state(), AgentRunState::stopped());
    }
    preferences.setWorkspaces({});
    preferences.setMode(HostingMode::lan);
    preferences.setNgrokTunnelEnabled(false);
    preferences.setLanBindAll(true);
    preferences.setLanPort(8765);
    preferences.setRelayVersion(HostRelayVersion::elixirV2);
    controller->setReadinessWarning({});
}
