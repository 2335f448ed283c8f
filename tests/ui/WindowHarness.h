#pragma once

#include "App/HostApplication.h"
#include "App/HostWindowPresenter.h"
#include "FakeAgent.h"
#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Platform/LoginItem.h"
#include "RecordingLoginItem.h"
#include "ScriptedFolderChooser.h"
#include "ScriptedNetworkInterfaces.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <memory>

// The real window on the real controller, preferences and presenter, with in-memory storage, a private
// home folder and short delays. The views reach these objects as process-wide singletons, so there is one
// harness per test program.
class WindowHarness {
public:
    WindowHarness();
    ~WindowHarness();

    // Loads the window and runs the application's launch start-up, as showing it does.
    void load();
    QQuickWindow *window() const { return m_window; }
    template <typename T = QQuickItem> T *find(const QString &objectName) const
    {
        return m_window->findChild<T *>(objectName);
    }
    // The text an item shows, for Text and TextEdit items and buttons alike.
    QString text(const QString &objectName) const;
    // Visible on screen: the item and all its ancestors.
    bool shown(const QString &objectName) const;
    // The items under root (the whole window by default) with this object name, every item for a null name.
    // Delegates of repeaters are children of their item only, not of the window's object tree.
    QList<QQuickItem *> all(const QString &objectName, QQuickItem *root = nullptr) const;
    // The visible items under root whose text reads `text`, tool tips included.
    QList<QQuickItem *> showing(const QString &text, QQuickItem *root = nullptr) const;
    QImage grab() const;
    QQmlEngine &engine() { return m_engine; }

    void useAgent(const QString &path) { agentPath = path; }
    // The scripted stand-in agent running this script.
    void useFakeAgent(const QString &script);
    // Back to a stopped host with no folders and default settings.
    void reset();

    QTemporaryDir home;
    JsonFileUserDefaults defaults;
    MemoryKeyring keyring;
    ScriptedFolderChooser chooser;
    RecordingLoginItem loginItem;
    HostPreferences preferences;
    std::optional<QString> agentPath;
    std::unique_ptr<HostAgentController> controller;
    std::unique_ptr<HostWindowPresenter> presenter;
    std::unique_ptr<HostApplication> application;

private:
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};
