#include "App/CommandLine/HostCommandLine.h"

#include "App/CommandLine/HostControlProtocol.h"

#include "Shared/AppBrand.h"
#include "Shared/BuildConfig.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

// The requests to the running host, with what --help says of each.
const QList<std::pair<QString, QString>> controlRequests = {
    {HostControlProtocol::status,
     QStringLiteral("Show the running host's state, route, link expiry and warnings.")},
    {HostControlProtocol::link, QStringLiteral("Print the running host's setup link, unmasked.")},
    {HostControlProtocol::start, QStringLiteral("Ask the running host to start hosting.")},
    {HostControlProtocol::stop, QStringLiteral("Ask the running host to stop hosting.")},
    {HostControlProtocol::rotate,
     QStringLiteral("Rotate the pairing: every tablet and setup link is revoked.")},
    {HostControlProtocol::quit, QStringLiteral("Stop the running host's agent and quit it.")},
    {HostControlProtocol::devices, QStringLiteral("List the tablets paired with the running host.")},
};

HostCommandLine printed(const QString &text, int exitCode)
{
    HostCommandLine result;
    result.action = HostCommandLine::Action::Print;
    result.output = text;
    result.outputIsError = exitCode != 0;
    result.exitCode = exitCode;
    return result;
}

HostCommandLine wrong(const QString &why)
{
    return printed(QStringLiteral("%1: %2 (see --help)").arg(AppBrand::hostExecutableName, why),
                   HostCommandLine::badArguments);
}

} // namespace

HostCommandLine HostCommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lets a tablet do remote coding work on this computer. Without options it opens the window."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("Host without a window."));
    const QCommandLineOption workspace(QStringLiteral("workspace"),
                                       QStringLiteral("Serve this folder (repeatable; this run only)."),
                                       QStringLiteral("path"));
    const QCommandLineOption mode(QStringLiteral("mode"), QStringLiteral("lan or relay (this run only)."),
                                  QStringLiteral("mode"));
    const QCommandLineOption port(
        QStringLiteral("port"), QStringLiteral("LAN port, 1-65535 (this run only)."), QStringLiteral("port"));
    const QCommandLineOption bindAll(QStringLiteral("bind-all"),
                                     QStringLiteral("Listen on every network (this run only)."));
    const QCommandLineOption loopback(QStringLiteral("loopback"),
                                      QStringLiteral("Listen on this computer only (this run only)."));
    const QCommandLineOption ngrok(QStringLiteral("ngrok"),
                                   QStringLiteral("Open an ngrok tunnel (this run only)."));
    const QCommandLineOption secretsFile(
        QStringLiteral("secrets-file"),
        QStringLiteral("Keep the pairing secrets in an owner-only file instead of the keyring."));
    const QCommandLineOption qr(QStringLiteral("qr"),
                                QStringLiteral("With --link: print the link as a QR code. "
                                               "--qr=none: no QR code in headless output."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --status or --devices: print JSON."));
    const QCommandLineOption yes(QStringLiteral("yes"),
                                 QStringLiteral("With --rotate or --revoke: do not ask."));
    QCommandLineOption autostart(QStringLiteral("autostart"), QStringLiteral("Started at login."));
    autostart.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(autostart);
    parser.addOptions(
        {headless, workspace, mode, port, bindAll, loopback, ngrok, secretsFile, qr, json, yes});
    const QCommandLineOption revoke(HostControlProtocol::revoke,
                                    QStringLiteral("Disconnect this paired tablet for good (see --devices)."),
                                    QStringLiteral("device id"));
    parser.addOption(revoke);
    QList<QCommandLineOption> requestOptions;
    for (const auto &[name, description] : controlRequests) {
        requestOptions.append(QCommandLineOption(name, description));
        parser.addOption(requestOptions.constLast());
    }

    // "--qr=none" is the one value of an option that is otherwise a switch.
    QStringList words = arguments;
    const bool qrNone = words.removeAll(QStringLiteral("--qr=none")) > 0;
    if (!parser.parse(words))
        return wrong(parser.errorText());
    // No application object exists yet, so the parser cannot know the program's name, nor Qt's own options.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")))
        return printed(
            parser.helpText().replace(QStringLiteral("<executable_name>"), AppBrand::hostExecutableName), 0);
    if (parser.isSet(version))
        return printed(AppBrand::hostName + QLatin1Char(' ') + QLatin1String(BuildConfig::version), 0);
    if (!parser.positionalArguments().isEmpty())
        return wrong(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));

    HostCommandLine result;
    QStringList requests;
    for (const QCommandLineOption &option : std::as_const(requestOptions))
        if (parser.isSet(option))
            requests.append(option.names().constFirst());
    if (parser.isSet(revoke))
        requests.append(HostControlProtocol::revoke);
    if (requests.size() > 1)
        return wrong(QStringLiteral("ask for one thing at a time"));
    if (!requests.isEmpty() && parser.isSet(headless))
        return wrong(QStringLiteral("--%1 asks a running host; it does not go with --headless")
                         .arg(requests.constFirst()));
    if (!requests.isEmpty()) {
        result.action = Action::Control;
        result.request = requests.constFirst();
        result.deviceId = parser.value(revoke);
    } else if (parser.isSet(headless)) {
        result.action = Action::Headless;
    }

    for (const QString &path : parser.values(workspace)) {
        const QFileInfo folder(path);
        if (!folder.isDir())
            return wrong(QStringLiteral("no folder at \"%1\"").arg(path));
        result.workspaces.append(QDir::cleanPath(folder.absoluteFilePath()));
    }
    if (parser.isSet(mode)) {
        const QString value = parser.value(mode);
        if (value != rawValue(HostingMode::lan) && value != rawValue(HostingMode::relay))
            return wrong(QStringLiteral("--mode is lan or relay, not \"%1\"").arg(value));
        result.mode = value == rawValue(HostingMode::lan) ? HostingMode::lan : HostingMode::relay;
    }
    if (parser.isSet(port)) {
        bool isNumber = false;
        const int value = parser.value(port).toInt(&isNumber);
        if (!isNumber || value < 1 || value > 65535)
            return wrong(
                QStringLiteral("--port is a number from 1 to 65535, not \"%1\"").arg(parser.value(port)));
        result.port = value;
    }
    if (parser.isSet(bindAll) && parser.isSet(loopback))
        return wrong(QStringLiteral("--bind-all and --loopback contradict each other"));
    if (parser.isSet(bindAll) || parser.isSet(loopback))
        result.bindAll = parser.isSet(bindAll);
    result.launchedAtLogin = parser.isSet(autostart);
    result.ngrok = parser.isSet(ngrok);
    result.secretsFile = parser.isSet(secretsFile);
    result.printQRCode = result.action == Action::Control ? parser.isSet(qr) : !qrNone;
    result.json = parser.isSet(json);
    result.confirmed = parser.isSet(yes);

    // Where the secrets are kept is no setting of one run: the window may be told too.
    const bool runOptions = !result.workspaces.isEmpty() || result.mode || result.port || result.bindAll ||
                            result.ngrok || qrNone;
    if (runOptions && result.action != Action::Headless)
        return wrong(QStringLiteral("the options for one run go with --headless"));
    return result;
}
