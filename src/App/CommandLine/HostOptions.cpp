#include "App/CommandLine/HostOptions.h"

#include "App/CommandLine/AttachedTerminal.h"
#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlClient.h"
#include "App/CommandLine/HostControlProtocol.h"
#include "Services/Wording/StatusTexts.h"

namespace HostOptions {

const QList<Option> &all()
{
    namespace Protocol = HostControlProtocol;
    static const QList<Option> options = {
        {Kind::general,
         QStringLiteral("help"),
         QStringLiteral("Show the options and exit."),
         {},
         QStringLiteral("h")},
        {Kind::general,
         QStringLiteral("version"),
         QStringLiteral("Show the version and exit."),
         {},
         QStringLiteral("v")},
        {Kind::hosting, QStringLiteral("headless"),
         QStringLiteral("Host without a window, for SSH sessions and user services.")},
        {Kind::hosting, QStringLiteral("workspace"),
         QStringLiteral("Serve this folder (repeatable; headless, this run only)."), QStringLiteral("path")},
        {Kind::hosting, QStringLiteral("mode"), QStringLiteral("lan or relay (headless, this run only)."),
         QStringLiteral("mode")},
        {Kind::hosting, QStringLiteral("port"),
         QStringLiteral("LAN port, 1-65535 (headless, this run only)."), QStringLiteral("port")},
        {Kind::hosting, QStringLiteral("bind-all"),
         QStringLiteral("Listen on every network (headless, this run only).")},
        {Kind::hosting, QStringLiteral("loopback"),
         QStringLiteral("Listen on this computer only (headless, this run only).")},
        {Kind::hosting, QStringLiteral("ngrok"),
         QStringLiteral("Open an ngrok tunnel (headless, this run only).")},
        {Kind::hosting, QStringLiteral("program"),
         QStringLiteral("A program tablets may start in a coding session, by name on the PATH or by path "
                        "(repeatable; headless, this run only, instead of the saved ones)."),
         QStringLiteral("name")},
        {Kind::hosting, QStringLiteral("allow-shell"),
         QStringLiteral("Let tablets start your login shell too (headless, this run only).")},
        {Kind::hosting, QStringLiteral("allow-unencrypted-clients"),
         QStringLiteral("Let in tablets that do not encrypt, from any address: whoever is on the network "
                        "between can read their secrets (headless, this run only).")},
        {Kind::hosting, QStringLiteral("secrets-file"),
         QStringLiteral("Keep the pairing secrets in an owner-only file instead of the keyring, so the "
                        "pairing survives restarts where no keyring is unlocked.")},
        {Kind::request, Protocol::status,
         QStringLiteral("Show the running host's state, route, link expiry, where the pairing secrets are, "
                        "and what needs attention.")},
        {Kind::request, Protocol::link,
         QStringLiteral(
             "Print the running host's setup link, unmasked. While hosting starts (about a second, "
             "and through ngrok until the tunnel is online) there is none yet: ask again.")},
        {Kind::request, Protocol::start,
         QStringLiteral("Ask the running host to start hosting; hosting that runs is left as it is.")},
        {Kind::request, Protocol::stop, QStringLiteral("Ask the running host to stop hosting.")},
        {Kind::request, Protocol::restart,
         QStringLiteral("Ask the running host to start its agent again; connected tablets reconnect.")},
        {Kind::request, Protocol::rotate,
         QStringLiteral("Replace the pairing (asks first). ") + StatusTexts::rotationConsequence},
        {Kind::request, Protocol::quit, QStringLiteral("Stop the running host's agent and quit it.")},
        {Kind::request, Protocol::devices, QStringLiteral("List the tablets paired with the running host.")},
        {Kind::request, Protocol::revoke,
         QStringLiteral("Disconnect this paired tablet for good (see --devices); the others stay paired."),
         QStringLiteral("device id")},
        {Kind::request, Protocol::sessions,
         QStringLiteral("List the coding sessions running on this computer.")},
        {Kind::request, Protocol::endSession,
         QStringLiteral("End this coding session (asks first; see --sessions)."),
         QStringLiteral("session id")},
        {Kind::request, Protocol::attach,
         QStringLiteral("Continue this coding session in this terminal; %1 leaves it running.")
             .arg(AttachedTerminal::detachKeyName),
         QStringLiteral("session id")},
        {Kind::modifier, QStringLiteral("qr"),
         QStringLiteral(
             "With --link: print the link as a QR code. --qr=none: no QR code in headless output.")},
        {Kind::modifier, QStringLiteral("browser"),
         QStringLiteral("With --link: the link's browser form, for a tablet without the app.")},
        {Kind::modifier, QStringLiteral("json"),
         QStringLiteral("With --status, --devices or --sessions: print JSON.")},
        {Kind::modifier, QStringLiteral("yes"),
         QStringLiteral("With --rotate, --revoke, --end-session, and --stop or --quit while coding sessions "
                        "run: do not ask.")},
        {Kind::hidden, QStringLiteral("autostart"), QStringLiteral("Started at login.")},
    };
    return options;
}

const QList<ExitStatus> &exitStatuses()
{
    static const QList<ExitStatus> statuses = {
        {0, QStringLiteral("Done; for --headless, stopped by SIGTERM or Ctrl+C.")},
        {1,
         QStringLiteral("Hosting could not start, or the running host refused the request, or the question "
                        "was answered no.")},
        {HostCommandLine::badArguments,
         QStringLiteral("A wrong option, or no display for the window (see --headless).")},
        {HostCommandLine::notRunning, QStringLiteral("No host is running (for a request).")},
        {HostCommandLine::noAnswer, QStringLiteral("The running host did not answer within %1 seconds.")
                                        .arg(HostControlClient::answerTimeoutMs / 1000)},
    };
    return statuses;
}

QString description()
{
    return QStringLiteral("Lets a tablet do remote coding work on this computer. Without options it opens "
                          "the window.");
}

} // namespace HostOptions
