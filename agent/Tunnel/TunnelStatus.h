#pragma once

#include "Shared/TunnelState.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

// What /healthz reports: the tunnel's progress and the relay link's state. Holds no secret by construction:
// only texts the agent composes itself.
class TunnelStatus : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString provider READ provider NOTIFY changed)
    Q_PROPERTY(TunnelState state READ state NOTIFY changed)
    Q_PROPERTY(QString publicUrl READ publicUrl NOTIFY changed)
    Q_PROPERTY(QString lastError READ lastError NOTIFY changed)
    Q_PROPERTY(QString relayState READ relayState NOTIFY changed)

public:
    explicit TunnelStatus(QObject *parent = nullptr);

    QString provider() const { return m_provider; }
    TunnelState state() const { return m_state; }
    QString publicUrl() const { return m_publicUrl; }
    QString lastError() const { return m_lastError; }
    QString relayState() const { return m_relayState; }

    void setStarting(const QString &provider);
    void setOnline(const QString &publicUrl);
    void setFailed(const QString &lastError);
    void setRelayState(const QString &relayState);

    QJsonObject healthJson() const;

signals:
    void changed();

private:
    QString m_provider;
    TunnelState m_state = TunnelState::disabled;
    QString m_publicUrl;
    QString m_lastError;
    QString m_relayState = QStringLiteral("disabled");
};
