#include "App/CommandLine/HostControlClient.h"

#include "App/Headless/HeadlessConsole.h"

#include "App/CommandLine/HostCommandLine.h"
#include "App/CommandLine/HostControlProtocol.h"
#include "App/CommandLine/HostControlRequests.h"
#include "App/CommandLine/SessionCommands.h"
#include "Platform/SingleInstance.h"
#include "Platform/TerminalColours.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Services/Links/TerminalQRCode.h"
#include "Shared/AppBrand.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

namespace {

using HostControlClient::answerTimeoutMs;

void print(std::FILE *to, const QString &text)
{
    const QByteArray bytes = (text.endsWith(QLatin1Char('\n')) ? text : text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
}

bool confirmed(const QString &question, std::FILE *in, std::FILE *out)
{
    print(out, question + QStringLiteral(" [y/N]"));
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, in))
        return false;
    const QString word = QString::fromLatin1(answer).trimmed().toLower();
    return word == QLatin1String("y") || word == QLatin1String("yes");
}

QString statusText(const QJsonObject &status)
{
    const QList<std::pair<QString, QString>> rows = {
        {QStringLiteral("State"), QStringLiteral("state")},
        {QStringLiteral("Status"), QStringLiteral("status")},
        {QStringLiteral("Route"), QStringLiteral("route")},
        {QStringLiteral("Endpoint"), QStringLiteral("endpoint")},
        {QStringLiteral("Setup link"), QStringLiteral("setupLink")},
        {QStringLiteral("Link expires"), QStringLiteral("linkExpiresAt")},
        {QString(), HostControlProtocol::keyFingerprintKey},
        {QStringLiteral("Agent build"), QStringLiteral("agentBuild")},
        {QStringLiteral("Tunnel"), QStringLiteral("tunnelState")},
        {QStringLiteral("Secrets"), QStringLiteral("secrets")},
    };
    QString text;
    for (const auto &[label, key] : rows) {
        const QString value = status.value(key).toString();
        // A row without a label is a line of its own making.
        if (!value.isEmpty())
            text += (label.isEmpty() ? QString() : label + QStringLiteral(": ")) +
                    HeadlessConsole::printable(value) + QLatin1Char('\n');
    }
    if (const int sessions = status.value(QStringLiteral("sessions")).toInt(); sessions > 0)
        text += QStringLiteral("Coding sessions: %1 running\n").arg(sessions);
    for (const QJsonValue warning : status.value(QStringLiteral("warnings")).toArray())
        text +=
            QStringLiteral("Warning: ") + HeadlessConsole::printable(warning.toString()) + QLatin1Char('\n');
    return text;
}

QString devicesText(const QJsonObject &reply)
{
    if (reply.value(QStringLiteral("unreadable")).toBool())
        return QStringLiteral("The list of paired tablets cannot be read.");
    QString text;
    for (const QJsonValue value : reply.value(HostControlProtocol::devices).toArray()) {
        const QJsonObject device = value.toObject();
        // Ids and names come from the tablets themselves.
        text += HeadlessConsole::printable(QStringLiteral("%1  %2  paired %3  %4")
                                               .arg(device.value(QStringLiteral("deviceId")).toString(),
                                                    device.value(QStringLiteral("name")).toString(),
                                                    device.value(QStringLiteral("pairedAt")).toString(),
                                                    device.value(QStringLiteral("summary")).toString())) +
                QLatin1Char('\n');
    }
    return text.isEmpty() ? QStringLiteral("No tablet has paired yet.") : text;
}

bool listsDevice(const QJsonObject &reply, const QString &deviceId)
{
    const QJsonArray devices = reply.value(HostControlProtocol::devices).toArray();
    return std::any_of(devices.cbegin(), devices.cend(), [&deviceId](const QJsonValue &device) {
        return device[HostControlProtocol::deviceIdKey].toString() == deviceId;
    });
}

// No host, or none that answered: said, and the exit status scripts rely on.
int unanswered(SingleInstance::Answer::Status status, const HostCommandLine &commandLine, std::FILE *out,
               std::FILE *err)
{
    if (status == SingleInstance::Answer::Status::NoAnswer) {
        print(err,
              AppBrand::hostName + QStringLiteral(" did not answer within %1 s").arg(answerTimeoutMs / 1000));
        return HostCommandLine::noAnswer;
    }
    // A script that asked for JSON gets JSON.
    if (commandLine.request == HostControlProtocol::status && commandLine.json)
        print(out, QString::fromUtf8(QJsonDocument(QJsonObject{{HostControlProtocol::runningKey, false}})
                                         .toJson(QJsonDocument::Compact)));
    print(err, AppBrand::hostName + QStringLiteral(" is not running"));
    return HostCommandLine::notRunning;
}

} // namespace

