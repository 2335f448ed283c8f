#include "App/Window/QmlSingletons.h"

namespace {

HostPreferences *providedPreferences = nullptr;
HostPresenter *providedPresenter = nullptr;

// The engine would delete a singleton it was handed without an owner; these belong to C++.
template <typename T> T *keptByCpp(T *object)
{
    if (!object)
        qFatal("A view was loaded before the application's objects were provided to QML");
    QJSEngine::setObjectOwnership(object, QJSEngine::CppOwnership);
    return object;
}

} // namespace

void QmlSingletons::provide(HostPreferences &preferences, HostPresenter &presenter)
{
    providedPreferences = &preferences;
    providedPresenter = &presenter;
}

HostPreferences *PreferencesSingleton::create(QQmlEngine *, QJSEngine *)
{
    return keptByCpp(providedPreferences);
}

HostPresenter *PresenterSingleton::create(QQmlEngine *, QJSEngine *)
{
    return keptByCpp(providedPresenter);
}
