#pragma once

#include <QList>
#include <QString>

// Every option of ferrowyn-host, defined once: HostCommandLine reads them, and --help and the manual page
// list them, in this order. A new option is one row (and a request, one answer in HostControlRequests).
namespace HostOptions {

enum class Kind {
    general,  // help and version
    hosting,  // how this host runs: without a window, and the settings of that run
    request,  // asks the running host; one at a time
    modifier, // how a request is asked or answered
    hidden,   // for the desktop only (the autostart entry); in neither list
};

struct Option {
    Kind kind;
    QString name; // the long name, without dashes
    QString description;
    QString valueName = {}; // empty for a switch
    QString shortName = {}; // a letter, or empty
};

const QList<Option> &all();

// What an exit status says, for the manual page.
struct ExitStatus {
    int code;
    QString meaning;
};
const QList<ExitStatus> &exitStatuses();

// What --help says above the options.
QString description();

} // namespace HostOptions
