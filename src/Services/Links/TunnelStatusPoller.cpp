#include "Services/Links/TunnelStatusPoller.h"

#include "Shared/AgentAddress.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

TunnelStatusPoller::TunnelStatusPoller(TunnelPollTimings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_network(new QNetworkAccessManager(this)),
      m_pause(new QTimer(this))
{
    m_pause->setSingleShot(true);
    connect(m_pause, &QTimer::timeout, this, &TunnelStatusPoller::pauseElapsed);
}

TunnelStatusPoller::~TunnelStatusPoller()
{
    cancel();
}

void TunnelStatusPoller::start(Hooks hooks)
{
    cancel();
    m_hooks = std::move(hooks);
    m_completedAttempts = 0;
    m_givingUp = false;
    m_polling = true;
    // Like any other step of the loop, the first request waits for the event loop, never for the caller.
    m_pause->start(0);
}

void TunnelStatusPoller::cancel()
{
    m_polling = false;
    m_pause->stop();
    if (m_reply) {
        m_reply->disconnect(this);
        if (m_reply->isRunning())
            m_reply->abort();
        m_reply->deleteLater();
    }
}

void TunnelStatusPoller::attempt()
{
    if (!m_polling)
        return;
    if (!m_hooks.agentRunning || !m_hooks.agentRunning()) {
        m_polling = false;
        return;
    }
    const QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(m_hooks.port()) + AgentAddress::healthPath);
    if (!url.isValid() || url.port() < 0) {
        afterAttempt();
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_timings.requestTimeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    m_reply = m_network->get(request);
    m_body.clear();
    // A body larger than any health answer is a broken agent: stop reading it instead of buffering it.
    connect(m_reply, &QNetworkReply::readyRead, this, [this, reply = m_reply.data()] {
        m_body += reply->read(AgentHealth::maximumBodySize + 1 - m_body.size());
        if (m_body.size() > AgentHealth::maximumBodySize)
            reply->abort();
    });
    connect(m_reply, &QNetworkReply::finished, this,
            [this, reply = m_reply.data()] { finishRequest(reply); });
}

void TunnelStatusPoller::finishRequest(QNetworkReply *reply)
{
    reply->deleteLater();
    const bool failed = reply->error() != QNetworkReply::NoError &&
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isNull();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (failed || reply->error() == QNetworkReply::OperationCanceledError) {
        m_hooks.apply(std::nullopt);
    } else if (status == 200) {
        m_body += reply->read(AgentHealth::maximumBodySize + 1 - m_body.size());
        m_hooks.apply(AgentHealth::parseResponse(m_body));
    }
    // Any other status: this attempt tells nothing; the next one asks again.
    afterAttempt();
}

void TunnelStatusPoller::afterAttempt()
{
    if (!m_polling)
        return;
    if (m_hooks.settled && m_hooks.settled()) {
        m_polling = false;
        return;
    }
    // The last attempt is followed by its pause before the poll gives up, as every other attempt.
    m_givingUp = ++m_completedAttempts >= m_timings.attempts;
    m_pause->start(m_timings.interval);
}

void TunnelStatusPoller::pauseElapsed()
{
    if (!m_givingUp) {
        attempt();
        return;
    }
    m_polling = false;
    if (m_hooks.timedOut)
        m_hooks.timedOut();
}
