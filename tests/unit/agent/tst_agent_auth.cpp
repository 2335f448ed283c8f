#include "AgentAuthAttempts.h"
#include "Auth/DeviceSecret.h"
#include "TabletConversation.h"
#include "TestFiles.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <sys/resource.h>
#include <unistd.h>

// Who gets in: the host's credentials, the pairing nonce, each device's own secret, the file that keeps the
// hashes of those secrets, and the throttle and log that a flood of wrong attempts meets.
class AgentAuthTest : public QObject {
    Q_OBJECT

private slots:
    // Every case starts without a trusted device.
    void init() { QFile::remove(path("trusted.json")); }
    void decisions();
    void deviceSecrets();
    void oldEntriesUpgradeOnce();
    void trustedDevicesFile();
    void hostAndAgentWritersKeepEachOthersDevices();
    void throttleRule();
    void floodNeverKeepsTheRightTabletOut();
    void refusalLog();

private:
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QTemporaryDir m_dir;
};

void AgentAuthTest::decisions()
{
    // The attempt's token, host id, pairing code (made with this nonce, or the nonce itself) and device id,
    // the agent's own nonce, and the outcomes of that attempt and of the same one again without the code but
    // with whatever secret the first was issued.
    using A = AuthOutcome;
    const QString code = pairingCode("nonce-1");
    const QList<std::tuple<QStringList, A, A>> table{
        {{"token-1", "host_1", code, "d1", "nonce-1"}, A::newlyPaired, A::trustedDevice},
        {{"token-1", "host_2", code, "d1", "nonce-1"}, A::wrongHostId, A::wrongHostId},
        {{"token-1", "host_1", pairingCode("nonce-2"), "d1", "nonce-1"},
         A::wrongPairingCode,
         A::wrongPairingCode},
        // The nonce itself, which links carried before they carried a code, pairs nobody.
        {{"token-1", "host_1", "nonce-1", "d1", "nonce-1"}, A::wrongPairingCode, A::wrongPairingCode},
        // Without a nonce of its own the agent pairs nobody.
        {{"token-1", "host_1", "", "d1", ""}, A::wrongPairingCode, A::wrongPairingCode},
        {{"token-1", "host_1", code, QString(129, 'd'), "nonce-1"}, A::invalidDevice, A::invalidDevice}};
    for (const auto &[a, first, second] : table) {
        QFile::remove(path("trusted.json"));
        PairingAuthenticator authenticator(secrets(a.at(4)), TrustedDeviceStore(path("trusted.json")));
        const AuthDecision decision = authenticator.verify({a.at(0), a.at(1), a.at(2), a.at(3), "iPad"});
        QCOMPARE(decision.outcome, first);
        // A secret is issued exactly when a device pairs.
        QCOMPARE(decision.issuedSecret.size(), first == A::newlyPaired ? 43 : 0);
        const AuthAttempt again{a.at(0), a.at(1), QString(), a.at(3), "iPad", "lan", decision.issuedSecret};
        QCOMPARE(authenticator.verify(again).outcome, second);
    }
}

