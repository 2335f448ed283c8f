#include "Services/TunnelStatusPoller.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <deque>

using namespace std::chrono_literals;

namespace {

// The agent's health endpoint, answering from a script; the last answer repeats.
class FakeHealthEndpoint {
public:
    FakeHealthEndpoint()
    {
        m_server.route("/healthz", [this] {
            ++requests;
            const auto [status, body] = answers.size() > 1 ? pop() : answers.front();
            return QHttpServerResponse("application/json", body, status);
        });
        port = m_server.listen(QHostAddress::LocalHost, 0);
    }

    std::deque<std::pair<QHttpServerResponse::StatusCode, QByteArray>> answers;
    int requests = 0;
    int port = 0;

private:
    std::pair<QHttpServerResponse::StatusCode, QByteArray> pop()
    {
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }

    QHttpServer m_server;
};

int closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort(); // free again once this returns
}

QByteArray tunnel(const char *state, const char *extra = "")
{
    return QByteArray(R"({"tunnel":{"provider":"ngrok","state":")") + state + "\"" + extra + "}}";
}

constexpr auto ok = QHttpServerResponse::StatusCode::Ok;

} // namespace

// Follows a poll the way the controller does: records what it was told and settles on online or failed.
struct PollRecord {
    QList<std::optional<HostAgentTunnelStatus>> applied;
    QString state = QStringLiteral("starting");
    bool running = true;
    int port = 0;
    int timeouts = 0;

    TunnelStatusPoller::Hooks hooks()
    {
        return {[this] { return running; }, [this] { return port; },
                [this](const std::optional<HostAgentTunnelStatus> &status) {
                    applied.append(status);
                    if (status)
                        state = status->state;
                },
                [this] { return state == QLatin1String("online") || state == QLatin1String("failed"); },
                [this] {
                    ++timeouts;
                }};
    }
};

using Answers = QList<std::pair<QHttpServerResponse::StatusCode, QByteArray>>;

class TunnelStatusPollerTest : public QObject {
    Q_OBJECT

private slots:
    void settles_data();
    void settles();
    void pollEndsWhenTheAgentIsGone();
    void cancelledPollNeitherAsksNorTimesOut();
    void portIsReadForEveryRequest();

private:
    TunnelPollTimings fast(int attempts = 120) { return {5ms, attempts, 5000ms}; }
};

void TunnelStatusPollerTest::settles_data()
{
    QTest::addColumn<Answers>("answers"); // none: nothing listens
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("applied"); // how often the poll reported, with a status or without
    QTest::addColumn<int>("parsed");
    QTest::addColumn<int>("timeouts");
    QTest::addColumn<QString>("detail"); // the last status's public URL and error
    QTest::newRow("polls until online")
        << Answers{{ok, tunnel("starting")},
                   {ok, tunnel("starting")},
                   {ok, tunnel("online", R"(,"publicUrl":"https://a.ngrok.app")")},
                   {ok, tunnel("failed")}}
        << 120 << 3 << 3 << 3 << 0 << "https://a.ngrok.app";
    QTest::newRow("failed ends the poll")
        << Answers{{ok, tunnel("failed", R"(,"lastError":"ngrok not found")")}} << 120 << 1 << 1 << 1 << 0
        << "ngrok not found";
    QTest::newRow("answers other than 200 ignored until the attempts run out")
        << Answers{{QHttpServerResponse::StatusCode::ServiceUnavailable, tunnel("online")}} << 4 << 4 << 0
        << 0 << 1 << "";
    QTest::newRow("oversized body is a parse failure")
        << Answers{{ok,
                    tunnel("online", (R"(,"padding":")" + QByteArray(200 * 1024, 'x') + "\"").constData())}}
        << 2 << 2 << 2 << 0 << 1 << "";
    QTest::newRow("unreachable agent counts as still starting") << Answers() << 3 << 0 << 3 << 0 << 1 << "";
}

void TunnelStatusPollerTest::settles()
{
    QFETCH(Answers, answers);
    QFETCH(int, attempts);
    QFETCH(int, timeouts);
    FakeHealthEndpoint agent;
    agent.answers.assign(answers.cbegin(), answers.cend());
    PollRecord record;
    record.port = answers.isEmpty() ? closedPort() : agent.port;
    TunnelStatusPoller poller(fast(attempts));
    poller.start(record.hooks());
    QTRY_VERIFY(!poller.isPolling() && record.timeouts == timeouts);
    QTEST(agent.requests, "requests");
    QTEST(int(record.applied.size()), "applied");
    const auto parsed = std::count_if(record.applied.cbegin(), record.applied.cend(),
                                      [](const auto &s) { return s.has_value(); });
    QTEST(int(parsed), "parsed");
    if (parsed > 0)
        QTEST(record.applied.last()->publicUrl + record.applied.last()->lastError, "detail");
}

void TunnelStatusPollerTest::pollEndsWhenTheAgentIsGone()
{
    FakeHealthEndpoint agent;
    agent.answers = {{ok, tunnel("starting")}};
    PollRecord record;
    record.port = agent.port;
    TunnelStatusPoller poller(fast());
    poller.start(record.hooks());
    QTRY_VERIFY(agent.requests >= 2);
    record.running = false;
    QTRY_VERIFY(!poller.isPolling());
    const int requests = agent.requests;
    QTest::qWait(50); // nothing may arrive once it has ended; a later request would show here
    QCOMPARE(agent.requests, requests);
    QCOMPARE(record.timeouts, 0);
}

void TunnelStatusPollerTest::cancelledPollNeitherAsksNorTimesOut()
{
    FakeHealthEndpoint agent;
    agent.answers = {{ok, tunnel("starting")}};
    PollRecord record;
    record.port = agent.port;
    TunnelStatusPoller poller({200ms, 2, 5000ms});
    poller.start(record.hooks());
    QTRY_COMPARE(agent.requests, 1);
    poller.cancel();
    QTest::qWait(450); // longer than the two pauses that would have led to the time-out
    QCOMPARE(agent.requests, 1);
    QCOMPARE(record.timeouts, 0);
}

void TunnelStatusPollerTest::portIsReadForEveryRequest()
{
    FakeHealthEndpoint first;
    first.answers = {{ok, tunnel("starting")}};
    FakeHealthEndpoint second;
    second.answers = {{ok, tunnel("online")}};
    PollRecord record;
    record.port = first.port;
    TunnelStatusPoller::Hooks hooks = record.hooks();
    // The agent moves to another port right after the first answer.
    hooks.apply = [&record, &second,
                   apply = hooks.apply](const std::optional<HostAgentTunnelStatus> &status) {
        apply(status);
        record.port = second.port;
    };
    TunnelStatusPoller poller({30ms, 120, 5000ms});
    poller.start(std::move(hooks));
    QTRY_VERIFY(!poller.isPolling());
    QCOMPARE(first.requests, 1);
    QCOMPARE(second.requests, 1);
    QCOMPARE(record.state, QStringLiteral("online"));
}

QTEST_GUILESS_MAIN(TunnelStatusPollerTest)
#include "tst_tunnel_status_poller.moc"
