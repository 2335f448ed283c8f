#include "Services/Links/AgentHealth.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

bool readOptionalString(const QJsonObject &object, const QString &key, QString *into)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    *into = value.toString();
    return true;
}

} // namespace

std::optional<HostAgentTunnelStatus> AgentHealth::parseResponse(const QByteArray &body)
{
    if (body.size() > maximumBodySize)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonValue tunnelValue = document.object().value(QStringLiteral("tunnel"));
    if (!tunnelValue.isObject())
        return std::nullopt;
    const QJsonObject tunnel = tunnelValue.toObject();
    const QJsonValue state = tunnel.value(QStringLiteral("state"));
    if (!state.isString())
        return std::nullopt;

    HostAgentTunnelStatus status;
    status.state = state.toString();
    if (!readOptionalString(tunnel, QStringLiteral("provider"), &status.provider) ||
        !readOptionalString(tunnel, QStringLiteral("publicUrl"), &status.publicUrl) ||
        !readOptionalString(tunnel, QStringLiteral("lastError"), &status.lastError))
        return std::nullopt;
    return status;
}
