#include "RunningAgent.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

// The ngrok tunnel as the host sees it through /healthz, with a fake ngrok on PATH.
class AgentNgrokTest : public QObject {
    Q_OBJECT

private slots:
    void startingThenOnlineWithThePublicUrl();
    void failsWithAClearError_data();
    void failsWithAClearError();
    void emptyAuthtokenIsNotPassed();

private:
    // Agent with the fake ngrok as the only ngrok on PATH; mode "absent" leaves it out.
    bool startAgent(RunningAgent &agent, const QString &mode, const QString &authtoken);
    QJsonObject tunnel(const RunningAgent &agent);
    QMap<QString, QString> record(const RunningAgent &agent);
};

bool AgentNgrokTest::startAgent(RunningAgent &agent, const QString &mode, const QString &authtoken)
{
    const QString bin = agent.home() + QStringLiteral("/bin");
    QDir().mkpath(bin);
    if (mode != QLatin1String("absent") &&
        !QFile::link(QStringLiteral(FERROWYN_AGENT_TEST_DIR "/fake-ngrok.sh"),
                     bin + QStringLiteral("/ngrok")))
        return false;
    agent.environment.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
    agent.environment.remove(QStringLiteral("NGROK_AUTHTOKEN"));
    agent.environment.insert(QStringLiteral("FAKE_NGROK_MODE"), mode);
    agent.environment.insert(QStringLiteral("FAKE_NGROK_RECORD"),
                             agent.home() + QStringLiteral("/ngrok-record"));
    agent.environment.insert(QStringLiteral("FAKE_NGROK_GO"), agent.home() + QStringLiteral("/go"));
    agent.environment.insert(QStringLiteral("VELMORA_NGROK_AUTHTOKEN"), authtoken);
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_NGROK_TIMEOUT_MS"), QStringLiteral("700"));
    return agent.start({"--addr", "127.0.0.1:0", "--tunnel-mode", "ngrok"});
}

QJsonObject AgentNgrokTest::tunnel(const RunningAgent &agent)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply =
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(agent.port()))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    const QJsonObject health = QJsonDocument::fromJson(reply->readAll()).object();
    delete reply;
    return health.value(QStringLiteral("tunnel")).toObject();
}

QMap<QString, QString> AgentNgrokTest::record(const RunningAgent &agent)
{
    QMap<QString, QString> values;
    QFile file(agent.home() + QStringLiteral("/ngrok-record"));
    if (!file.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            values.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    return values;
}

void AgentNgrokTest::startingThenOnlineWithThePublicUrl()
{
    RunningAgent agent;
    QVERIFY(startAgent(agent, QStringLiteral("online"), agent.ngrokAuthtoken));
    QTRY_VERIFY(record(agent).contains(QStringLiteral("pid")));
    QJsonObject status = tunnel(agent);
    QCOMPARE(status.value("state").toString(), QStringLiteral("starting"));
    QCOMPARE(status.value("provider").toString(), QStringLiteral("ngrok"));

    const QMap<QString, QString> call = record(agent);
    QCOMPARE(call.value("args"),
             QStringLiteral("http 127.0.0.1:%1 --log stdout --log-format json").arg(agent.port()));
    QCOMPARE(call.value("authtoken"), agent.ngrokAuthtoken);
    QCOMPARE(call.value("velmora"), QStringLiteral("0"));

    QFile go(agent.home() + QStringLiteral("/go"));
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();
    QTRY_COMPARE(tunnel(agent).value("state").toString(), QStringLiteral("online"));
    status = tunnel(agent);
    QCOMPARE(status.value("publicUrl").toString(), QStringLiteral("https://fake-tunnel.ngrok-free.app"));
    QCOMPARE(status.value("lastError").toString(), QString());

    // Past the start timeout an online tunnel stays online.
    QVERIFY(!QTest::qWaitFor(
        [&] { return tunnel(agent).value("state").toString() != QLatin1String("online"); }, 800));

    const QString ngrokStatus = QStringLiteral("/proc/%1/status").arg(call.value("pid"));
    QCOMPARE(agent.terminate(), 0);
    QTRY_VERIFY(!QFile::exists(ngrokStatus) || [&] {
        QFile file(ngrokStatus);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("State:\tZ");
    }());
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentNgrokTest::failsWithAClearError_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("error");
    QTest::newRow("not on PATH") << "absent"
                                 << "ngrok was not found on PATH";
    QTest::newRow("error record") << "error"
                                  << "session closing: authentication failed: bad authtoken redacted";
    QTest::newRow("exits") << "exit"
                           << "ngrok exited with status 3";
    QTest::newRow("no URL in time") << "silent"
                                    << "ngrok gave no public URL within 0.7 seconds";
}

void AgentNgrokTest::failsWithAClearError()
{
    QFETCH(QString, mode);
    QFETCH(QString, error);
    RunningAgent agent;
    QVERIFY(startAgent(agent, mode, agent.ngrokAuthtoken));
    QTRY_COMPARE(tunnel(agent).value("state").toString(), QStringLiteral("failed"));
    const QJsonObject status = tunnel(agent);
    QCOMPARE(status.value("lastError").toString(), error);
    QCOMPARE(status.value("publicUrl").toString(), QString());
    // The agent itself keeps serving.
    QCOMPARE(agent.process().state(), QProcess::Running);
    QVERIFY(agent.standardError().contains(QStringLiteral("tunnel: failed")));
    QCOMPARE(agent.terminate(), 0);
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentNgrokTest::emptyAuthtokenIsNotPassed()
{
    RunningAgent agent;
    agent.ngrokAuthtoken.clear();
    QVERIFY(startAgent(agent, QStringLiteral("silent"), QStringLiteral("   ")));
    QTRY_VERIFY(record(agent).contains(QStringLiteral("pid")));
    QCOMPARE(record(agent).value("authtoken"), QStringLiteral("<unset>"));
    QCOMPARE(agent.terminate(), 0);
}

QTEST_GUILESS_MAIN(AgentNgrokTest)
#include "tst_agent_ngrok.moc"
