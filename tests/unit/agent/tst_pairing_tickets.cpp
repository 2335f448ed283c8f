#include "AgentAuthAttempts.h"

#include <QTemporaryDir>
#include <QTest>

// The linker hands the agent's calls of digestsEqual, the constant-time comparison, to this counter first
// (see CMakeLists.txt), so that a test sees which comparison a check used.
int digestComparisons = 0;
extern "C" bool __real__Z12digestsEqualRK10QByteArrayS1_(const QByteArray &a, const QByteArray &b);
extern "C" bool __wrap__Z12digestsEqualRK10QByteArrayS1_(const QByteArray &a, const QByteArray &b);
bool __wrap__Z12digestsEqualRK10QByteArrayS1_(const QByteArray &a, const QByteArray &b)
{
    ++digestComparisons;
    return __real__Z12digestsEqualRK10QByteArrayS1_(a, b);
}

namespace {

// The same ticket with one character of its mac changed.
QString flipped(QString ticket)
{
    QChar &c = ticket[ticket.size() - 5];
    c = c == 'A' ? 'B' : 'A';
    return ticket;
}

} // namespace

// Which pairing tickets the agent takes: of the current nonce and host id, in time, once.
class PairingTicketsTest : public QObject {
    Q_OBJECT

private slots:
    void rule();
    void pairing();
};

void PairingTicketsTest::rule()
{
    const qint64 now = 2'000'000'000;
    const qint64 life = PairingTicket::lifetimeSeconds;
    const QString serial = PairingTicket::newSerial();
    const auto made = [&](qint64 expiresAt, const QString &nonce = "n", const QString &hostId = "h") {
        return PairingTicket::make(nonce, hostId, expiresAt, serial).value_or(QString());
    };
    const QString right = made(now + life);
    using V = PairingTickets::Verdict;
    // The ticket, the agent's nonce, when a device paired last, and the verdict.
    const QList<std::tuple<QString, QString, std::optional<qint64>, V>> table{
        {right, "n", {}, V::valid},
        {made(now + 1), "n", {}, V::valid},
        {made(now), "n", {}, V::expired},
        // Made a little ahead of the agent's clock, or claiming to live longer than a ticket does.
        {made(now + life + PairingTickets::clockStepSeconds), "n", {}, V::valid},
        {made(now + life + PairingTickets::clockStepSeconds + 1), "n", {}, V::expired},
        {made(now + life, "n", "other host"), "n", {}, V::forged},
        {right, "n2", {}, V::forged},
        {made(now + life, ""), "", {}, V::forged},
        {right.chopped(1), "n", {}, V::forged},
        {flipped(right), "n", {}, V::forged},
        {right.section('.', 0, 1), "n", {}, V::forged},
        {"0" + right, "n", {}, V::forged},
        // A device paired since it was made: it may be the one that used it before the agent started again.
        {right, "n", now, V::valid},
        {right, "n", now + 1, V::used},
    };
    for (const auto &[presented, nonce, latestPairing, verdict] : table) {
        PairingTickets tickets;
        QVERIFY2(tickets.check(presented, nonce, "h", now, latestPairing) == verdict, qPrintable(presented));
    }
    // The mac of a ticket of the right form is compared in constant time, right or wrong.
    const int comparisons = digestComparisons;
    for (const QString &presented : {right, flipped(right)})
        PairingTickets().check(presented, "n", "h", now, {});
    QCOMPARE(digestComparisons - comparisons, 2);
    // Used once, refused until it expires; then it is forgotten, and would be refused as expired anyway.
    PairingTickets tickets;
    tickets.spend(made(now + 10), now);
    QCOMPARE(tickets.check(made(now + 10), "n", "h", now, {}), V::used);
    QCOMPARE(tickets.check(made(now + 11), "n", "h", now, {}), V::valid);
    QCOMPARE(tickets.remembered(), 1);
    QCOMPARE(tickets.check(made(now + 10), "n", "h", now + 10, {}), V::expired);
    QCOMPARE(tickets.remembered(), 0);
}

// A ticket, or the app link's pairing code, pairs one device, and is void with its nonce, also for an agent
// that started again.
void PairingTicketsTest::pairing()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("trusted.json");
    PairingAuthenticator authenticator(secrets(), TrustedDeviceStore(file));
    // One after the other: what is presented, and the outcome. A ticket pairs one device, and none over a
    // trusted device's entry. (What the browser is answered with is the conversation's test.)
    const auto as = [](AuthAttempt attempt, const QString &deviceId) {
        attempt.deviceId = deviceId;
        return attempt;
    };
    const AuthAttempt first = byTicket("b1");
    using A = AuthOutcome;
    QCOMPARE(authenticator.verify(first).outcome, A::newlyPaired);
    const AuthAttempt next = byTicket("b1");
    const QList<std::pair<AuthAttempt, A>> uses{{as(first, "b2"), A::usedPairingCode},
                                                {next, A::wrongDeviceSecret},
                                                {as(next, "b3"), A::newlyPaired},
                                                {as(next, "b4"), A::usedPairingCode}};
    for (const auto &[presented, outcome] : uses)
        QCOMPARE(authenticator.verify(presented).outcome, outcome);
    // The app link's code, in the nonce's field beside the host token and id, by the same rule.
    const AuthAttempt code = attempt("c1", {}, "nonce-1");
    AuthAttempt expired = as(code, "c3");
    expired.pairingNonce = pairingCode("nonce-1", PairingTicket::lifetimeSeconds);
    for (const auto &[presented, outcome] :
         {std::pair{code, A::newlyPaired}, std::pair{as(code, "c2"), A::usedPairingCode},
          std::pair{expired, A::expiredPairingCode}})
        QCOMPARE(authenticator.verify(presented).outcome, outcome);
    // A new nonce voids every ticket made with the old one.
    authenticator.replacePairingNonce("nonce-2");
    QCOMPARE(authenticator.verify(byTicket("b5", "nonce-1")).outcome, A::wrongPairingCode);
    // An agent that starts again has forgotten which tickets were used, but not when a device last paired:
    // a ticket made before that is refused, used or not.
    PairingAuthenticator restarted(secrets("nonce-2"), TrustedDeviceStore(file));
    QCOMPARE(restarted.verify(byTicket("b5", "nonce-2", 10)).outcome, A::usedPairingCode);
    QCOMPARE(restarted.verify(byTicket("b5", "nonce-2")).outcome, A::newlyPaired);
}

QTEST_GUILESS_MAIN(PairingTicketsTest)
#include "tst_pairing_tickets.moc"
