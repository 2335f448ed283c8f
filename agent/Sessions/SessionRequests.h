#pragma once

#include "Sessions/SessionManager.h"

#include <QJsonObject>
#include <QObject>
#include <QSet>

#include <functional>
#include <variant>

// One tablet's requests about sessions (see agent/PROTOCOL.md), and the output of the sessions it attached
// to, which goes out as notifications.
class SessionRequests : public QObject, public SessionViewer {
    Q_OBJECT

public:
    SessionRequests(SessionManager *manager, QString deviceId, QString deviceName, QObject *parent = nullptr);
    ~SessionRequests() override;

    static bool handles(const QString &method);
    // The answer: a result, an error, or none (session.input and session.ack are answered only when wrong).
    using Answer = std::variant<QJsonObject, ServiceError, std::monostate>;
    // `answer` is called exactly once, now or (for session.open) later, unless this object is gone by then.
    void serve(const QString &method, const QJsonObject &params,
               const std::function<void(const Answer &)> &answer);

    void sessionOutput(const QString &id, qint64 offset, const QByteArray &bytes) override;
    void sessionEnded(const QString &id, const QJsonObject &how) override;
    void sessionResized(const QString &id, int columns, int rows) override;
    bool canTakeOutput() const override { return !m_takesOutput || m_takesOutput(); }
    // Whether the tablet's connection takes more output now; resumeOutput() when it does again.
    void setOutputGate(std::function<bool()> takesOutput) { m_takesOutput = std::move(takesOutput); }
    void resumeOutput();

signals:
    // A notification for the tablet, as the text of a message.
    void notify(const QString &text);

private:
    Answer attached(CodingSession *session, const CodingSession::Attachment &attachment);
    Answer input(CodingSession *session, const QJsonObject &params);

    SessionManager *m_manager;
    QString m_deviceId;
    QString m_deviceName;
    QSet<QString> m_attached;
    std::function<bool()> m_takesOutput;
};
