#pragma once

#include "App/CommandLine/HostControlRequests.h"
#include "App/HostApplication.h"
#include "App/HostKeyringChoice.h"
#include "App/HostPresenter.h"
#include "Platform/LoginItem.h"
#include "Services/HostAgentController.h"
#include "Services/Pairing/PairingSecretsPlace.h"
#include "Services/Settings/HostPreferences.h"
#include "Shared/UnixSignalWatcher.h"

class FolderChooser;
class JsonFileUserDefaults;
class SingleInstance;
class UserDefaults;

// One running host, with its window or without: the keyring it was given, the settings, the controller and
// the application's rules around it, the presenter, and the answers to the command line. SIGTERM, SIGINT and
// SIGHUP end it, and the agent is stopped on the way out. The application object must exist first.
struct HostSession {
    // `savedSettings` decides the keyring; `defaults` is what the stores read and write (the same object, or
    // the saved settings with this run's options laid over them).
    HostSession(UserDefaults &defaults, const UserDefaults &savedSettings, bool secretsFileAsked,
                FolderChooser &folderChooser);

    ~HostSession();
    HostSession(const HostSession &) = delete;
    HostSession &operator=(const HostSession &) = delete;

    // The running host answers the command line through the single-instance socket.
    void answerRequestsOn(SingleInstance &instance);
    // Says why the settings file could not be read, if so, and from now on when a change could not be saved.
    void reportSettingsFile(JsonFileUserDefaults &saved);

    HostKeyringChoice secrets;
    HostPreferences preferences;
    HostAgentController controller;
    PairingSecretsPlace secretsPlace;
    XdgAutostartLoginItem loginItem;
    HostApplication application;
    HostPresenter presenter;
    HostControlRequests requests;
    UnixSignalWatcher signalWatcher;

private:
    JsonFileUserDefaults *m_settingsFile = nullptr;
};
