#include "Services/StatusTexts.h"

#include <QTest>
#include <QTimeZone>

using StatusTexts::HostingStatus;

namespace {

HostingStatus running(HostingMode mode, bool ngrok, bool bindAll,
                      const QString &tunnelState = QStringLiteral("disabled"), const QString &lastError = {},
                      const QString &lanAddress = {})
{
    HostingStatus hosting;
    hosting.state = AgentRunState::running();
    hosting.mode = mode;
    hosting.ngrokTunnelEnabled = ngrok;
    hosting.lanBindAll = bindAll;
    hosting.tunnelState = tunnelState;
    hosting.tunnelLastError = lastError;
    hosting.resolvedLANAddress = lanAddress;
    return hosting;
}

HostingStatus withState(HostingStatus hosting, const AgentRunState &state)
{
    hosting.state = state;
    return hosting;
}

} // namespace

class StatusTextsTest : public QObject {
    Q_OBJECT

private slots:
    void headerLabels();
    void headline_data();
    void headline();
    void tunnelRow_data();
    void tunnelRow();
    void disconnectedTexts_data();
    void disconnectedTexts();
    void instructions_data();
    void instructions();
    void expiry_data();
    void expiry();
    void expiryLineUsesTheLocalesShortTime();
    void identity();
};

void StatusTextsTest::headerLabels()
{
    QCOMPARE(StatusTexts::headerLabel(AgentRunState::stopped()), QStringLiteral("Stopped"));
    QCOMPARE(StatusTexts::headerLabel(AgentRunState::starting()), QStringLiteral("Starting"));
    QCOMPARE(StatusTexts::headerLabel(AgentRunState::running()), QStringLiteral("Running"));
    QCOMPARE(StatusTexts::headerLabel(AgentRunState::failed(QStringLiteral("boom"))),
             QStringLiteral("Error"));
}

void StatusTextsTest::headline_data()
{
    QTest::addColumn<HostingStatus>("hosting");
    QTest::addColumn<QString>("headline");
    const HostingStatus lan = running(HostingMode::lan, false, true);

    QTest::newRow("stopped") << withState(lan, AgentRunState::stopped()) << QStringLiteral("Not hosting");
    QTest::newRow("starting, with the ellipsis character")
        << withState(lan, AgentRunState::starting()) << QStringLiteral("Starting host agent\u2026");
    QTest::newRow("failed shows the message verbatim")
        << withState(lan, AgentRunState::failed(QStringLiteral("Agent exited with status 2.")))
        << QStringLiteral("Agent exited with status 2.");
    QTest::newRow("relay ignores the tunnel")
        << running(HostingMode::relay, true, true, "failed", "x") << QStringLiteral("Hosting via relay");
    QTest::newRow("ngrok online") << running(HostingMode::lan, true, true, "online")
                                  << QStringLiteral("Hosting via ngrok tunnel");
    QTest::newRow("ngrok failed without error")
        << running(HostingMode::lan, true, true, "failed") << QStringLiteral("Ngrok tunnel failed");
    QTest::newRow("ngrok failed with error")
        << running(HostingMode::lan, true, true, "failed", "Timed out waiting for ngrok tunnel.")
        << QStringLiteral("Timed out waiting for ngrok tunnel.");
    QTest::newRow("ngrok starting, three full stops")
        << running(HostingMode::lan, true, false, "starting") << QStringLiteral("Starting ngrok tunnel...");
    QTest::newRow("ngrok state not yet known")
        << running(HostingMode::lan, true, true, "disabled") << QStringLiteral("Starting ngrok tunnel...");
    QTest::newRow("ngrok state in other case")
        << running(HostingMode::lan, true, true, "Online") << QStringLiteral("Starting ngrok tunnel...");
    QTest::newRow("loopback only") << running(HostingMode::lan, false, false, "disabled", {},
                                              "127.0.0.1:8765")
                                   << QStringLiteral("Hosting on 127.0.0.1 (local-machine testing)");
    QTest::newRow("bind-all before the address is known")
        << running(HostingMode::lan, false, true) << QStringLiteral("Hosting on LAN");
    QTest::newRow("bind-all with the address")
        << running(HostingMode::lan, false, true, "disabled", {}, "192.168.1.20:8765")
        << QStringLiteral("Hosting on 192.168.1.20:8765");
}