void AgentAuthTest::deviceSecrets()
{
    PairingAuthenticator authenticator(secrets(), TrustedDeviceStore(path("trusted.json")));
    const QString one = authenticator.verify(attempt("d1", {}, "nonce-1")).issuedSecret;
    const QString two = authenticator.verify(attempt("d2", {}, "nonce-1")).issuedSecret;
    QVERIFY(one != two && QByteArray::fromBase64(one.toLatin1(), QByteArray::Base64UrlEncoding).size() == 32);
    // The device, the secret it presents, the nonce it adds, and the outcome. A known device id is never
    // paired again over its entry, not even with the current nonce: its secret is what makes it that device.
    // (Let in with its own secret is the decisions' second attempt; refused with none, the upgraded
    // device's.)
    using A = AuthOutcome;
    const QList<std::tuple<QString, QString, QString, A>> table{
        {"d1", one, "nonce-1", A::trustedDevice},         {"d1", two, "", A::wrongDeviceSecret},
        {"d1", one.chopped(1), "", A::wrongDeviceSecret}, {"d1", one + 'A', "", A::wrongDeviceSecret},
        {"d1", "", "nonce-1", A::wrongDeviceSecret},      {"d3", one, "", A::wrongPairingCode}};
    for (const auto &[deviceId, secret, nonce, outcome] : table)
        QCOMPARE(authenticator.verify(attempt(deviceId, secret, nonce)).outcome, outcome);
    // The host token off by one byte at either end, cut short, or empty: only the token itself gets in.
    for (const char *token : {"Token-1", "token-2", "token-", ""})
        QVERIFY2(authenticator.verify(attempt("d1", one, {}, token)).outcome == A::wrongToken, token);
    const QByteArray file = fileContents(path("trusted.json"));
    QVERIFY(!file.contains(one.toUtf8()) && file.contains(DeviceSecret::hash(one).toUtf8()));
    // A connection lasts as long as the entry it came in with: revoked and paired anew under its id, the
    // device is someone else.
    QVERIFY(authenticator.stillTrusted("d1", DeviceSecret::hash(one)));
    QString error;
    QVERIFY(authenticator.revoke("d1", &error));
    const QString again = authenticator.verify(attempt("d1", {}, "nonce-1")).issuedSecret;
    QVERIFY(!again.isEmpty() && !authenticator.stillTrusted("d1", DeviceSecret::hash(one)));
    QCOMPARE(authenticator.verify(attempt("d1", one)).outcome, A::wrongDeviceSecret);
    // Hashes of another form match nothing.
    for (const QString &stored :
         {QString(), DeviceSecret::hash(one).toUpper(), DeviceSecret::hash(one).chopped(2),
          "sha1:" + DeviceSecret::hash(one).mid(7), QString("sha256:") + QString(64, 'z')})
        QVERIFY2(!DeviceSecret::matches(one, stored), qPrintable(stored));
}

void AgentAuthTest::oldEntriesUpgradeOnce()
{
    // Paired before devices had secrets: the id alone lets the device in once, and it leaves with a secret.
    QVERIFY(writeFile(path("trusted.json"),
                      R"({"version":1,"devices":[{"deviceId":"d0","name":"iPad","hostId":"host_1",)"
                      R"("pairedAt":"2026-12-05T06:10:00Z","color":"red"}]})"));
    PairingAuthenticator authenticator(secrets(), TrustedDeviceStore(path("trusted.json")));
    QVERIFY(authenticator.stillTrusted("d0", {}));
    const AuthDecision upgrade = authenticator.verify(attempt("d0", {}));
    QCOMPARE(upgrade.outcome, AuthOutcome::upgradedDevice);
    QCOMPARE(upgrade.secretHash, DeviceSecret::hash(upgrade.issuedSecret));
    // From then on it must present that secret, and whoever comes second with the id alone is refused.
    using A = AuthOutcome;
    const QList<std::pair<QString, A>> after{{"", A::wrongDeviceSecret},
                                             {"anything", A::wrongDeviceSecret},
                                             {upgrade.issuedSecret, A::trustedDevice}};
    for (const auto &[secret, outcome] : after)
        QCOMPARE(authenticator.verify(attempt("d0", secret)).outcome, outcome);
    const QByteArray file = fileContents(path("trusted.json"));
    QVERIFY(file.contains(upgrade.secretHash.toUtf8()) && !file.contains(upgrade.issuedSecret.toUtf8()));
    // The connection that came in before the upgrade, without a secret, ends with it.
    QVERIFY(!authenticator.stillTrusted("d0", {}));
}

