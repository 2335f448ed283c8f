#pragma once

#include "Shared/HostingMode.h"

#include <QString>
#include <QStringList>

#include <optional>

// What one invocation of the host is asked to do, read from its arguments before any window or keyring is
// touched: open the window, host without one, send a request to the running host, or just print something
// (help, the version, or why the arguments are wrong) and leave.
struct HostCommandLine {
    // Attach: this terminal continues a coding session (see SessionCommands::attach).
    enum class Action { Window, Headless, Control, Print, Attach };
    // Exit statuses the command line promises to scripts.
    static constexpr int badArguments = 2;
    static constexpr int notRunning = 3;
    static constexpr int noAnswer = 4;

    Action action = Action::Window;
    // For Print: the text, where it goes and the exit status.
    QString output;
    bool outputIsError = false;
    int exitCode = 0;

    // Started by the autostart entry at login (the window may then stay in the tray).
    bool launchedAtLogin = false;

    // Settings for this run only (headless), never saved.
    QStringList workspaces; // absolute paths of existing folders
    std::optional<HostingMode> mode;
    std::optional<int> port;
    std::optional<bool> bindAll;
    bool ngrok = false;
    QStringList programs; // what tablets may start, instead of the saved list
    bool allowShell = false;
    bool allowUnencryptedClients = false;
    bool secretsFile = false;
    bool printQRCode = true;

    // For Control: the request's name, one of the request options (see HostOptions), and its value when it
    // takes one (the device id of "revoke", the
    // session id of "end-session" and of Attach).
    QString request;
    QString argument;
    bool browserForm = false; // --browser, for "link"
    bool json = false;
    bool confirmed = false; // --yes

    // arguments[0] is the program, as in QCoreApplication::arguments().
    static HostCommandLine parse(const QStringList &arguments);
};
