#include "TabletConversation.h"

#include "AgentLog.h"
#include "Sessions/SessionRequests.h"
#include "Shared/AgentBuild.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QWebSocketProtocol>

namespace {

const QString authMethod = QStringLiteral("auth");

} // namespace

TabletConversation::TabletConversation(QString peer, ConversationServices services, QObject *parent)
    : QObject(parent), m_peer(std::move(peer)), m_services(services)
{
    m_authTimer.setSingleShot(true);
    m_authTimer.setInterval(m_services.authTimeoutMs);
    connect(&m_authTimer, &QTimer::timeout, this, [this] {
        AgentLog::event(QStringLiteral("auth timeout: %1 did not authenticate in time").arg(m_peer));
        closeForPolicy(QStringLiteral("authentication timeout"));
    });
    m_authTimer.start();
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
    if (m_verifying) {
        replyError(id, method,
                   ServiceError{QStringLiteral("busy"), QStringLiteral("authentication is in progress")});
        return;
    }
    if (method != authMethod) {
        AgentLog::event(QStringLiteral("auth rejected: %1 sent a request before authenticating").arg(m_peer));
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
                              m_route};
    const int delay = m_services.throttle->delayMsFor(m_peer, QDateTime::currentMSecsSinceEpoch());
    if (delay == 0) {
        finishAuthentication(id, attempt);
        return;
    }
    m_verifying = true;
    QTimer::singleShot(delay, this, [this, id, attempt] {
        m_verifying = false;
        finishAuthentication(id, attempt);
    });
}

void TabletConversation::finishAuthentication(const QJsonValue &id, const AuthAttempt &attempt)
{
    if (m_closing)
        return;
    const AuthOutcome outcome = m_services.authenticator->verify(attempt);
    if (!PairingAuthenticator::accepted(outcome)) {
        m_services.throttle->recordFailure(m_peer, QDateTime::currentMSecsSinceEpoch());
        if (outcome == AuthOutcome::trustNotSaved)
            AgentLog::error(QStringLiteral("pairing failed for %1: %2")
                                .arg(m_peer, PairingAuthenticator::describe(outcome)));
        else
            AgentLog::event(
                QStringLiteral("auth rejected: %1: %2").arg(m_peer, PairingAuthenticator::describe(outcome)));
        replyError(id, authMethod,
                   ServiceError{QStringLiteral("auth_failed"), QStringLiteral("authentication failed")});
        closeForPolicy(QStringLiteral("authentication failed"));
        return;
    }
    m_services.throttle->recordSuccess(m_peer);
    m_authTimer.stop();
    m_authenticated = true;
    m_deviceId = attempt.deviceId;
    m_deviceName = attempt.deviceName;
    if (m_services.devicesWatcher)
        connect(m_services.devicesWatcher, &TrustedDevicesWatcher::changed, this,
                &TabletConversation::closeIfRevoked);
    const bool paired = outcome == AuthOutcome::newlyPaired;
    AgentLog::event(
        QStringLiteral("%1: \"%2\" from %3")
            .arg(paired ? QStringLiteral("paired new device") : QStringLiteral("trusted device connected"),
                 AgentLog::printable(attempt.deviceName), m_peer));
    reply(id, authMethod,
          QJsonObject{{QStringLiteral("paired"), paired},
                      {QStringLiteral("agentBuild"), AgentBuild::identifier}});
    emit authenticatedChanged();
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
    QJsonObject message{{QStringLiteral("id"), id},
                        {QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), error.code},
                                                              {QStringLiteral("message"), error.message}}}};
    if (!method.isEmpty())
        message.insert(QStringLiteral("method"), method);
    emit send(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

bool TabletConversation::closeIfRevoked()
{
    if (m_closing || !m_authenticated || m_services.authenticator->stillTrusted(m_deviceId))
        return false;
    AgentLog::event(QStringLiteral("device revoked: closing the connection of \"%1\" from %2")
                        .arg(AgentLog::printable(m_deviceName), m_peer));
    closeForPolicy(QStringLiteral("device revoked"));
    return true;
}

void TabletConversation::closeForPolicy(const QString &reason)
{
    m_closing = true;
    m_authTimer.stop();
    emit closeRequested(QWebSocketProtocol::CloseCodePolicyViolated, reason);
}