int HostControlClient::run(const HostCommandLine &commandLine, std::FILE *in, std::FILE *out, std::FILE *err)
{
    const QString &argumentKey = commandLine.request == HostControlProtocol::endSession
                                     ? HostControlProtocol::sessionIdKey
                                     : HostControlProtocol::deviceIdKey;
    const auto send = [&commandLine, &argumentKey](const QString &request) {
        return SingleInstance::request(
            SingleInstance::standardSocketPath(),
            {{HostControlProtocol::requestKey, request}, {argumentKey, commandLine.argument}},
            answerTimeoutMs);
    };
    // A question is asked only of a host that runs, about a tablet it knows.
    const bool revoke = commandLine.request == HostControlProtocol::revoke;
    if ((revoke || commandLine.request == HostControlProtocol::rotate) && !commandLine.confirmed) {
        const SingleInstance::Answer known =
            send(revoke ? HostControlProtocol::devices : HostControlProtocol::status);
        if (known.status != SingleInstance::Answer::Status::Answered)
            return unanswered(known.status, commandLine, out, err);
        if (revoke && !listsDevice(known.reply, commandLine.argument)) {
            print(err, HostControlRequests::unknownDevice(commandLine.argument));
            return 1;
        }
        const QString question =
            revoke ? QStringLiteral("Revoking disconnects the tablet and replaces the setup link. Revoke %1?")
                         .arg(commandLine.argument)
                   : QStringLiteral("Rotating revokes every paired tablet and every setup link. Rotate?");
        if (!confirmed(question, in, out)) {
            print(err, QStringLiteral("Nothing was changed."));
            return 1;
        }
    }
    // A request that would end coding sessions asks first, once the running host said which run.
    const QString &request = commandLine.request;
    if (!commandLine.confirmed &&
        (request == HostControlProtocol::stop || request == HostControlProtocol::quit ||
         request == HostControlProtocol::endSession)) {
        const SingleInstance::Answer running = send(HostControlProtocol::sessions);
        if (running.status != SingleInstance::Answer::Status::Answered)
            return unanswered(running.status, commandLine, out, err);
        const QString ending = SessionCommands::question(request, commandLine.argument, running.reply);
        if (!ending.isEmpty() && !confirmed(ending, in, out)) {
            print(err, QStringLiteral("Nothing was changed."));
            return 1;
        }
    }
    const SingleInstance::Answer answer = send(request);
    if (answer.status != SingleInstance::Answer::Status::Answered)
        return unanswered(answer.status, commandLine, out, err);
    const QJsonObject &reply = answer.reply;
    if (reply.contains(HostControlProtocol::errorKey)) {
        print(err, reply.value(HostControlProtocol::errorKey).toString());
        return 1;
    }
    if (reply.contains(HostControlProtocol::noteKey))
        print(out, reply.value(HostControlProtocol::noteKey).toString());
    if (commandLine.request == HostControlProtocol::status) {
        print(out, commandLine.json ? QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Indented))
                                    : statusText(reply));
    } else if (commandLine.request == HostControlProtocol::sessions) {
        print(out, commandLine.json ? QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Indented))
                                    : SessionCommands::listText(reply));
    } else if (commandLine.request == HostControlProtocol::devices) {
        print(out, commandLine.json ? QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Indented))
                                    : devicesText(reply));
    } else if (commandLine.request == HostControlProtocol::link) {
        const QString link = reply
                                 .value(commandLine.browserForm ? HostControlProtocol::browserLinkKey
                                                                : HostControlProtocol::link)
                                 .toString();
        if (link.isEmpty()) {
            print(err, QStringLiteral(
                           "The relay route has no browser form: a browser reaches this computer on the "
                           "local network or through ngrok."));
            return 1;
        }
        const std::optional<QImage> modules = QRCodeRenderer::moduleImage(link);
        const auto colours = TerminalColours::wanted(fileno(out))
                                 ? TerminalQRCode::Colours::explicitDarkOnLight
                                 : TerminalQRCode::Colours::none;
        print(out, commandLine.printQRCode && modules ? TerminalQRCode::text(*modules, colours) : link);
        // For a person at a terminal, the key's fingerprint below; a pipe or a file (a script) gets the link
        // alone, on either stream, as it always did.
        if (const QString fingerprint = reply.value(HostControlProtocol::keyFingerprintKey).toString();
            !fingerprint.isEmpty() && ::isatty(fileno(out)))
            print(out, HeadlessConsole::printable(fingerprint));
    }
    return 0;
}
