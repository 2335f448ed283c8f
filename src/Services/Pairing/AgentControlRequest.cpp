#include "Services/Pairing/AgentControlRequest.h"

#include "Shared/AgentAddress.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>

void AgentControlRequest::revokeDevice(int port, const QString &secret, const QString &deviceId,
                                       const QString &pairingNonce, QObject *context,
                                       std::function<void(bool done)> answered)
{
    auto *network = new QNetworkAccessManager(context);
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port) + AgentAddress::revokePath));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + secret.toUtf8());
    request.setTransferTimeout(answerTimeoutMs);
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("deviceId"), deviceId},
                                                      {QStringLiteral("pairingNonce"), pairingNonce}})
                                .toJson(QJsonDocument::Compact);
    QNetworkReply *reply = network->post(request, body);
    QObject::connect(
        reply, &QNetworkReply::finished, context, [network, reply, answered = std::move(answered)] {
            const bool done = reply->error() == QNetworkReply::NoError &&
                              reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
            network->deleteLater();
            answered(done);
        });
}
