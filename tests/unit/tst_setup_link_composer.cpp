#include "Services/SetupLinkComposer.h"

#include <QTest>
#include <QTimeZone>
#include <QUrlQuery>

using SetupLinkComposer::Inputs;

namespace {

const QDateTime fixedNow(QDate(2026, 12, 5), QTime(5, 55), QTimeZone::utc());

Inputs credentials()
{
    Inputs inputs;
    inputs.hostToken = QStringLiteral("HT");
    inputs.hostId = QStringLiteral("host_ID");
    inputs.relaySession = QStringLiteral("3f2c8a52-8c1e-4a4e-9d69-1d2b0f6f7a10");
    inputs.relayToken = QStringLiteral("RT");
    inputs.pairingNonce = QStringLiteral("PN");
    inputs.lanPort = 8765;
    return inputs;
}

QString endpointOf(const std::optional<QUrl> &link)
{
    return link ? QUrlQuery(*link).queryItemValue(QStringLiteral("endpoint"), QUrl::FullyDecoded) : QString();
}

} // namespace

// Which route the link takes, and what it is built from.
class SetupLinkComposerTest : public QObject {
    Q_OBJECT

private slots:
    void loopbackWhenNotListeningOnAllInterfaces();
    void bestAddressWhenListeningOnAllInterfaces();
    void loopbackWhenNoAddressQualifies();
    void tunnelWithoutPublicURLGivesNoLinkButAnAddress();
    void tunnelEndpointFromThePublicURL();
    void unusableTunnelURLGivesNoLink();
    void relayHasNoLocalAddress();
    void unusableRelayURLGivesNoLink();
};

void SetupLinkComposerTest::loopbackWhenNotListeningOnAllInterfaces()
{
    Inputs inputs = credentials();
    inputs.lanBindAll = false;
    bool asked = false;
    inputs.bestLANAddress = [&asked] {
        return asked = true, std::optional<QString>("192.168.1.20");
    };
    const auto result = SetupLinkComposer::compose(inputs, fixedNow);
    QCOMPARE(result.resolvedLANAddress, std::optional<QString>("127.0.0.1:8765"));
    QCOMPARE(endpointOf(result.link), QStringLiteral("ws://127.0.0.1:8765/ws"));
    QVERIFY(!asked);
}

void SetupLinkComposerTest::bestAddressWhenListeningOnAllInterfaces()
{
    Inputs inputs = credentials();
    inputs.bestLANAddress = [] {
        return std::optional<QString>("192.168.1.20");
    };
    const auto result = SetupLinkComposer::compose(inputs, fixedNow);
    QCOMPARE(result.resolvedLANAddress, std::optional<QString>("192.168.1.20:8765"));
    QCOMPARE(result.link->toString(QUrl::FullyEncoded),
             QStringLiteral("ferrowyn://connect?mode=sshTunnel&endpoint=ws://192.168.1.20:8765/ws&token=HT"
                            "&hostId=host_ID&pairingNonce=PN&expiresAt=2026-12-05T06:10:00Z"));
}

void SetupLinkComposerTest::loopbackWhenNoAddressQualifies()
{
    Inputs inputs = credentials();
    inputs.bestLANAddress = [] {
        return std::optional<QString>();
    };
    QCOMPARE(SetupLinkComposer::compose(inputs, fixedNow).resolvedLANAddress,
             std::optional<QString>("127.0.0.1:8765"));
}

void SetupLinkComposerTest::tunnelWithoutPublicURLGivesNoLinkButAnAddress()
{
    Inputs inputs = credentials();
    inputs.ngrokTunnelEnabled = true;
    inputs.lanPort = 9000;
    const auto result = SetupLinkComposer::compose(inputs, fixedNow);
    QVERIFY(!result.link);
    QCOMPARE(result.resolvedLANAddress, std::optional<QString>("127.0.0.1:9000"));
}

void SetupLinkComposerTest::tunnelEndpointFromThePublicURL()
{
    Inputs inputs = credentials();
    inputs.ngrokTunnelEnabled = true;
    inputs.tunnelPublicURL = QStringLiteral("https://abc.ngrok-free.app");
    const auto result = SetupLinkComposer::compose(inputs, fixedNow);
    QCOMPARE(endpointOf(result.link), QStringLiteral("wss://abc.ngrok-free.app/ws"));
    QCOMPARE(QUrlQuery(*result.link).queryItemValue(QStringLiteral("mode")), QStringLiteral("sshTunnel"));
}

void SetupLinkComposerTest::unusableTunnelURLGivesNoLink()
{
    Inputs inputs = credentials();
    inputs.ngrokTunnelEnabled = true;
    inputs.tunnelPublicURL = QStringLiteral("ftp://abc.example");
    QVERIFY(!SetupLinkComposer::compose(inputs, fixedNow).link);
}

void SetupLinkComposerTest::relayHasNoLocalAddress()
{
    Inputs inputs = credentials();
    inputs.mode = HostingMode::relay;
    inputs.ngrokTunnelEnabled = true;
    inputs.relayURL = QStringLiteral("wss://relay.example.org/relay?x=1");
    inputs.relayVersion = HostRelayVersion::goV1;
    const auto result = SetupLinkComposer::compose(inputs, fixedNow);
    QVERIFY(!result.resolvedLANAddress);
    const QUrlQuery query(*result.link);
    QCOMPARE(query.queryItemValue(QStringLiteral("endpoint"), QUrl::FullyDecoded),
             QStringLiteral("wss://relay.example.org/relay/3f2c8a52-8c1e-4a4e-9d69-1d2b0f6f7a10"));
    QCOMPARE(query.queryItemValue(QStringLiteral("relayToken")), QStringLiteral("RT"));
    QCOMPARE(query.queryItemValue(QStringLiteral("relayVersion")), QStringLiteral("goV1"));
    QCOMPARE(query.queryItemValue(QStringLiteral("sessionId")), inputs.relaySession);
}

void SetupLinkComposerTest::unusableRelayURLGivesNoLink()
{
    Inputs inputs = credentials();
    inputs.mode = HostingMode::relay;
    inputs.relayURL = QStringLiteral("wss://bad host/relay");
    const auto result = SetupLinkComposer::compose(inputs, fixedNow);
    QVERIFY(!result.link);
    QVERIFY(!result.resolvedLANAddress);
}

QTEST_GUILESS_MAIN(SetupLinkComposerTest)
#include "tst_setup_link_composer.moc"