void AgentAuthTest::trustedDevicesFile()
{
    // Whatever else is in it, the version found, and the version written: never lowered, and a reader of
    // any version keeps what it does not know.
    const QList<std::tuple<QByteArray, int>> versions{
        {"", 2}, {R"("version":1,)", 2}, {R"("version":3,)", 3}};
    const TrustedDevicesFile file(path("format.json"));
    QString error;
    for (const auto &[version, written] : versions) {
        QVERIFY(writeFile(file.path(), "{" + version +
                                           R"("devices":[{"deviceId":"a","hostId":"h","future":[1],)"
                                           R"("secretHash":"sha256:aa"},{"deviceId":"b","hostId":"h"},)"
                                           R"({"note":"no id"}],"extra":true})"));
        // The host reads no hashes, so nothing it shows can carry one; the agent does.
        QCOMPARE(file.read().devices.value(0).secretHash, QString());
        QCOMPARE(file.read(TrustedDevicesFile::SecretHashes::Included).devices.value(0).secretHash,
                 "sha256:aa");
        // A writer that knows nothing of hashes (it lists a alone, afresh, to revoke b) keeps a's.
        QVERIFY(file.update(
            [](QList<TrustedDevice> &devices) {
                devices = {{"a", "", "h", {}, {}, {}, {}}};
                return true;
            },
            &error));
        const QJsonObject root = QJsonDocument::fromJson(fileContents(file.path())).object();
        QCOMPARE(root.value("version").toInt(), written);
        QCOMPARE(
            compact(root.value("devices")[1].toObject()),
            R"({"deviceId":"a","future":[1],"hostId":"h","name":"","pairedAt":"","secretHash":"sha256:aa"})");
        QVERIFY(root.value("extra").toBool() && root.value("devices")[0]["note"] == "no id");
    }

    // The store trusts what it wrote, for that host, privately, once per device.
    TrustedDeviceStore store(path("trusted.json"));
    QVERIFY(store.add("d2", "iPad", "host_1", {}, "sha256:2", &error) &&
            store.add("d1", "iPad", "host_1", {}, "sha256:0", &error) &&
            store.add("d1", "iPad", "host_1", {}, "sha256:1", &error));
    QVERIFY(store.isTrusted("d2", "host_1") && !store.isTrusted("d1", "host_2"));
    QFile trusted(path("trusted.json"));
    QCOMPARE(trusted.permissions() & (QFile::ReadOther | QFile::ReadGroup | QFile::WriteOther), 0);
    QCOMPARE(fileContents(trusted.fileName()).count("\"deviceId\""), 2);
    // Read afresh while the process has no descriptor left: refused, and every device is still there after.
    QVERIFY(writeFile(trusted.fileName(), fileContents(trusted.fileName()) + "\n"));
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    const rlimit exhausted{static_cast<rlim_t>(lowestFree), files.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &exhausted);
    const bool trustedWithoutDescriptors = store.isTrusted("d2", "host_1");
    ::setrlimit(RLIMIT_NOFILE, &files);
    QVERIFY(!trustedWithoutDescriptors && store.isTrusted("d2", "host_1"));
    // It reads the file every time, so that damaging the file revokes; the damaged file is kept aside.
    QVERIFY(writeFile(trusted.fileName(), "{not json"));
    QVERIFY(!store.isTrusted("d1", "host_1"));
    QCOMPARE(fileContents(path(QDir(m_dir.path()).entryList({"trusted.json.corrupt-*"}).value(0))),
             "{not json");

    // A file written before the last connection was recorded reads; the connection is then written at most
    // once a minute.
    QVERIFY(writeFile(trusted.fileName(), R"({"version":1,"devices":[{"deviceId":"d1","name":"iPad",)"
                                          R"("hostId":"host_1","pairedAt":"2026-12-05T06:10:00Z"}]})"));
    const TrustedDevicesFile shared(trusted.fileName());
    QCOMPARE(shared.read().devices.value(0).lastSeenAt, std::nullopt);
    const QDateTime start = QDateTime::fromString("2026-12-06T10:00:00Z", Qt::ISODate);
    const QList<std::tuple<int, QString, bool>> seen{
        {0, "relay", true}, {59, "lan", false}, {60, "tunnel", true}};
    for (const auto &[seconds, route, written] : seen)
        QCOMPARE(store.recordSeen("d1", "host_1", route, start.addSecs(seconds)), written);
    const TrustedDevice device = shared.read().devices.value(0);
    QCOMPARE(device.lastSeenAt.value_or(QDateTime()), start.addSecs(60));
    QCOMPARE(device.route + device.pairedAt.toString(Qt::ISODate), "tunnel2026-12-05T06:10:00Z");
    // An unreadable file is never overwritten.
    QVERIFY(writeFile(trusted.fileName(), "{not json"));
    QVERIFY(!shared.update([](QList<TrustedDevice> &) { return true; }, &error) && !error.isEmpty());
    QCOMPARE(shared.read().status, TrustedDevicesFile::Status::Unreadable);
    QCOMPARE(fileContents(trusted.fileName()), "{not json");
}

