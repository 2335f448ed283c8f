#include "TestWebSocketClient.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

TestWebSocketClient::TestWebSocketClient()
{
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
                     [this](const QString &text) { m_received.append(text); });
}

bool TestWebSocketClient::open(const QString &url, int timeoutMs)
{
    QSignalSpy connected(&m_socket, &QWebSocket::connected);
    m_socket.open(QUrl(url));
    return connected.wait(timeoutMs);
}

QJsonObject TestWebSocketClient::request(const QJsonObject &message, int timeoutMs)
{
    sendText(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    return nextMessage(timeoutMs);
}

QJsonObject TestWebSocketClient::nextMessage(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return m_received.size() > m_consumed; }, timeoutMs))
        return {};
    return QJsonDocument::fromJson(m_received.at(m_consumed++).toUtf8()).object();
}

bool TestWebSocketClient::waitForClose(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                           timeoutMs);
}

QJsonObject TestWebSocketClient::authRequest(const QString &token, const QString &hostId,
                                             const QString &nonce, const QString &deviceId, int id,
                                             const QString &deviceSecret)
{
    QJsonObject params{
        {"token", token}, {"hostId", hostId}, {"deviceId", deviceId}, {"deviceName", "Test iPad"}};
    if (!nonce.isNull())
        params.insert("pairingNonce", nonce);
    if (!deviceSecret.isNull())
        params.insert("deviceSecret", deviceSecret);
    return QJsonObject{{"id", id}, {"method", "auth"}, {"params", params}};
}
