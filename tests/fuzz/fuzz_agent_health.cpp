#include "FuzzSupport.h"

#include "Services/AgentHealth.h"

#include <QJsonDocument>
#include <QJsonObject>

// Input: an answer body of the agent's health endpoint.
// Invariant: a status is read exactly from a JSON object no larger than the limit whose "tunnel" object has a
// text "state" and no listed key of another type than text or null; its fields are those texts.

namespace {

bool textOrAbsent(const QJsonObject &tunnel, const char *key)
{
    const QJsonValue value = tunnel.value(QLatin1String(key));
    return value.isUndefined() || value.isNull() || value.isString();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<HostAgentTunnelStatus> status = AgentHealth::parseResponse(body);

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    const QJsonObject tunnel = document.object().value(QLatin1String("tunnel")).toObject();
    const bool readable =
        body.size() <= AgentHealth::maximumBodySize && error.error == QJsonParseError::NoError &&
        document.isObject() && document.object().value(QLatin1String("tunnel")).isObject() &&
        tunnel.value(QLatin1String("state")).isString() && textOrAbsent(tunnel, "provider") &&
        textOrAbsent(tunnel, "publicUrl") && textOrAbsent(tunnel, "lastError");
    FUZZ_CHECK(status.has_value() == readable);
    if (status) {
        FUZZ_CHECK(status->state == tunnel.value(QLatin1String("state")).toString());
        FUZZ_CHECK(status->provider == tunnel.value(QLatin1String("provider")).toString());
        FUZZ_CHECK(status->publicUrl == tunnel.value(QLatin1String("publicUrl")).toString());
        FUZZ_CHECK(status->lastError == tunnel.value(QLatin1String("lastError")).toString());
    }
    return 0;
}