void AgentAuthTest::hostAndAgentWritersKeepEachOthersDevices()
{
    // The agent pairs while the host keeps rewriting the file: neither loses the other's devices.
    TrustedDeviceStore store(path("trusted.json"));
    std::jthread host([this] {
        QString error;
        for (int round = 0; round < 200; ++round) {
            TrustedDevicesFile(path("trusted.json"))
                .update(
                    [round](QList<TrustedDevice> &devices) {
                        devices.append({QStringLiteral("h%1").arg(round), "h", "host_1", {}, {}, {}, {}});
                        return true;
                    },
                    &error);
        }
    });
    QString error;
    for (int paired = 0; paired < 20; ++paired)
        QVERIFY(store.add("t" + QString::number(paired), "iPad", "host_1", {}, "sha256:1", &error));
    host.join();
    QCOMPARE(TrustedDevicesFile(path("trusted.json")).read().devices.size(), 20 + 200);
}

void AgentAuthTest::throttleRule()
{
    // Failures from one source, and how long the refusal of the last one is held back.
    AuthThrottle throttle(100);
    QList<int> holds;
    for (int failure = 1; failure <= 10; ++failure)
        holds.append(throttle.recordFailure("a", 1000));
    QCOMPARE(holds, (QList<int>{0, 0, 0, 100, 200, 400, 800, 1600, 3200, 3200}));
    // Another source is counted on its own; a quiet quarter of an hour forgets a source.
    QCOMPARE(throttle.recordFailure("b", 1000), 0);
    QCOMPARE(throttle.recordFailure("a", 1001 + 15 * 60 * 1000), 0);
    // Held refusals are bounded agent-wide.
    for (int held = 0; held < AuthThrottle::maxHeldRefusals; ++held)
        QVERIFY(throttle.beginHold());
    QVERIFY(!throttle.beginHold());
    throttle.endHold();
    QVERIFY(throttle.beginHold());
}