void StatusTextsTest::headline()
{
    QFETCH(HostingStatus, hosting);
    QFETCH(QString, headline);
    QCOMPARE(StatusTexts::statusHeadline(hosting), headline);
}

void StatusTextsTest::tunnelRow_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("text");
    QTest::newRow("online with URL") << "online"
                                     << "https://a.ngrok.app"
                                     << ""
                                     << "https://a.ngrok.app";
    QTest::newRow("online without URL") << "online"
                                        << ""
                                        << ""
                                        << "Online";
    QTest::newRow("failed with error") << "failed"
                                       << ""
                                       << "ngrok exited"
                                       << "ngrok exited";
    QTest::newRow("failed without error") << "failed"
                                          << "https://a"
                                          << ""
                                          << "Failed";
    QTest::newRow("starting") << "starting"
                              << ""
                              << ""
                              << "Starting";
    QTest::newRow("unknown") << "reconnecting"
                             << ""
                             << ""
                             << "Disabled";
    QTest::newRow("case matters") << "ONLINE"
                                  << "https://a"
                                  << ""
                                  << "Disabled";
}

void StatusTextsTest::tunnelRow()
{
    QFETCH(QString, state);
    QFETCH(QString, url);
    QFETCH(QString, error);
    QFETCH(QString, text);
    QCOMPARE(StatusTexts::tunnelStatusText(state, url, error), text);
}

void StatusTextsTest::disconnectedTexts_data()
{
    QTest::addColumn<HostingStatus>("hosting");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    const QString start = QStringLiteral("Start hosting to generate a setup link.");
    const QString pick = QStringLiteral("Pick a hosting mode on the left and press Start.");

    QTest::newRow("relay, stopped") << withState(running(HostingMode::relay, true, true),
                                                 AgentRunState::stopped())
                                    << start << pick;
    QTest::newRow("lan without ngrok, running") << running(HostingMode::lan, false, true) << start << pick;
    QTest::newRow("ngrok but the agent failed")
        << withState(running(HostingMode::lan, true, true, "failed", "x"), AgentRunState::failed("y"))
        << start << pick;
    QTest::newRow("ngrok starting") << running(HostingMode::lan, true, true, "starting")
                                    << QStringLiteral("Waiting for ngrok tunnel.")
                                    << QStringLiteral(
                                           "The QR code appears after ngrok returns a public URL.");
    QTest::newRow("ngrok timed out") << running(HostingMode::lan, true, true, "failed",
                                                "Timed out waiting for ngrok tunnel.")
                                     << QStringLiteral("Ngrok tunnel failed.")
                                     << QStringLiteral("Timed out waiting for ngrok tunnel.");
    QTest::newRow("ngrok failed silently")
        << running(HostingMode::lan, true, true, "failed") << QStringLiteral("Ngrok tunnel failed.")
        << QStringLiteral("Check ngrok status, or add an authtoken for a more stable tunnel.");
}

void StatusTextsTest::disconnectedTexts()
{
    QFETCH(HostingStatus, hosting);
    QFETCH(QString, title);
    QFETCH(QString, message);
    QCOMPARE(StatusTexts::disconnectedTitle(hosting), title);
    QCOMPARE(StatusTexts::disconnectedMessage(hosting), message);
}

