#pragma once

#include <QJsonObject>
#include <QNetworkRequest>
#include <QStringList>
#include <QWebSocket>

// A tablet stand-in over QWebSocket that waits for each answer and remembers how the agent closed.
class TestWebSocketClient {
public:
    TestWebSocketClient();

    bool open(const QString &url, int timeoutMs = 5000);
    void sendText(const QString &text) { m_socket.sendTextMessage(text); }
    // Sends a request and returns the next message (an empty object when none came).
    QJsonObject request(const QJsonObject &message, int timeoutMs = 5000);
    QJsonObject nextMessage(int timeoutMs = 5000);
    bool waitForClose(int timeoutMs = 5000);
    int closeCode() const { return static_cast<int>(m_socket.closeCode()); }
    QWebSocket &socket() { return m_socket; }

    // A null nonce or secret is left out of the request.
    static QJsonObject authRequest(const QString &token, const QString &hostId, const QString &nonce,
                                   const QString &deviceId, int id = 1, const QString &deviceSecret = {});

private:
    QWebSocket m_socket;
    QStringList m_received;
    qsizetype m_consumed = 0;
};
