#include "App/HostControlClient.h"

#include "App/HostCommandLine.h"
#include "Platform/SingleInstance.h"
#include "Services/QRCodeRenderer.h"
#include "Services/TerminalQRCode.h"
#include "Shared/AppBrand.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

void print(std::FILE *to, const QString &text)
{
    const QByteArray bytes = (text.endsWith(QLatin1Char('\n')) ? text : text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
}

bool confirmed(std::FILE *in, std::FILE *out)
{
    print(out, QStringLiteral("Rotating revokes every paired tablet and every setup link. Rotate? [y/N]"));
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
        {QStringLiteral("Agent build"), QStringLiteral("agentBuild")},
        {QStringLiteral("Tunnel"), QStringLiteral("tunnelState")},
        {QStringLiteral("Secrets"), QStringLiteral("secrets")},
    };
    QString text;
    for (const auto &[label, key] : rows) {
        const QString value = status.value(key).toString();
        if (!value.isEmpty())
            text += label + QStringLiteral(": ") + value + QLatin1Char('\n');
    }
    for (const QJsonValue warning : status.value(QStringLiteral("warnings")).toArray())
        text += QStringLiteral("Warning: ") + warning.toString() + QLatin1Char('\n');
    return text;
}

} // namespace

int HostControlClient::run(const HostCommandLine &commandLine, std::FILE *in, std::FILE *out, std::FILE *err)
{
    if (commandLine.request == QLatin1String("rotate") && !commandLine.confirmed && !confirmed(in, out)) {
        print(err, QStringLiteral("Nothing was rotated."));
        return 1;
    }
    const SingleInstance::Answer answer =
        SingleInstance::request(SingleInstance::standardSocketPath(),
                                {{QStringLiteral("request"), commandLine.request}}, answerTimeoutMs);
    if (answer.status == SingleInstance::Answer::Status::NotRunning) {
        print(err, AppBrand::hostName + QStringLiteral(" is not running"));
        return HostCommandLine::notRunning;
    }
    if (answer.status == SingleInstance::Answer::Status::NoAnswer) {
        print(err,
              AppBrand::hostName + QStringLiteral(" did not answer within %1 s").arg(answerTimeoutMs / 1000));
        return HostCommandLine::noAnswer;
    }
    const QJsonObject &reply = answer.reply;
    if (reply.contains(QStringLiteral("error"))) {
        print(err, reply.value(QStringLiteral("error")).toString());
        return 1;
    }
    if (commandLine.request == QLatin1String("status")) {
        print(out, commandLine.json ? QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Indented))
                                    : statusText(reply));
    } else if (commandLine.request == QLatin1String("link")) {
        const QString link = reply.value(QStringLiteral("link")).toString();
        const std::optional<QImage> modules = QRCodeRenderer::moduleImage(link);
        print(out, commandLine.printQRCode && modules ? TerminalQRCode::text(*modules) : link);
    }
    return 0;
}
