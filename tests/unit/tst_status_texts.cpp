#include "Services/Wording/StatusTexts.h"

#include <QTest>
#include <QTimeZone>

using namespace StatusTexts;

namespace {

// A running agent unless said otherwise; the tunnel is enabled when it has a state.
HostingStatus hosting(HostingMode mode, std::optional<TunnelState> tunnelState, const QString &lastError = {},
                      const QString &lanAddress = {}, const AgentRunState &state = AgentRunState::running())
{
    HostingSettings settings;
    settings.mode = mode;
    settings.ngrokTunnelEnabled = tunnelState.has_value();
    return {state, settings, tunnelState.value_or(TunnelState::disabled), {}, lastError, lanAddress};
}

} // namespace

// The wording itself is for reading in the window; these pin which state leads to which text, above all that
// the agent's and ngrok's own error messages reach the user.
class StatusTextsTest : public QObject {
    Q_OBJECT

private slots:
    void errorsReachTheUser();
    void linkDetails();
};

void StatusTextsTest::errorsReachTheUser()
{
    const HostingStatus failedAgent = hosting(HostingMode::lan, TunnelState::failed, "x", {},
                                              AgentRunState::failed("Agent exited with status 2."));
    const HostingStatus failedTunnel = hosting(HostingMode::lan, TunnelState::failed, "Timed out waiting.");
    QCOMPARE(statusHeadline(failedAgent), "Agent exited with status 2.");
    QCOMPARE(disconnectedMessage(failedTunnel), "Timed out waiting.");
    // Without a message of its own, a failed tunnel is still named, with what to do about it.
    QCOMPARE(statusHeadline(hosting(HostingMode::lan, TunnelState::failed)), "Ngrok tunnel failed");
    QVERIFY(disconnectedMessage(hosting(HostingMode::lan, TunnelState::failed)).contains("authtoken"));
    // Only a running agent on the LAN route behind ngrok waits for its tunnel; otherwise the user is asked to
    // start.
    QCOMPARE(disconnectedTitle(hosting(HostingMode::relay, TunnelState::starting)),
             disconnectedTitle(failedAgent));
    QVERIFY(disconnectedTitle(hosting(HostingMode::lan, TunnelState::starting)) !=
            disconnectedTitle(failedAgent));
    // Only the loopback address itself makes a link for this machine alone.
    const QString lanInstruction =
        instructionText(hosting(HostingMode::lan, std::nullopt, {}, "127.0.0.10:8765"));
    QCOMPARE(lanInstruction, instructionText(hosting(HostingMode::relay, std::nullopt)));
    QVERIFY(instructionText(hosting(HostingMode::lan, std::nullopt, {}, "127.0.0.1:8765")) != lanInstruction);
}

// The expiry and the key fingerprint shown beside the link, read from it.
void StatusTextsTest::linkDetails()
{
    // Read from the first expiry, in UTC or with its offset; not from another name or a time without a zone.
    const QDateTime expiry(QDate(2026, 12, 5), QTime(6, 10), QTimeZone::utc());
    for (const char *query : {"mode=sshTunnel&expiresAt=2026-12-05T06:10:00Z",
                              "expiresAt=2026-12-05T06:10:00Z&expiresAt=2030-01-01T00:00:00Z",
                              "expiresAt=2026-12-05T07:10:00%2B01:00"})
        QCOMPARE(setupLinkExpiry(QUrl("ferrowyn://connect?" + QString(query))), expiry);
    for (const char *query :
         {"expiresat=2026-12-05T06:10:00Z", "expiresAt=2026-12-05T06:10:00", "expiresAt=2026-12-05"})
        QCOMPARE(setupLinkExpiry(QUrl("ferrowyn://connect?" + QString(query))), std::nullopt);
    // The public key of RFC 7748's first Diffie-Hellman example; its fingerprint was computed apart.
    const QString key = QStringLiteral("hSDwCYkwp1R0i33ctD73Wg2_Og0mOBr066SpjqqbTmo");
    QCOMPARE(keyFingerprintLine(QUrl("ferrowyn://connect?expiresAt=x&agentKey=" + key)),
             "Key fingerprint: 300c 9c96 03b9 2a4b");
    QCOMPARE(keyFingerprintLine(QUrl("ferrowyn://connect?agentKey=" + key.chopped(1) + 'n')), QString());
}

QTEST_GUILESS_MAIN(StatusTextsTest)
#include "tst_status_texts.moc"
