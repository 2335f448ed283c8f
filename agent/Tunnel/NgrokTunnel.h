#pragma once

#include "Tunnel/TunnelStatus.h"

#include <QProcess>
#include <QTimer>

// Runs the ngrok command-line agent for the listening port and follows its JSON log on standard output:
// starting until a "started tunnel" record gives the public URL, failed when ngrok is missing, exits,
// logs an error, or gives no URL in time. ngrok's own output is never copied to the agent's output.
class NgrokTunnel : public QObject {
    Q_OBJECT

public:
    struct LogEvent {
        enum Kind { none, started, failed } kind = none;
        QString text; // the public URL, or the error
    };
    // What one line of ngrok's JSON log means for the tunnel.
    static LogEvent interpretLogLine(const QByteArray &line);

    NgrokTunnel(TunnelStatus *status, int startTimeoutMs, int stopGraceMs, QObject *parent = nullptr);
    ~NgrokTunnel() override;

    void start(quint16 port, const QString &authtoken);
    // Ends the child: SIGTERM, then SIGKILL after the grace period.
    void stop();

private:
    void readOutput();
    void fail(const QString &error);
    QString scrubbed(const QString &text) const;

    TunnelStatus *m_status;
    QProcess m_process;
    QTimer m_startTimer;
    QByteArray m_pending;
    QString m_authtoken;
    int m_stopGraceMs;
    bool m_stopping = false;
};
