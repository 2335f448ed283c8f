#include "Tunnel/TunnelStatus.h"

#include "Shared/AgentBuild.h"

TunnelStatus::TunnelStatus(QObject *parent) : QObject(parent) {}

void TunnelStatus::setStarting(const QString &provider)
{
    m_provider = provider;
    m_state = TunnelState::starting;
    m_publicUrl.clear();
    m_lastError.clear();
    emit changed();
}

void TunnelStatus::setOnline(const QString &publicUrl)
{
    if (m_state == TunnelState::online && m_publicUrl == publicUrl)
        return;
    m_state = TunnelState::online;
    m_publicUrl = publicUrl;
    m_lastError.clear();
    emit changed();
}

void TunnelStatus::setFailed(const QString &lastError)
{
    if (m_state == TunnelState::failed && m_lastError == lastError)
        return;
    m_state = TunnelState::failed;
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
    QJsonObject tunnel{{QStringLiteral("state"), rawValue(m_state)},
                       {QStringLiteral("publicUrl"), m_publicUrl},
                       {QStringLiteral("lastError"), m_lastError}};
    tunnel.insert(QStringLiteral("provider"), m_provider.isEmpty() ? QJsonValue() : QJsonValue(m_provider));
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")},
                       {QStringLiteral("agentBuild"), QString::fromLatin1(AgentBuild::identifier)},
                       {QStringLiteral("tunnel"), tunnel},
                       {QStringLiteral("relay"), QJsonObject{{QStringLiteral("state"), m_relayState}}}};
}
