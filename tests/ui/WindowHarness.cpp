#include "WindowHarness.h"

#include "App/Window/QmlSingletons.h"
#include "ScriptedNetworkInterfaces.h"
#include "Shared/WindowDrawing.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlExtensionPlugin>
#include <QTest>

#include <functional>
#include <memory>

Q_IMPORT_QML_PLUGIN(Ferrowyn_CorePlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ViewsPlugin)
Q_IMPORT_QML_PLUGIN(Ferrowyn_ThemePlugin)

namespace {

// Short delays, and the agent's output read as the host reads it.
HostAgentTimings windowTimings()
{
    HostAgentTimings timings;
    timings.confirmationDelay = std::chrono::milliseconds(100);
    timings.process.killTimeout = std::chrono::milliseconds(1000);
    return timings;
}

} // namespace

WindowHarness::WindowHarness() : AgentControllerHarness(windowTimings())
{
    // The agent keeps its trusted devices and relay state under the home folder: never the real one.
    qputenv("HOME", scratch.path().toUtf8());
    // Drawn as the host's window draws on this computer.
    WindowDrawing::chooseForThisComputer();
    // A realistic LAN address on screen, whatever machine the test runs on.
    controller->setNetworkInterfaces(std::make_unique<ScriptedNetworkInterfaces>(
        QList<NetworkInterfaceAddress>{ScriptedNetworkInterfaces::ipv4("lo", "127.0.0.1", true, true),
                                       ScriptedNetworkInterfaces::ipv4("eth0", "192.168.1.20")}));
    QmlSingletons::provide(preferences, presenter);
    engine.addImportPath(QStringLiteral("qrc:/"));
}

void WindowHarness::load()
{
    engine.load(QUrl(QStringLiteral("qrc:/Ferrowyn/Views/Main.qml")));
    m_window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    QVERIFY(m_window);
    m_window->resize(1000, 760);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void WindowHarness::reset()
{
    controller->stop(true);
    // A stop keeps a failure on screen; only an agent that ends cleanly clears it.
    if (controller->state().isFailed()) {
        start(QStringLiteral("exit=0"));
        QTRY_COMPARE(controller->state(), AgentRunState::stopped());
    }
    preferences.setWorkspaces({});
    preferences.setMode(HostingMode::lan);
    preferences.setNgrokTunnelEnabled(false);
    preferences.setKeepRelayOnline(false);
    agentPath = FakeAgent::path();
}

QList<QQuickItem *> WindowHarness::showing(const QString &value, QQuickItem *root, const char *property) const
{
    QList<QQuickItem *> found;
    const std::function<void(QQuickItem *)> visit = [&](QQuickItem *item) {
        if (item->isVisible() && item->property(property).toString() == value)
            found.append(item);
        for (QQuickItem *child : item->childItems())
            visit(child);
    };
    visit(root ? root : m_window->contentItem());
    return found;
}

void WindowHarness::saveLightAndDark(const QString &stem)
{
    m_window->resize(1000, 1250);
    QTRY_COMPARE(m_window->contentItem()->height(), 1250);
    // The header's corner follows the palette at the next frame.
    // The views' own colours follow the scheme the palette has.
    QQmlComponent reader(&engine);
    reader.setData(
        "import Ferrowyn.Theme\nimport QtQml\nQtObject { readonly property bool dark: Theme.dark }", QUrl());
    const std::unique_ptr<QObject> theme(reader.create());
    QVERIFY2(theme, qPrintable(reader.errorString()));
    QTRY_VERIFY(m_window->grabWindow().pixelColor(500, 5).lightness() >= 100);
    QVERIFY(!theme->property("dark").toBool());
    QVERIFY(QDir().mkpath(QFileInfo(stem).path()) && m_window->grabWindow().save(stem + "-light.png"));
    const QPalette light = QGuiApplication::palette();
    QGuiApplication::setPalette(QPalette(QColor(60, 60, 60), QColor(36, 36, 36)));
    QTRY_VERIFY(m_window->grabWindow().pixelColor(500, 5).lightness() < 100);
    QVERIFY(theme->property("dark").toBool());
    QVERIFY(m_window->grabWindow().save(stem + "-dark.png"));
    QGuiApplication::setPalette(light);
    m_window->resize(1000, 760);
}

QStringList readableValues(QObject *object)
{
    QStringList values;
    const QMetaObject *meta = object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (QList<int>{QMetaType::QString, QMetaType::QUrl, QMetaType::QStringList}.contains(
                property.metaType().id()))
            values << property.read(object).toStringList().join(QLatin1Char(' ')) +
                          property.read(object).toString();
    }
    for (QObject *child : object->children())
        values << readableValues(child);
    if (auto *item = qobject_cast<QQuickItem *>(object))
        for (QQuickItem *child : item->childItems())
            if (child->parent() != item)
                values << readableValues(child);
    return values;
}
