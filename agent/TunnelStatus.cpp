#include "TunnelStatus.h"

#include "AgentBuild.h"

TunnelStatus::TunnelStatus(QObject *parent) : QObject(parent) {}

void TunnelStatus::setStarting(const QString &provider)
{
    m_provider = provider;
    m_state = QStringLiteral("starting");
    m_publicUrl.clear();
    m_lastError.clear();
    emit changed();
}

void TunnelStatus::setOnline(const QString &publicUrl)
{
    if (m_state == QLatin1String("online") && m_publicUrl == publicUrl)
        return;
    m_state = QStringLiteral("online");
    m_publicUrl = publicUrl;
    m_lastError.clear();
    emit changed();
}

void TunnelStatus::setFailed(const QString &lastError)
{
    if (m_state == QLatin1String("failed") && m_lastError == lastError)
        return;
    m_state = QStringLiteral("failed");
    m_publicUrl.clear();
    m_lastError = lastError;
    emit changed();
}

void TunnelStatus::setRelayState(const QString &relayState)
{
    if (m_relayState == relayState)
        return;
    m_relayState = relayState;
    emit changed();
}

QJsonObject TunnelStatus::healthJson() const
{
    QJsonObject tunnel{{QStringLiteral("state"), m_state},
                       {QStringLiteral("publicUrl"), m_publicUrl},
                       {QStringLiteral("lastError"), m_lastError}};
    tunnel.insert(QStringLiteral("provider"), m_provider.isEmpty() ? QJsonValue() : QJsonValue(m_provider));
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")},
                       {QStringLiteral("agentBuild"), QString::fromLatin1(AgentBuild::identifier)},
                       {QStringLiteral("tunnel"), tunnel},
                       {QStringLiteral("relay"), QJsonObject{{QStringLiteral("state"), m_relayState}}}};
}
