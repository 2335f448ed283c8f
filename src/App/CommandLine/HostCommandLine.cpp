#include "App/CommandLine/HostCommandLine.h"

#include "App/CommandLine/HostControlProtocol.h"
#include "App/CommandLine/HostOptions.h"
#include "Services/Sessions/SessionsState.h"

#include "Shared/AppBrand.h"
#include "Shared/BuildConfig.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

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

QCommandLineOption toParserOption(const HostOptions::Option &option)
{
    QStringList names{option.name};
    if (!option.shortName.isEmpty())
        names.prepend(option.shortName);
    QCommandLineOption parserOption(names, option.description, option.valueName);
    if (option.kind == HostOptions::Kind::hidden)
        parserOption.setFlags(QCommandLineOption::HiddenFromHelp);
    return parserOption;
}

} // namespace

HostCommandLine HostCommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(HostOptions::description());
    QStringList requestNames;
    for (const HostOptions::Option &option : HostOptions::all()) {
        parser.addOption(toParserOption(option));
        if (option.kind == HostOptions::Kind::request)
            requestNames.append(option.name);
    }

    // "--qr=none" is the one value of an option that is otherwise a switch.
    QStringList words = arguments;
    const bool qrNone = words.removeAll(QStringLiteral("--qr=none")) > 0;
    if (!parser.parse(words))
        return wrong(parser.errorText());
    // No application object exists yet, so the parser cannot know the program's name, nor Qt's own options.
    if (parser.isSet(QStringLiteral("help")))
        return printed(
            parser.helpText().replace(QStringLiteral("<executable_name>"), AppBrand::hostExecutableName), 0);
    if (parser.isSet(QStringLiteral("version")))
        return printed(AppBrand::hostName + QLatin1Char(' ') + QLatin1String(BuildConfig::version), 0);
    if (!parser.positionalArguments().isEmpty())
        return wrong(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));

    HostCommandLine result;
    QStringList requests;
    for (const QString &name : std::as_const(requestNames))
        if (parser.isSet(name))
            requests.append(name);
    const bool headless = parser.isSet(QStringLiteral("headless"));
    if (requests.size() > 1)
        return wrong(QStringLiteral("ask for one thing at a time"));
    if (!requests.isEmpty() && headless)
        return wrong(QStringLiteral("--%1 asks a running host; it does not go with --headless")
                         .arg(requests.constFirst()));
    if (!requests.isEmpty()) {
        result.action =
            requests.constFirst() == HostControlProtocol::attach ? Action::Attach : Action::Control;
        result.request = requests.constFirst();
        result.argument = parser.value(result.request);
        if (result.request != HostControlProtocol::revoke && !result.argument.isEmpty() &&
            !SessionsState::isSessionId(result.argument))
            return wrong(QStringLiteral("\"%1\" is not a session id (see --sessions)").arg(result.argument));
    } else if (headless) {
        result.action = Action::Headless;
    }

    for (const QString &path : parser.values(QStringLiteral("workspace"))) {
        const QFileInfo folder(path);
        if (!folder.isDir())
            return wrong(QStringLiteral("no folder at \"%1\"").arg(path));
        result.workspaces.append(QDir::cleanPath(folder.absoluteFilePath()));
    }
    if (parser.isSet(QStringLiteral("mode"))) {
        const QString value = parser.value(QStringLiteral("mode"));
        if (value != rawValue(HostingMode::lan) && value != rawValue(HostingMode::relay))
            return wrong(QStringLiteral("--mode is lan or relay, not \"%1\"").arg(value));
        result.mode = value == rawValue(HostingMode::lan) ? HostingMode::lan : HostingMode::relay;
    }
    if (parser.isSet(QStringLiteral("port"))) {
        bool isNumber = false;
        const QString text = parser.value(QStringLiteral("port"));
        const int value = text.toInt(&isNumber);
        if (!isNumber || value < 1 || value > 65535)
            return wrong(QStringLiteral("--port is a number from 1 to 65535, not \"%1\"").arg(text));
        result.port = value;
    }
    const bool bindAll = parser.isSet(QStringLiteral("bind-all"));
    const bool loopback = parser.isSet(QStringLiteral("loopback"));
    if (bindAll && loopback)
        return wrong(QStringLiteral("--bind-all and --loopback contradict each other"));
    if (bindAll || loopback)
        result.bindAll = bindAll;
    result.launchedAtLogin = parser.isSet(QStringLiteral("autostart"));
    result.ngrok = parser.isSet(QStringLiteral("ngrok"));
    for (const QString &program : parser.values(QStringLiteral("program"))) {
        if (program.trimmed().isEmpty())
            return wrong(QStringLiteral("--program names a program"));
        result.programs.append(program.trimmed());
    }
    result.allowShell = parser.isSet(QStringLiteral("allow-shell"));
    result.allowUnencryptedClients = parser.isSet(QStringLiteral("allow-unencrypted-clients"));
    result.secretsFile = parser.isSet(QStringLiteral("secrets-file"));
    result.printQRCode = result.action == Action::Control ? parser.isSet(QStringLiteral("qr")) : !qrNone;
    result.browserForm = parser.isSet(QStringLiteral("browser"));
    if (result.browserForm && result.request != HostControlProtocol::link)
        return wrong(QStringLiteral("--browser goes with --link"));
    result.json = parser.isSet(QStringLiteral("json"));
    result.confirmed = parser.isSet(QStringLiteral("yes"));

    // Where the secrets are kept is no setting of one run: the window may be told too.
    const bool runOptions = !result.workspaces.isEmpty() || result.mode || result.port || result.bindAll ||
                            result.ngrok || !result.programs.isEmpty() || result.allowShell ||
                            result.allowUnencryptedClients || qrNone;
    if (runOptions && result.action != Action::Headless)
        return wrong(QStringLiteral("the options for one run go with --headless"));
    return result;
}
