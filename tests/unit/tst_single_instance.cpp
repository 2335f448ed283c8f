#include "Platform/SingleInstance.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class SingleInstanceTest : public QObject {
    Q_OBJECT

private slots:
    void secondInstanceAsksTheFirstToComeForward();
    void leftoverSocketOfACrashedInstanceIsReplaced();
    void pathCanBeClaimedAgainOnceTheFirstHasGone();
};

void SingleInstanceTest::secondInstanceAsksTheFirstToComeForward()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("host.socket");
    SingleInstance first(path);
    QVERIFY(first.claim());
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    SingleInstance second(path);
    QVERIFY(!second.claim());
    QVERIFY(activations.wait(5000));
    QCOMPARE(activations.count(), 1);
}

void SingleInstanceTest::leftoverSocketOfACrashedInstanceIsReplaced()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("host.socket");
    QFile leftover(path);
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.close();

    SingleInstance instance(path);
    QVERIFY(instance.claim());
    QSignalSpy activations(&instance, &SingleInstance::activationRequested);
    QVERIFY(!SingleInstance(path).claim());
    QVERIFY(activations.wait(5000));
}

void SingleInstanceTest::pathCanBeClaimedAgainOnceTheFirstHasGone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("host.socket");
    {
        SingleInstance first(path);
        QVERIFY(first.claim());
    }
    SingleInstance next(path);
    QVERIFY(next.claim());
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
