#pragma once

#include "AgentTimings.h"
#include "Auth/AuthRefusalLog.h"
#include "Auth/AuthThrottle.h"
#include "Auth/PairingAuthenticator.h"
#include "Auth/TrustedDevicesWatcher.h"
#include "Files/WorkspaceFileService.h"
#include "ServiceError.h"

class SessionManager;
class SessionRequests;
class WriteBacklog;

#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QTimer>

// What every conversation shares; owned by the agent.
struct ConversationServices {
    PairingAuthenticator *authenticator = nullptr;
    AuthThrottle *throttle = nullptr;
    const WorkspaceFileService *files = nullptr;
    int authTimeoutMs = AgentTimings().authTimeoutMs;
    // Announces changes of the trusted-devices file; none in tests of a single conversation.
    const TrustedDevicesWatcher *devicesWatcher = nullptr;
    // Where refusals are told; without it each goes straight to the log.
    AuthRefusalLog *refusals = nullptr;
    // The coding sessions; none: the session requests are unknown methods.
    SessionManager *sessions = nullptr;
    // How long a connection may hold output it does not take before it is given up (see WriteBacklog).
    int writeStallMs = AgentTimings().writeStallMs;
    // The agent's static secret key, which encrypted connections' handshakes prove; empty: none, and every
    // handshake is refused.
    QByteArray agentKey = {};
    // Tablets that do not encrypt are let in from anywhere, not only from this computer.
    bool allowUnencryptedClients = false;

    // Writes a line about a refused tablet from `source`, rate-limited when there is a refusal log.
    void logRefusal(const QString &source, const QString &line) const;
};

// One tablet's conversation, whatever carries it (the local WebSocket or the relay): the first request must
// authenticate; after that the file requests are served. Transport-independent: text in through receive(),
// text out through send(), and closeRequested() when the conversation must end.
class TabletConversation : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool authenticated READ isAuthenticated NOTIFY authenticatedChanged)

public:
    // The largest message a tablet may send, and so the largest the agent sends to one.
    static constexpr qint64 maxMessageBytes = 1024 * 1024;

    // `peer` names where the tablet comes from, for the log and, unless told otherwise, the throttle (an
    // address, or the relay).
    TabletConversation(QString peer, ConversationServices services, QObject *parent = nullptr);
    ~TabletConversation() override;

    bool isAuthenticated() const { return m_authenticated; }
    // Neither let in nor refused yet.
    bool awaitsAuthentication() const { return !m_authenticated && !m_refused; }
    // The route recorded for the device ("lan" unless told otherwise before it authenticates).
    void setRoute(const QString &route) { m_route = route; }
    // Whose failures the throttle counts this tablet's with (one tablet behind the relay: its peer id).
    void setThrottleKey(const QString &key) { m_throttleKey = key; }
    // What waits to be written on the connection carrying it: session output goes out only while that
    // takes more. Without one, output is never held back.
    void setBacklog(const WriteBacklog *backlog);
    void receive(const QString &text);

signals:
    void send(const QString &text);
    void closeRequested(int code, const QString &reason);
    void authenticatedChanged();
    // The first request was decided: let in, or refused (the refusal may still be held back).
    void authenticationSettled();

private:
    void authenticate(const QJsonValue &id, const QJsonObject &params);
    void admit(const QJsonValue &id, const AuthAttempt &attempt, const AuthDecision &decision);
    void refuse(const QJsonValue &id, AuthOutcome outcome);
    void sayRefused(const QJsonValue &id);
    void serve(const QJsonValue &id, const QString &method, const QJsonObject &params);
    SessionRequests *sessionRequests();
    void reply(const QJsonValue &id, const QString &method, const QJsonObject &result);
    void replyError(const QJsonValue &id, const QString &method, const ServiceError &error);
    void closeForPolicy(const QString &reason);
    // Ends the conversation when its device is no longer trusted; true when it did.
    bool closeIfRevoked();

    QString m_peer;
    QString m_throttleKey;
    QString m_route = TrustedDevicesFile::lanRoute;
    QString m_deviceId;
    QString m_deviceName;
    QString m_secretHash;
    ConversationServices m_services;
    SessionRequests *m_sessionRequests = nullptr;
    QPointer<const WriteBacklog> m_backlog;
    QTimer m_authTimer;
    // A burst of changes to the sessions (one ending while another starts) is announced once.
    QTimer m_sessionsChanged;
    bool m_authenticated = false;
    bool m_refused = false;
    bool m_holdingRefusal = false;
    bool m_closing = false;
};