void AgentAuthTest::floodNeverKeepsTheRightTabletOut()
{
    PairingAuthenticator authenticator(secrets(), TrustedDeviceStore(path("trusted.json")));
    const QString secret = authenticator.verify(attempt("d1", {}, "nonce-1")).issuedSecret;
    AuthThrottle throttle(20);
    const ConversationServices services{&authenticator, &throttle, nullptr, 50};
    // A flood from one source: the refusals beyond the first three are held back, up to 32 x 20 ms.
    std::vector<std::unique_ptr<TabletConversation>> flood;
    for (int guess = 0; guess < 40; ++guess) {
        auto &conversation = flood.emplace_back(std::make_unique<TabletConversation>("10.0.0.9", services));
        QSignalSpy settled(conversation.get(), &TabletConversation::authenticationSettled);
        QSignalSpy sent(conversation.get(), &TabletConversation::send);
        conversation->receive(authText(attempt("d1", {}, {}, "guess")));
        QVERIFY(settled.size() == 1 && !conversation->awaitsAuthentication());
        QCOMPARE(sent.size(), guess < 3 ? 1 : 0);
    }
    QCOMPARE(throttle.heldRefusals(), 37);
    // The right credentials from that source are let in at once, and silence no longer ends the conversation.
    // (Each case: what it presents, whether it gets in.)
    const QList<std::pair<AuthAttempt, bool>> table{{attempt("d1", secret), true},
                                                    {attempt("d1", secret.chopped(1)), false},
                                                    {byTicket("b1"), true},
                                                    {byTicket("b2", "nonce-2"), false}};
    for (const auto &[presented, admitted] : table) {
        TabletConversation conversation("10.0.0.9", services);
        QSignalSpy sent(&conversation, &TabletConversation::send);
        QSignalSpy closed(&conversation, &TabletConversation::closeRequested);
        conversation.receive(authText(presented));
        QCOMPARE(sent.size(), admitted ? 1 : 0);
        QCOMPARE(conversation.isAuthenticated(), admitted);
        if (admitted) {
            const QJsonObject result = parse(sent.at(0).at(0).toString()).value("result").toObject();
            QVERIFY(!result.isEmpty() && !closed.wait(200));
            // A browser that paired with a ticket is told what it comes back with; nobody else is.
            QCOMPARE(result.value("token").toString() + result.value("hostId").toString(),
                     presented.ticket.isEmpty() ? "" : "token-1host_1");
            continue;
        }
        // A wrong secret or ticket is refused exactly like a wrong token: the same words, once the hold is
        // over, and the authentication timeout does not cut it short.
        QVERIFY(closed.wait(2000));
        QCOMPARE(closed.at(0).at(1).toString(), "authentication failed");
        QCOMPARE(
            sent.at(0).at(0).toString(),
            R"({"error":{"code":"auth_failed","message":"authentication failed"},"id":"a","method":"auth"})");
    }
    // A held refusal whose connection goes away gives its place back.
    flood.clear();
    QCOMPARE(throttle.heldRefusals(), 0);
    // Silence is what the authentication timeout ends.
    TabletConversation silent("10.0.0.9", services);
    QSignalSpy closed(&silent, &TabletConversation::closeRequested);
    QVERIFY(closed.wait(2000));
    QCOMPARE(closed.at(0).at(1).toString(), "authentication timeout");
}

void AgentAuthTest::refusalLog()
{
    QStringList lines;
    AuthRefusalLog log(100, [&lines](const QString &line) { lines.append(line); });
    // A flood from one source and a few from another: one line each at once, a count when the interval ends.
    for (int refusal = 0; refusal < 500; ++refusal)
        log.refused("a", "a refused");
    for (int refusal = 0; refusal < 3; ++refusal)
        log.refused("b", "b refused");
    QCOMPARE(lines, (QStringList{"a refused", "b refused"}));
    QTRY_COMPARE(lines.size(), 4);
    QStringList counts = lines.mid(2);
    counts.sort();
    QCOMPARE(counts, (QStringList{"auth rejected: a: 499 more refused in the last 0.1 s",
                                  "auth rejected: b: 2 more refused in the last 0.1 s"}));
    // A quiet interval says nothing and closes the source's window: its next refusal is written again.
    QVERIFY(!QTest::qWaitFor([&] { return lines.size() > 4; }, 250));
    log.refused("a", "a again");
    QCOMPARE(lines.constLast(), "a again");
    // Beyond so many sources in one interval, the rest are only counted, together.
    lines.clear();
    for (int source = 0; source < AuthRefusalLog::maxSources + 44; ++source)
        log.refused(QString::number(source), "first");
    QCOMPARE(lines.size(), AuthRefusalLog::maxSources - 1);
    QTRY_VERIFY(lines.contains("auth rejected: other sources: 45 more refused in the last 0.1 s"));
}

QTEST_GUILESS_MAIN(AgentAuthTest)
#include "tst_agent_auth.moc"
