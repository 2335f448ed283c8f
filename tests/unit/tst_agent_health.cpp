#include "Services/AgentHealth.h"

#include <QTest>

class AgentHealthTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void oversizedBodyIsRefused();
};

void AgentHealthTest::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<HostAgentTunnelStatus>("status");

    QTest::newRow("online") << QByteArray(
                                   R"({"tunnel":{"provider":"ngrok","state":"online",)"
                                   R"("publicUrl":"https://a.ngrok.app","lastError":""},"build":"14"})")
                            << true << HostAgentTunnelStatus{"ngrok", "online", "https://a.ngrok.app", ""};
    QTest::newRow("nulls read empty")
        << QByteArray(R"({"tunnel":{"provider":null,"state":"starting","publicUrl":null,"lastError":null}})")
        << true << HostAgentTunnelStatus{"", "starting", "", ""};
    QTest::newRow("absent optionals") << QByteArray(R"({"tunnel":{"state":"failed","lastError":"no ngrok"}})")
                                      << true << HostAgentTunnelStatus{"", "failed", "", "no ngrok"};
    QTest::newRow("unknown state kept") << QByteArray(R"({"tunnel":{"state":"Reconnecting"}})") << true
                                        << HostAgentTunnelStatus{"", "Reconnecting", "", ""};
    QTest::newRow("no state") << QByteArray(R"({"tunnel":{"publicUrl":"https://a"}})") << false
                              << HostAgentTunnelStatus{};
    QTest::newRow("no tunnel") << QByteArray(R"({"state":"online"})") << false << HostAgentTunnelStatus{};
    QTest::newRow("state not a string")
        << QByteArray(R"({"tunnel":{"state":1}})") << false << HostAgentTunnelStatus{};
    QTest::newRow("publicUrl wrong type")
        << QByteArray(R"({"tunnel":{"state":"online","publicUrl":5}})") << false << HostAgentTunnelStatus{};
    QTest::newRow("key case matters")
        << QByteArray(R"({"tunnel":{"state":"online","publicURL":"https://a"}})") << true
        << HostAgentTunnelStatus{"", "online", "", ""};
    QTest::newRow("not JSON") << QByteArray("<html>502</html>") << false << HostAgentTunnelStatus{};
    QTest::newRow("empty") << QByteArray() << false << HostAgentTunnelStatus{};
    QTest::newRow("array") << QByteArray("[]") << false << HostAgentTunnelStatus{};
}

void AgentHealthTest::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, parses);
    QFETCH(HostAgentTunnelStatus, status);
    const std::optional<HostAgentTunnelStatus> parsed = AgentHealth::parseResponse(body);
    QCOMPARE(parsed.has_value(), parses);
    if (parses)
        QVERIFY(*parsed == status);
}

void AgentHealthTest::oversizedBodyIsRefused()
{
    const QByteArray head = R"({"tunnel":{"state":"online"},"padding":")";
    QByteArray body = head + QByteArray(AgentHealth::maximumBodySize - head.size() - 2, 'x') + "\"}";
    QCOMPARE(body.size(), AgentHealth::maximumBodySize);
    QVERIFY(AgentHealth::parseResponse(body).has_value());
    body.insert(head.size(), 'x');
    QVERIFY(!AgentHealth::parseResponse(body).has_value());
}

QTEST_GUILESS_MAIN(AgentHealthTest)
#include "tst_agent_health.moc"
