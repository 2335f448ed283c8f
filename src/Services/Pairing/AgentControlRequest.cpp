#include "Services/Pairing/AgentControlRequest.h"

#include "Shared/AgentAddress.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

void post(const AgentControlRequest::Channel &channel, const QString &path, const QJsonObject &body,
          QObject *context, std::function<void(bool done)> answered)
{
    auto *network = new QNetworkAccessManager(context);
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(channel.port) + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + channel.secret.toUtf8());
    request.setTransferTimeout(AgentControlRequest::answerTimeoutMs);
    QNetworkReply *reply = network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    QObject::connect(
        reply, &QNetworkReply::finished, context, [network, reply, answered = std::move(answered)] {
            const bool done = reply->error() == QNetworkReply::NoError &&
                              reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
            network->deleteLater();
            answered(done);
        });
}

} // namespace

void AgentControlRequest::revokeDevice(const Channel &channel, const QString &deviceId,
                                       const QString &pairingNonce, QObject *context,
                                       std::function<void(bool done)> answered)
{
    post(channel, AgentAddress::revokePath,
         {{QStringLiteral("deviceId"), deviceId}, {QStringLiteral("pairingNonce"), pairingNonce}}, context,
         std::move(answered));
}

void AgentControlRequest::endSessions(const Channel &channel, const QString &id, QObject *context,
                                      std::function<void(bool done)> answered)
{
    const QJsonObject body =
        id.isEmpty() ? QJsonObject{{QStringLiteral("all"), true}} : QJsonObject{{QStringLiteral("id"), id}};
    post(channel, AgentAddress::endSessionsPath, body, context, std::move(answered));
}
