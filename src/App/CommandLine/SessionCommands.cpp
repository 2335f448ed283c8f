#include "App/CommandLine/SessionCommands.h"

#include "App/CommandLine/AttachedTerminal.h"
#include "App/CommandLine/HostControlProtocol.h"
#include "App/CommandLine/SessionAttach.h"
#include "App/Headless/HeadlessConsole.h"
#include "App/Window/CodingSessionsModel.h"
#include "Services/Sessions/CodingWork.h"
#include "Services/Sessions/SessionsWatcher.h"
#include "Shared/SessionFiles.h"

#include <QJsonArray>
#include <QProcessEnvironment>

namespace {

const QString sessionsKey = HostControlProtocol::sessions;
const QString agentRunningKey = QStringLiteral("agentRunning");

void say(std::FILE *to, const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), to);
}

std::optional<QJsonObject> listed(const QJsonObject &reply, const QString &id)
{
    for (const QJsonValue session : reply.value(sessionsKey).toArray())
        if (session[QStringLiteral("id")].toString() == id)
            return session.toObject();
    return std::nullopt;
}

} // namespace

QJsonObject SessionCommands::list(const SessionsWatcher &sessions, bool agentRunning)
{
    QJsonArray entries;
    for (const HostedSession &session : sessions.sessions())
        entries.append(QJsonObject{
            {QStringLiteral("id"), session.id},
            {QStringLiteral("folder"), session.folder},
            {QStringLiteral("program"), session.program},
            {QStringLiteral("deviceId"), session.deviceId},
            {QStringLiteral("deviceName"), session.deviceName},
            {QStringLiteral("openedAt"), session.openedAt.toString(Qt::ISODate)},
            {QStringLiteral("tablets"), agentRunning ? QJsonValue(session.tablets) : QJsonValue()},
        });
    return {{sessionsKey, entries},
            {agentRunningKey, agentRunning},
            {QStringLiteral("damaged"), sessions.contents().status == SessionsState::Status::Damaged}};
}

QString SessionCommands::listText(const QJsonObject &reply)
{
    QString text;
    if (reply.value(QStringLiteral("damaged")).toBool())
        text +=
            QStringLiteral("The agent's list of sessions cannot be read: these come from their folders.\n");
    const bool agentRunning = reply.value(agentRunningKey).toBool();
    const QJsonArray sessions = reply.value(sessionsKey).toArray();
    for (const QJsonValue value : sessions) {
        const QJsonObject session = value.toObject();
        const QString device = session[QStringLiteral("deviceName")].toString().isEmpty()
                                   ? session[QStringLiteral("deviceId")].toString()
                                   : session[QStringLiteral("deviceName")].toString();
        const QDateTime opened =
            QDateTime::fromString(session[QStringLiteral("openedAt")].toString(), Qt::ISODate).toLocalTime();
        // Folders, programs and device names come from tablets and settings.
        text += HeadlessConsole::printable(
                    QStringLiteral("%1  %2  %3  opened by %4 at %5  %6")
                        .arg(session[QStringLiteral("id")].toString(),
                             session[QStringLiteral("program")].toString(),
                             session[QStringLiteral("folder")].toString(), device,
                             opened.toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                             CodingSessionsModel::attachmentText(session[QStringLiteral("tablets")].toInt(),
                                                                 agentRunning))) +
                QLatin1Char('\n');
    }
    if (sessions.isEmpty())
        return text + QStringLiteral("No coding session is running.");
    return text +
           QStringLiteral("Continue one in this terminal: ferrowyn-host --attach ID (%1 leaves it running).")
               .arg(AttachedTerminal::detachKeyName);
}

QString SessionCommands::question(const QString &request, const QString &sessionId, const QJsonObject &reply)
{
    using CodingWork::Ending;
    const int running = static_cast<int>(reply.value(sessionsKey).toArray().size());
    if (request == HostControlProtocol::stop)
        return CodingWork::endQuestion(running, Ending::stopHosting);
    if (request == HostControlProtocol::quit)
        return CodingWork::endQuestion(running, Ending::quit);
    if (request == HostControlProtocol::endSession) {
        // A session that is not there is the host's to refuse, with nothing to ask first.
        if (const std::optional<QJsonObject> session = listed(reply, sessionId))
            return HeadlessConsole::printable(
                CodingWork::endOneQuestion((*session)[QStringLiteral("program")].toString(),
                                           (*session)[QStringLiteral("folder")].toString()));
    }
    return {};
}

int SessionCommands::attach(const QString &id, std::FILE *err)
{
    const QString runtime = SessionFiles::runtimeFolder(QProcessEnvironment::systemEnvironment());
    if (!SessionsState::folderIds(runtime).contains(id)) {
        say(err, QStringLiteral("No coding session has the id \"%1\" (see --sessions)").arg(id));
        return 1;
    }
    return SessionAttach::run(SessionFiles::sessionFolder(runtime, id), id, err);
}
