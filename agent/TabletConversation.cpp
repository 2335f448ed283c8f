#include "TabletConversation.h"

#include "AgentLog.h"
#include "Http/WriteBacklog.h"
#include "Sessions/SessionManager.h"
#include "Sessions/SessionRequests.h"
#include "Shared/AgentBuild.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QWebSocketProtocol>

namespace {

const QString authMethod = QStringLiteral("auth");

} // namespace

void ConversationServices::logRefusal(const QString &source, const QString &line) const
{
    if (refusals)
        refusals->refused(source, line);
    else
        AgentLog::event(line);
}

TabletConversation::TabletConversation(QString peer, ConversationServices services, QObject *parent)
    : QObject(parent), m_peer(std::move(peer)), m_throttleKey(m_peer), m_services(services)
{
    m_authTimer.setSingleShot(true);
    m_authTimer.setInterval(m_services.authTimeoutMs);
    connect(&m_authTimer, &QTimer::timeout, this, [this] {
        m_services.logRefusal(m_peer,
                              QStringLiteral("auth timeout: %1 did not authenticate in time").arg(m_peer));
        closeForPolicy(QStringLiteral("authentication timeout"));
    });
    m_authTimer.start();
}

TabletConversation::~TabletConversation()
{
    if (m_holdingRefusal)
        m_services.throttle->endHold();
}

void TabletConversation::setBacklog(const WriteBacklog *backlog)
{
    m_backlog = backlog;
}

void TabletConversation::receive(const QString &text)
{
    if (m_closing)
        return;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        replyError(
            QJsonValue::Null, QString(),
            ServiceError{QStringLiteral("parse_error"), QStringLiteral("the message is not a JSON object")});
        return;
    }
    const QJsonObject request = document.object();
    // A request without an id is still answered, with a null id, so the client learns what went wrong.
    QJsonValue id = request.value(QStringLiteral("id"));
    if (id.isUndefined())
        id = QJsonValue::Null;
    const QString method = request.value(QStringLiteral("method")).toString();
    const QJsonObject params = request.value(QStringLiteral("params")).toObject();
    if (method.isEmpty()) {
        replyError(id, method, ServiceError{QStringLiteral("invalid_request"), QStringLiteral("no method")});
        return;
    }
    if (m_authenticated) {
        if (!closeIfRevoked())
            serve(id, method, params);
        return;
    }
    if (m_refused) {
        replyError(id, method,
                   ServiceError{QStringLiteral("busy"), QStringLiteral("authentication is in progress")});
        return;
    }
    if (method != authMethod) {
        m_services.logRefusal(
            m_peer, QStringLiteral("auth rejected: %1 sent a request before authenticating").arg(m_peer));
        replyError(id, method,
                   ServiceError{QStringLiteral("unauthenticated"), QStringLiteral("authenticate first")});
        closeForPolicy(QStringLiteral("not authenticated"));
        return;
    }
    authenticate(id, params);
}

void TabletConversation::authenticate(const QJsonValue &id, const QJsonObject &params)
{
    const AuthAttempt attempt{params.value(QStringLiteral("token")).toString(),
                              params.value(QStringLiteral("hostId")).toString(),
                              params.value(QStringLiteral("pairingNonce")).toString(),
                              params.value(QStringLiteral("deviceId")).toString(),
                              params.value(QStringLiteral("deviceName")).toString(),
                              m_route,
                              params.value(QStringLiteral("deviceSecret")).toString(),
                              params.value(QStringLiteral("ticket")).toString()};
    // Checked at once, whatever came before from the same source: the throttle only ever delays a refusal,
    // so a flood of wrong credentials never keeps the right one out.
    const AuthDecision decision = m_services.authenticator->verify(attempt);
    m_authTimer.stop();
    if (PairingAuthenticator::accepted(decision.outcome))
        admit(id, attempt, decision);
    else
        refuse(id, decision.outcome);
}

