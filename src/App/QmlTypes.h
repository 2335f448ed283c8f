#pragma once

class HostAgentController;
class HostPreferences;
class HostWindowPresenter;

// Makes the application's objects known to QML as the typed singletons Preferences, Controller and
// Presenter of "Ferrowyn.Core". C++ creates and owns them; they must outlive every engine that loads the
// views. Call once per process, before the views are loaded.
void registerQmlTypes(HostPreferences &preferences, HostAgentController &controller,
                      HostWindowPresenter &presenter);
