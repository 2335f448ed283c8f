#pragma once

#include "App/HostPresenter.h"
#include "Services/Settings/HostPreferences.h"

#include <QQmlEngine>

// The application objects the views reach as the singletons Preferences and Presenter of Ferrowyn.Core.
// C++ makes and owns them and hands them over here before an engine first loads a view; they must outlive
// every engine that uses them.
namespace QmlSingletons {
void provide(HostPreferences &preferences, HostPresenter &presenter);
} // namespace QmlSingletons

// The settings the views show and edit.
struct PreferencesSingleton {
    Q_GADGET
    QML_FOREIGN(HostPreferences)
    QML_NAMED_ELEMENT(Preferences)
    QML_SINGLETON

public:
    static HostPreferences *create(QQmlEngine *, QJSEngine *);
};

// The enums the preferences' mode and relay version are typed with.
namespace HostingForeign {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(Hosting)
QML_NAMED_ELEMENT(Hosting)
} // namespace HostingForeign

// What the window shows and the actions it offers.
struct PresenterSingleton {
    Q_GADGET
    QML_FOREIGN(HostPresenter)
    QML_NAMED_ELEMENT(Presenter)
    QML_SINGLETON

public:
    static HostPresenter *create(QQmlEngine *, QJSEngine *);
};