void TabletConversation::admit(const QJsonValue &id, const AuthAttempt &attempt, const AuthDecision &decision)
{
    m_authenticated = true;
    m_deviceId = attempt.deviceId;
    m_deviceName = attempt.deviceName;
    m_secretHash = decision.secretHash;
    if (m_services.devicesWatcher)
        connect(m_services.devicesWatcher, &TrustedDevicesWatcher::changed, this,
                &TabletConversation::closeIfRevoked);
    if (m_services.sessions) {
        m_sessionsChanged.setSingleShot(true);
        m_sessionsChanged.setInterval(0);
        connect(m_services.sessions, &SessionManager::changed, &m_sessionsChanged,
                qOverload<>(&QTimer::start));
        connect(&m_sessionsChanged, &QTimer::timeout, this, [this] {
            if (!m_closing)
                emit send(QStringLiteral(R"({"method":"sessions.changed","params":{}})"));
        });
    }
    const bool paired = decision.outcome == AuthOutcome::newlyPaired;
    AgentLog::event(
        QStringLiteral("%1: \"%2\" from %3%4")
            .arg(paired ? QStringLiteral("paired new device") : QStringLiteral("trusted device connected"),
                 AgentLog::printable(attempt.deviceName), m_peer,
                 decision.outcome == AuthOutcome::upgradedDevice
                     ? QStringLiteral(", issued its device secret")
                     : QString()));
    QJsonObject result{{QStringLiteral("paired"), paired},
                       {QStringLiteral("agentBuild"), AgentBuild::identifier}};
    if (!decision.issuedSecret.isEmpty())
        result.insert(QStringLiteral("deviceSecret"), decision.issuedSecret);
    // A browser that paired with a ticket learns here what it authenticates with from now on.
    if (!decision.hostToken.isEmpty()) {
        result.insert(QStringLiteral("token"), decision.hostToken);
        result.insert(QStringLiteral("hostId"), decision.hostId);
    }
    reply(id, authMethod, result);
    emit authenticatedChanged();
    emit authenticationSettled();
}

void TabletConversation::refuse(const QJsonValue &id, AuthOutcome outcome)
{
    m_refused = true;
    emit authenticationSettled();
    // A full disk is the agent's trouble, not a wrong credential: said at once, and not held against anyone.
    if (outcome == AuthOutcome::trustNotSaved) {
        AgentLog::error(
            QStringLiteral("pairing failed for %1: %2").arg(m_peer, PairingAuthenticator::describe(outcome)));
        sayRefused(id);
        return;
    }
    m_services.logRefusal(
        m_peer, QStringLiteral("auth rejected: %1: %2").arg(m_peer, PairingAuthenticator::describe(outcome)));
    const int holdMs = m_services.throttle->recordFailure(m_throttleKey, QDateTime::currentMSecsSinceEpoch());
    if (holdMs == 0 || !m_services.throttle->beginHold()) {
        sayRefused(id);
        return;
    }
    m_holdingRefusal = true;
    QTimer::singleShot(holdMs, this, [this, id] {
        m_holdingRefusal = false;
        m_services.throttle->endHold();
        sayRefused(id);
    });
}

void TabletConversation::sayRefused(const QJsonValue &id)
{
    if (m_closing)
        return;
    replyError(id, authMethod,
               ServiceError{QStringLiteral("auth_failed"), QStringLiteral("authentication failed")});
    closeForPolicy(QStringLiteral("authentication failed"));
}

