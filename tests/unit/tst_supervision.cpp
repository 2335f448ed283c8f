#include "Services/HostSecretRedactor.h"
#include "Services/Supervision/AgentOutputLog.h"
#include "Services/Supervision/AgentRestartBackoff.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QString token = QStringLiteral("Zq3vL9xR2mT7wK4pB8nY1cF6hJ5dS0aGeUiOoPlMnBv");

} // namespace

class SupervisionTest : public QObject {
    Q_OBJECT

private slots:
    void logNeverShowsAPieceOfASecret_data();
    void logNeverShowsAPieceOfASecret();
    void logRowsFollowInOneChangePerFrame();
    void restartPausesBackOffInACrashLoop();
};

void SupervisionTest::logNeverShowsAPieceOfASecret_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<bool>("endsUnfinished");
    QTest::addColumn<QString>("shown"); // the lines joined

    const QByteArray filler(65516, 'x');
    const QByteArray secret = token.toUtf8();
    QTest::newRow("a line cut at the length limit, across the secret")
        << QList<QByteArray>{filler + secret + "\n"} << false << QString(filler + "redacted");
    QTest::newRow("the same line arriving in small reads")
        << QList<QByteArray>{filler.left(30000), filler.mid(30000) + secret.left(10), secret.mid(10) + "\n"}
        << false << QString(filler + "redacted");
    QTest::newRow("a line that never ends, cut twice")
        << QList<QByteArray>{filler + secret + filler + secret + filler} << true
        << QString(filler + "redacted" + filler + "redacted" + filler);
    QTest::newRow("stopped after the start of a secret")
        << QList<QByteArray>{"tok=" + secret.left(21)} << true << QStringLiteral("tok=redacted");
    QTest::newRow("stopped after a whole secret and the start of another")
        << QList<QByteArray>{"a " + secret + " b " + secret.left(8)} << true
        << QStringLiteral("a redacted b redacted");
    QTest::newRow("too short a start to be told from text")
        << QList<QByteArray>{"tok=" + secret.left(7)} << true << QString("tok=" + token.left(7));
}

void SupervisionTest::logNeverShowsAPieceOfASecret()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(bool, endsUnfinished);
    QFETCH(QString, shown);
    AgentOutputLog log([] { return QStringList{token}; }, 1000);
    for (const QByteArray &read : reads) {
        log.take(QProcess::StandardOutput, read);
        log.publish();
    }
    if (endsUnfinished)
        log.finishStreams();
    const QStringList lines = log.lines();
    QCOMPARE(lines.join(QString()), shown);
    for (const QString &line : lines) {
        // An unfinished line is shown whole; only a line still growing is cut.
        QVERIFY(line.size() <= AgentOutputLineSplitter::defaultMaxLineLength +
                                   HostSecretRedactor::longestFormLength({token}));
        for (qsizetype at = 0; at + HostSecretRedactor::shortestMaskedPrefix <= token.size(); ++at)
            QVERIFY2(!line.contains(QStringView(token).mid(at, HostSecretRedactor::shortestMaskedPrefix)),
                     qPrintable(QString::number(at)));
    }
}

void SupervisionTest::logRowsFollowInOneChangePerFrame()
{
    AgentOutputLog log({}, 5);
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&log, &QAbstractItemModel::rowsRemoved);
    QSignalSpy resets(&log, &QAbstractItemModel::modelReset);
    for (int i = 0; i < 12; ++i) {
        log.take(QProcess::StandardOutput, "line " + QByteArray::number(i) + "\n");
        log.publish();
    }
    QCOMPARE(log.rowCount(), 0);
    QTRY_COMPARE(log.rowCount(), 5);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(log.index(0).data().toString(), "line 7");

    log.take(QProcess::StandardError, "ERROR: disk full\n");
    log.publish();
    QTRY_COMPARE(inserted.count(), 2);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(resets.count(), 0);
    QCOMPARE(log.rowCount(), 5);
    QCOMPARE(log.index(0).data().toString(), "line 8");
    QCOMPARE(log.index(4).data(AgentOutputLog::errorRole).toBool(), true);
    QCOMPARE(log.index(3).data(AgentOutputLog::errorRole).toBool(), false);
}

void SupervisionTest::restartPausesBackOffInACrashLoop()
{
    // Runs of the given length, one after the other, and the pause each one is followed by.
    const QList<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> runs{
        {200ms, 1500ms}, {3s, 3000ms},  {0ms, 6000ms},  {9s, 12000ms}, {1s, 24000ms}, {1s, 48000ms},
        {1s, 60000ms},   {1s, 60000ms}, {20s, 60000ms}, {60s, 1500ms}, {1s, 1500ms},  {1s, 3000ms},
        {30s, 6000ms},   {30s, 6000ms}, {2s, 6000ms},   {61s, 1500ms}};
    AgentRestartBackoff backoff;
    for (qsizetype i = 0; i < runs.size(); ++i)
        QVERIFY2(backoff.delayAfterRun(runs.at(i).first) == runs.at(i).second,
                 qPrintable(QString::number(i)));
    backoff.reset();
    QCOMPARE(backoff.delayAfterRun(0ms), 1500ms);
}

QTEST_GUILESS_MAIN(SupervisionTest)
#include "tst_supervision.moc"
