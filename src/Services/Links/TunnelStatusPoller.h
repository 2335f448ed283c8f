#pragma once

#include "Services/Links/AgentHealth.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

struct TunnelPollTimings {
    std::chrono::milliseconds interval{500};
    int attempts = 120;
    std::chrono::milliseconds requestTimeout{60000};
};

// Asks the agent's /healthz on the loopback address about its tunnel until the tunnel is settled, the agent
// is gone, or the attempts run out. What an answer means for the host is the caller's business.
class TunnelStatusPoller : public QObject {
    Q_OBJECT

public:
    struct Hooks {
        std::function<bool()> agentRunning;
        std::function<int()> port; // read afresh for every request
        // A parsed answer, or none when the request failed or the body could not be read.
        std::function<void(const std::optional<HostAgentTunnelStatus> &)> apply;
        std::function<bool()> settled;
        std::function<void()> timedOut;
    };

    explicit TunnelStatusPoller(TunnelPollTimings timings = {}, QObject *parent = nullptr);
    ~TunnelStatusPoller() override;

    // Cancels any poll under way and begins a new one.
    void start(Hooks hooks);
    void cancel();
    bool isPolling() const { return m_polling; }

private:
    void attempt();
    void finishRequest(QNetworkReply *reply);
    void afterAttempt();
    void pauseElapsed();

    TunnelPollTimings m_timings;
    QNetworkAccessManager *m_network;
    QTimer *m_pause;
    Hooks m_hooks;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_body;
    int m_completedAttempts = 0;
    bool m_polling = false;
    bool m_givingUp = false;
};