void TabletConversation::serve(const QJsonValue &id, const QString &method, const QJsonObject &params)
{
    if (method == QLatin1String("workspaces.list")) {
        reply(id, method, QJsonObject{{QStringLiteral("workspaces"), m_services.files->workspaces()}});
    } else if (method == QLatin1String("fs.list")) {
        const QJsonValue path = params.value(QStringLiteral("path"));
        if (!path.isString()) {
            replyError(id, method,
                       ServiceError{QStringLiteral("invalid_params"),
                                    QStringLiteral("params.path must be a string")});
            return;
        }
        // No reply is larger than what the agent accepts from a tablet, which is also what common WebSocket
        // clients accept by default: the listing gets what the reply's other parts leave.
        const qsizetype envelopeBytes = QJsonDocument(QJsonObject{{QStringLiteral("id"), id},
                                                                  {QStringLiteral("method"), method},
                                                                  {QStringLiteral("result"), QJsonObject()}})
                                            .toJson(QJsonDocument::Compact)
                                            .size() -
                                        2;
        const auto listing = m_services.files->listDirectory(
            path.toString(), TabletConversation::maxMessageBytes - envelopeBytes);
        if (const auto *error = std::get_if<ServiceError>(&listing))
            replyError(id, method, *error);
        else
            reply(id, method, std::get<QJsonObject>(listing));
    } else if (m_services.sessions && SessionRequests::handles(method)) {
        sessionRequests()->serve(method, params, [this, id, method](const SessionRequests::Answer &answer) {
            if (m_closing)
                return;
            if (const auto *result = std::get_if<QJsonObject>(&answer))
                reply(id, method, *result);
            else if (const auto *error = std::get_if<ServiceError>(&answer))
                replyError(id, method, *error);
        });
    } else if (method == authMethod) {
        replyError(
            id, method,
            ServiceError{QStringLiteral("already_authenticated"), QStringLiteral("already authenticated")});
    } else {
        replyError(id, method,
                   ServiceError{QStringLiteral("method_not_found"), QStringLiteral("unknown method")});
    }
}

SessionRequests *TabletConversation::sessionRequests()
{
    if (!m_sessionRequests) {
        m_sessionRequests = new SessionRequests(m_services.sessions, m_deviceId, m_deviceName, this);
        connect(m_sessionRequests, &SessionRequests::notify, this, [this](const QString &text) {
            if (!m_closing)
                emit send(text);
        });
        if (m_backlog) {
            m_sessionRequests->setOutputGate(
                [backlog = m_backlog] { return !backlog || backlog->takesOutput(); });
            connect(m_backlog, &WriteBacklog::drained, m_sessionRequests, &SessionRequests::resumeOutput);
        }
    }
    return m_sessionRequests;
}

void TabletConversation::reply(const QJsonValue &id, const QString &method, const QJsonObject &result)
{
    const QJsonObject message{
        {QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("result"), result}};
    emit send(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void TabletConversation::replyError(const QJsonValue &id, const QString &method, const ServiceError &error)
{
    QJsonObject answer{{QStringLiteral("code"), error.code}, {QStringLiteral("message"), error.message}};
    if (!error.data.isEmpty())
        answer.insert(QStringLiteral("data"), error.data);
    QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("error"), answer}};
    if (!method.isEmpty())
        message.insert(QStringLiteral("method"), method);
    emit send(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

bool TabletConversation::closeIfRevoked()
{
    if (m_closing || !m_authenticated || m_services.authenticator->stillTrusted(m_deviceId, m_secretHash))
        return false;
    // The host deletes the whole file only when it replaces the pairing: every device must pair anew, and the
    // tablet should say so rather than that it alone was removed.
    const QString reason = QFile::exists(m_services.authenticator->trustedDevicesPath())
                               ? QStringLiteral("device revoked")
                               : QStringLiteral("pairing reset");
    AgentLog::event(QStringLiteral("%1: closing the connection of \"%2\" from %3")
                        .arg(reason, AgentLog::printable(m_deviceName), m_peer));
    closeForPolicy(reason);
    return true;
}

void TabletConversation::closeForPolicy(const QString &reason)
{
    m_closing = true;
    m_authTimer.stop();
    emit closeRequested(QWebSocketProtocol::CloseCodePolicyViolated, reason);
}
