#pragma once

#include "Secure/NoiseHandshake.h"
#include "Secure/SecureChannel.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

#include <functional>
#include <optional>

// Called after every message while something waits: QTest::qWaitFor looks only every 10 ms, which would be
// most of an echo's round trip.
inline std::function<void()> lookAgain;

template <typename Predicate> void waitFor(Predicate predicate, int timeoutMs)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, [] { qFatal("session-bench: an answer did not come in time"); });
    lookAgain = [&] {
        if (predicate())
            loop.quit();
    };
    QTimer::singleShot(0, &loop, lookAgain);
    loop.exec();
    lookAgain = nullptr;
}

// The tablet: requests and the output of the sessions it opened, acknowledged at `ackRate` bytes a second
// (0: at once); encrypted once it shook hands.
struct Tablet {
    QWebSocket socket;
    int nextId = 0;
    QHash<int, QJsonObject> answers;
    QHash<QString, qint64> received, acknowledged;
    QHash<QString, QJsonObject> ended;
    qint64 wireBytes = 0;
    qint64 ackRate = 0;
    QElapsedTimer lastOutput;
    QTimer pacer;
    std::optional<NoiseHandshake> handshake;
    NoiseCipherState sending, receiving;

    Tablet()
    {
        socket.setMaxAllowedIncomingMessageSize(4 << 20);
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [this](const QString &text) {
            wireBytes += text.size();
            take(text.toUtf8());
        });
        QObject::connect(
            &socket, &QWebSocket::binaryMessageReceived, &socket, [this](const QByteArray &bytes) {
                wireBytes += bytes.size();
                if (handshake && !handshake->isComplete()) {
                    if (!handshake->readMessage(bytes))
                        qFatal("session-bench: the agent does not hold its key");
                    sending = handshake->sending();
                    receiving = handshake->receiving();
                } else if (const std::optional<QByteArray> plaintext = receiving.decrypt({}, bytes)) {
                    take(*plaintext);
                } else {
                    qFatal("session-bench: a message from the agent does not open");
                }
                if (lookAgain)
                    lookAgain();
            });
        QObject::connect(&socket, &QWebSocket::connected, &socket, [] {
            if (lookAgain)
                lookAgain();
        });
        // A terminal that draws `ackRate` bytes a second.
        pacer.setInterval(100);
        QObject::connect(&pacer, &QTimer::timeout, &socket, [this] {
            for (auto session = received.cbegin(); session != received.cend(); ++session) {
                const qint64 next = std::min(session.value(), acknowledged[session.key()] + ackRate / 10);
                acknowledged[session.key()] = next;
                post("session.ack", {{"id", session.key()}, {"offset", next}});
            }
        });
    }
    void take(const QByteArray &text)
    {
        const QJsonObject message = QJsonDocument::fromJson(text).object();
        const QJsonObject params = message.value("params").toObject();
        const QString id = params.value("id").toString();
        if (message.contains("id")) {
            answers.insert(message.value("id").toInt(), message);
        } else if (message.value("method") == "session.output") {
            received[id] = params.value("offset").toInteger() +
                           QByteArray::fromBase64(params.value("data").toString().toLatin1()).size();
            lastOutput.start();
            if (ackRate == 0)
                post("session.ack", {{"id", id}, {"offset", received[id]}});
        } else if (message.value("method") == "session.ended") {
            ended.insert(id, params);
        }
        if (lookAgain)
            lookAgain();
    }
    void connectTo(const QString &port, const QByteArray &agentKey = {})
    {
        socket.open(QUrl("ws://127.0.0.1:" + port + "/ws"));
        waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
        if (agentKey.isEmpty())
            return;
        handshake.emplace(NoiseHandshake::Role::initiator, SecureChannel::prologue, agentKey);
        socket.sendBinaryMessage(*handshake->writeMessage({}));
        waitFor([&] { return handshake->isComplete(); }, 5000);
    }
    void send(const QByteArray &text)
    {
        if (handshake)
            socket.sendBinaryMessage(*sending.encrypt({}, text));
        else
            socket.sendTextMessage(QString::fromUtf8(text));
    }
    int post(const QString &method, const QJsonObject &params)
    {
        send(QJsonDocument(QJsonObject{{"id", ++nextId}, {"method", method}, {"params", params}})
                 .toJson(QJsonDocument::Compact));
        return nextId;
    }
    QJsonObject call(const QString &method, const QJsonObject &params = {})
    {
        const int id = post(method, params);
        waitFor([&] { return answers.contains(id); }, 20000);
        return answers.take(id);
    }
    QString open(const QString &folder, const QString &program)
    {
        const QJsonObject answer =
            call("session.open", {{"folder", folder}, {"program", program}, {"cols", 120}, {"rows", 40}});
        if (!answer.contains("result"))
            qFatal("cannot open %s: %s", qPrintable(program), QJsonDocument(answer).toJson().constData());
        return answer.value("result")["session"]["id"].toString();
    }
};