void StatusTextsTest::instructions_data()
{
    QTest::addColumn<HostingStatus>("hosting");
    QTest::addColumn<QString>("text");
    const QString plain =
        QStringLiteral("Scan with the iPad camera, or open this link on the iPad to connect.");
    QTest::newRow("ngrok") << running(HostingMode::lan, true, true, "online", {}, "127.0.0.1:8765")
                           << QStringLiteral(
                                  "Scan with the iPad camera, or open this link on the iPad to connect "
                                  "through the ngrok tunnel.");
    QTest::newRow("relay") << running(HostingMode::relay, true, true) << plain;
    QTest::newRow("loopback") << running(HostingMode::lan, false, false, "disabled", {}, "127.0.0.1:8765")
                              << QStringLiteral(
                                     "Local-machine testing link. Turn on Listen on all interfaces to "
                                     "connect from a physical iPad.");
    QTest::newRow("lan address") << running(HostingMode::lan, false, true, "disabled", {},
                                            "192.168.1.20:8765")
                                 << plain;
    QTest::newRow("127.0.0.10 is not loopback-only")
        << running(HostingMode::lan, false, true, "disabled", {}, "127.0.0.10:8765") << plain;
}

void StatusTextsTest::instructions()
{
    QFETCH(HostingStatus, hosting);
    QFETCH(QString, text);
    QCOMPARE(StatusTexts::instructionText(hosting), text);
}

void StatusTextsTest::expiry_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QDateTime>("expiry");
    const QDateTime at(QDate(2026, 12, 5), QTime(6, 10), QTimeZone::utc());
    QTest::newRow("LAN link") << "ferrowyn://connect?mode=sshTunnel&token=t&expiresAt=2026-12-05T06:10:00Z"
                              << at;
    QTest::newRow("first of two")
        << "ferrowyn://connect?expiresAt=2026-12-05T06:10:00Z&expiresAt=2030-01-01T00:00:00Z" << at;
    QTest::newRow("offset") << "ferrowyn://connect?expiresAt=2026-12-05T07:10:00%2B01:00" << at;
    QTest::newRow("name is case-sensitive")
        << "ferrowyn://connect?expiresat=2026-12-05T06:10:00Z" << QDateTime();
    QTest::newRow("no zone") << "ferrowyn://connect?expiresAt=2026-12-05T06:10:00" << QDateTime();
    QTest::newRow("date only") << "ferrowyn://connect?expiresAt=2026-12-05" << QDateTime();
    QTest::newRow("garbage") << "ferrowyn://connect?expiresAt=soon" << QDateTime();
    QTest::newRow("no query") << "ferrowyn://connect" << QDateTime();
}

void StatusTextsTest::expiry()
{
    QFETCH(QString, link);
    QFETCH(QDateTime, expiry);
    const std::optional<QDateTime> parsed = StatusTexts::setupLinkExpiry(QUrl(link));
    QCOMPARE(parsed.has_value(), expiry.isValid());
    if (parsed)
        QCOMPARE(parsed->toUTC(), expiry);
}

void StatusTextsTest::expiryLineUsesTheLocalesShortTime()
{
    const QDateTime expiry = QDateTime(QDate(2026, 12, 5), QTime(18, 10), QTimeZone::utc()).toLocalTime();
    const QString us = StatusTexts::expiryLine(expiry, QLocale(QLocale::English, QLocale::UnitedStates));
    const QString de = StatusTexts::expiryLine(expiry, QLocale(QLocale::German, QLocale::Germany));
    QVERIFY(us.startsWith(QLatin1String("Setup link expires ")));
    QVERIFY(us.endsWith(QLatin1String(". Rotation revokes trusted devices and existing setup links.")));
    const QTime local = expiry.time();
    QVERIFY2(
        us.contains(QLocale(QLocale::English, QLocale::UnitedStates).toString(local, QLocale::ShortFormat)),
        qPrintable(us));
    QVERIFY2(de.contains(local.toString(QStringLiteral("HH:mm"))), qPrintable(de));
    QVERIFY(!us.contains(QLatin1String("2026")));
}

void StatusTextsTest::identity()
{
    QCOMPARE(StatusTexts::identityValue(QString()), QStringLiteral("Created on start"));
    QCOMPARE(StatusTexts::identityValue(QStringLiteral("host_abc")), QStringLiteral("host_abc"));
}

QTEST_GUILESS_MAIN(StatusTextsTest)
#include "tst_status_texts.moc"
