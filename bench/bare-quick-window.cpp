// The yardstick for launch-bench: a Qt Quick window of the host's size and nothing in it; with "controls",
// the same window from Qt Quick Controls in the Fusion style with one button, to tell what the controls cost.

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    if (QCoreApplication::arguments().contains(QStringLiteral("controls"))) {
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        engine.loadData(
            "import QtQuick\nimport QtQuick.Controls\n"
            "ApplicationWindow { width: 980; height: 760; visible: true; Button { text: \"Start\" } }");
    } else {
        engine.loadData(
            "import QtQuick\nWindow { width: 980; height: 760; visible: true; color: \"#3a7bd5\" }");
    }
    return engine.rootObjects().isEmpty() ? 1 : QGuiApplication::exec();
}
