#pragma once

#include "AgentControllerHarness.h"
#include "App/HostPresenter.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>

// Every text a view can read, and so the words a user can meet: the text properties of every object in the
// window, shown or not, popups and delegates included.
QStringList readableValues(QObject *object);

// The real window offscreen, on the controller, preferences and presenter of an AgentControllerHarness
// with short delays. The views reach these as process-wide singletons, so there is one harness per program.
struct WindowHarness : AgentControllerHarness {
    WindowHarness();
    // Loads and shows the window.
    void load();
    // Between cases: hosting stopped with no failure on screen, no folders, the LAN without ngrok, the
    // stand-in agent.
    void reset();
    QQuickWindow *window() const { return m_window; }
    void useAgent(const QString &path) { agentPath = path; }

    QQuickItem *find(const char *name) const { return m_window->findChild<QQuickItem *>(name); }
    bool shown(const char *name) const { return find(name) && find(name)->isVisible(); }
    // The visible items under root (the whole window by default) whose property reads `value`. Delegates of
    // repeaters are children of their item only, not of the window's object tree.
    QList<QQuickItem *> showing(const QString &value, QQuickItem *root = nullptr,
                                const char *property = "text") const;
    QList<QQuickItem *> named(const char *name, QQuickItem *root = nullptr) const
    {
        return showing(QString::fromLatin1(name), root, "objectName");
    }
    // The whole window, tall enough for the whole sidebar, in the light palette and then a dark one: `stem`
    // followed by -light.png and -dark.png.
    void saveLightAndDark(const QString &stem);
    // Presses a button as a click on it would.
    void click(QQuickItem *item) const { QMetaObject::invokeMethod(item, "clicked"); }

    HostPresenter presenter{preferences, *controller};
    QQmlApplicationEngine engine;

private:
    QQuickWindow *m_window = nullptr;
};
