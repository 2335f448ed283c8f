#pragma once

#include "Auth/AuthThrottle.h"
#include "Auth/PairingAuthenticator.h"
#include "Auth/TrustedDevicesWatcher.h"
#include "Files/WorkspaceFileService.h"
#include "ServiceError.h"

class SessionManager;
class SessionRequests;

#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QTimer>

// What every conversation shares; owned by the agent.
struct ConversationServices {
    PairingAuthenticator *authenticator = nullptr;
    AuthThrottle *throttle = nullptr;
    const WorkspaceFileService *files = nullptr;
    int authTimeoutMs = 10'000;
    // Announces changes of the trusted-devices file; none in tests of a single conversation.
    const TrustedDevicesWatcher *devicesWatcher = nullptr;
    // The coding sessions; none: the session requests are unknown methods.
    SessionManager *sessions = nullptr;
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

    // `peer` names where the tablet comes from, for the log and the throttle (an address, or the relay).
    TabletConversation(QString peer, ConversationServices services, QObject *parent = nullptr);

    bool isAuthenticated() const { return m_authenticated; }
    // The route recorded for the device ("lan" unless told otherwise before it authenticates).
    void setRoute(const QString &route) { m_route = route; }
    void receive(const QString &text);

signals:
    void send(const QString &text);
    void closeRequested(int code, const QString &reason);
    void authenticatedChanged();

private:
    void authenticate(const QJsonValue &id, const QJsonObject &params);
    void finishAuthentication(const QJsonValue &id, const AuthAttempt &attempt);
    void serve(const QJsonValue &id, const QString &method, const QJsonObject &params);
    SessionRequests *sessionRequests();
    void reply(const QJsonValue &id, const QString &method, const QJsonObject &result);
    void replyError(const QJsonValue &id, const QString &method, const ServiceError &error);
    void closeForPolicy(const QString &reason);
    // Ends the conversation when its device is no longer trusted; true when it did.
    bool closeIfRevoked();

    QString m_peer;
    QString m_route = TrustedDevicesFile::lanRoute;
    QString m_deviceId;
    QString m_deviceName;
    ConversationServices m_services;
    SessionRequests *m_sessionRequests = nullptr;
    QTimer m_authTimer;
    bool m_authenticated = false;
    bool m_verifying = false;
    bool m_closing = false;
};
