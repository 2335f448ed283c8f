#pragma once

// A ferrowyn-agent process for route tests, and the host's and tablet's requests to it.
#include "Shared/RelayCodecStateName.h"
#include "Shared/TrustedDevicesFile.h"
#include "TestWebSocketClient.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>
#include <QWebSocketServer>

#include <csignal>
#include <thread>

inline namespace agent_test {

inline QString randomSecret()
{
    return QString::number(QRandomGenerator::global()->generate64(), 36) +
           QString::number(QRandomGenerator::global()->generate64(), 36);
}

// One ferrowyn-agent with its own HOME and fresh secrets; all it writes is kept for the check that no secret
// ever leaves it.
struct Agent {
    QTemporaryDir home;
    QString token = randomSecret(), hostId = "host_" + randomSecret(), nonce = randomSecret();
    QString relayToken = randomSecret(), session = randomSecret(), ngrokToken = randomSecret();
    QString control = randomSecret();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QProcess process;
    QString out, err;
    quint16 port = 0;
    // The device secrets the agent issued in this run, for the leak check.
    QStringList deviceSecrets;

    Agent()
    {
        for (const QString &name : env.keys()) {
            if (name.startsWith("VELMORA_") || name.startsWith("FERROWYN_AGENT_TEST_"))
                env.remove(name);
        }
        env.insert("HOME", home.path());
        env.insert("VELMORA_HOST_TOKEN", token);
        env.insert("VELMORA_HOST_ID", hostId);
        env.insert("VELMORA_PAIRING_NONCE", nonce);
        env.insert("VELMORA_CONTROL_SECRET", control);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { collect(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process, [this] { collect(); });
    }
    void collect()
    {
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
    }
    // True once this run reports its listening port.
    bool start(const QStringList &arguments)
    {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(FERROWYN_AGENT_PATH), arguments);
        static const QRegularExpression listening(QStringLiteral("listening on .*:(\\d+),"));
        QRegularExpressionMatch match;
        const auto ended = [&] {
            return (match = listening.match(out)).hasMatch() || !process.isOpen();
        };
        const bool reported = QTest::qWaitFor(ended, 5000) && match.hasMatch();
        port = static_cast<quint16>(match.captured(1).toUInt());
        return reported;
    }
    // Ends it with `signal`; its exit status, or -1 when it did not end within a second or crashed.
    int stop(int signal = SIGTERM)
    {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const bool ended = process.waitForFinished(1000);
        collect();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString ws() const { return QStringLiteral("ws://127.0.0.1:%1/ws").arg(port); }
    // Opens `client` and authenticates it as `deviceId` with the host's credentials and `pairingNonce` (this
    // run's unless a device secret is given): the result, empty when refused. The secret it is issued joins
    // the leak check.
    QJsonObject pair(TestWebSocketClient &client, const QString &deviceId, QString pairingNonce = {},
                     const QString &secret = {})
    {
        if (pairingNonce.isNull() && secret.isNull())
            pairingNonce = nonce;
        if (!client.open(ws()))
            return {};
        const QJsonObject result =
            client.request(TestWebSocketClient::authRequest(token, hostId, pairingNonce, deviceId, 1, secret))
                .value("result")
                .toObject();
        deviceSecrets += result.value("deviceSecret").toString();
        return result;
    }
    TrustedDevicesFile devices() const
    {
        return TrustedDevicesFile(home.filePath(".ferrowyn/trusted-devices.json"));
    }
    // Every secret, device secret and secret hash that appears in the agent's output.
    QStringList leaked() const
    {
        QStringList secrets{token, hostId, nonce, relayToken, session, ngrokToken, control};
        secrets += deviceSecrets;
        for (const TrustedDevice &device : devices().read(TrustedDevicesFile::SecretHashes::Included).devices)
            secrets += device.secretHash.mid(device.secretHash.indexOf(':') + 1);
        secrets.removeAll(QString());
        secrets.removeIf([this](const QString &secret) { return !(out + err).contains(secret); });
        return secrets;
    }
};

inline QString python(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("/usr/bin/python3", QStringList{FERROWYN_AGENT_TEST_DIR "/tablet_client.py"} + arguments);
    process.waitForFinished(15000);
    return QString::fromUtf8(process.readAll()) + QStringLiteral("exit=%1").arg(process.exitCode());
}

// The health answer, to a request that names the agent `host` when given (as a page of another site could).
inline QJsonObject health(quint16 port, const QByteArray &host = {})
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(port)));
    if (!host.isEmpty())
        request.setRawHeader("Host", host);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QSignalSpy(reply.get(), &QNetworkReply::finished).wait(5000);
    return QJsonDocument::fromJson(reply->readAll()).object();
}

// The host's revoke request: its status and body.
inline QString revoke(quint16 port, const QString &secret, const QString &deviceId, const QString &nonce)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/control/revoke").arg(port)));
    request.setRawHeader("Authorization", "Bearer " + secret.toUtf8());
    std::unique_ptr<QNetworkReply> reply(manager.post(
        request, QJsonDocument(QJsonObject{{"deviceId", deviceId}, {"pairingNonce", nonce}}).toJson()));
    QSignalSpy(reply.get(), &QNetworkReply::finished).wait(5000);
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toString() + ' ' + reply->readAll();
}

} // namespace agent_test
