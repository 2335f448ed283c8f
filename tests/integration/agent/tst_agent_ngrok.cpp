#include "RunningAgent.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

// The ngrok route as the host sees it through /healthz, with a fake ngrok (fake-ngrok.sh) on PATH.
class AgentNgrokTest : public QObject {
    Q_OBJECT

private slots:
    void startingThenOnlineWithThePublicUrl();
    void failsWithAClearError();

private:
    // Mode "absent" leaves ngrok off PATH.
    static bool startAgent(RunningAgent &agent, const QString &mode, const QString &authtoken);
    static QJsonObject tunnel(const RunningAgent &agent);
    // How the fake was called: "args", "authtoken", "velmora" (how many VELMORA_ variables it got), "pid".
    static QString called(const RunningAgent &agent, const QString &key);
};

bool AgentNgrokTest::startAgent(RunningAgent &agent, const QString &mode, const QString &authtoken)
{
    const QString bin = agent.home() + QStringLiteral("/bin");
    QDir().mkpath(bin);
    if (mode != QLatin1String("absent"))
        QFile::link(QStringLiteral(FERROWYN_AGENT_TEST_DIR "/fake-ngrok.sh"), bin + QStringLiteral("/ngrok"));
    agent.environment.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
    agent.environment.remove(QStringLiteral("NGROK_AUTHTOKEN"));
    agent.environment.insert(QStringLiteral("FAKE_NGROK_MODE"), mode);
    agent.environment.insert(QStringLiteral("FAKE_NGROK_RECORD"), agent.home() + QStringLiteral("/record"));
    agent.environment.insert(QStringLiteral("FAKE_NGROK_GO"), agent.home() + QStringLiteral("/go"));
    agent.environment.insert(QStringLiteral("VELMORA_NGROK_AUTHTOKEN"), authtoken);
    agent.environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_NGROK_TIMEOUT_MS"), QStringLiteral("700"));
    return agent.start({"--addr", "127.0.0.1:0", "--tunnel-mode", "ngrok"});
}

QJsonObject AgentNgrokTest::tunnel(const RunningAgent &agent)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(agent.port())))));
    QSignalSpy(reply.get(), &QNetworkReply::finished).wait(5000);
    return QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("tunnel")).toObject();
}

QString AgentNgrokTest::called(const RunningAgent &agent, const QString &key)
{
    QFile file(agent.home() + QStringLiteral("/record"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1);
    }
    return {};
}

void AgentNgrokTest::startingThenOnlineWithThePublicUrl()
{
    RunningAgent agent;
    QVERIFY(startAgent(agent, QStringLiteral("online"), agent.ngrokAuthtoken));
    QTRY_VERIFY(!called(agent, QStringLiteral("pid")).isEmpty());
    QJsonObject status = tunnel(agent);
    QCOMPARE(status.value("state").toString(), QStringLiteral("starting"));
    QCOMPARE(status.value("provider").toString(), QStringLiteral("ngrok"));
    QCOMPARE(called(agent, QStringLiteral("args")),
             QStringLiteral("http 127.0.0.1:%1 --log stdout --log-format json").arg(agent.port()));
    QCOMPARE(called(agent, QStringLiteral("authtoken")), agent.ngrokAuthtoken);
    QCOMPARE(called(agent, QStringLiteral("velmora")), QStringLiteral("0"));

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

    // The tunnel does not outlive the agent.
    const QString ngrokStatus = QStringLiteral("/proc/%1/status").arg(called(agent, QStringLiteral("pid")));
    QCOMPARE(agent.terminate(), 0);
    QTRY_VERIFY(!QFile::exists(ngrokStatus) || [&] {
        QFile file(ngrokStatus);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("State:\tZ");
    }());
    QCOMPARE(agent.leakedSecrets(), QStringList());
}

void AgentNgrokTest::failsWithAClearError()
{
    const QList<std::pair<QString, QString>> table{
        {"absent", "ngrok was not found on PATH"},
        {"error", "session closing: authentication failed: bad authtoken redacted"},
        {"exit", "ngrok exited with status 3"},
        {"silent", "ngrok gave no public URL within 0.7 seconds"}};
    for (const auto &[mode, error] : table) {
        RunningAgent agent;
        // A blank authtoken is no authtoken: ngrok then uses its own configuration.
        const bool blankToken = mode == QLatin1String("silent");
        QVERIFY(startAgent(agent, mode, blankToken ? QStringLiteral("   ") : agent.ngrokAuthtoken));
        QTRY_COMPARE(tunnel(agent).value("state").toString(), QStringLiteral("failed"));
        const QJsonObject status = tunnel(agent);
        QCOMPARE(status.value("lastError").toString(), error);
        QCOMPARE(status.value("publicUrl").toString(), QString());
        if (blankToken)
            QCOMPARE(called(agent, QStringLiteral("authtoken")), QStringLiteral("<unset>"));
        // The agent itself keeps serving.
        QCOMPARE(agent.process().state(), QProcess::Running);
        QVERIFY(agent.standardError().contains(QStringLiteral("tunnel: failed")));
        QCOMPARE(agent.terminate(), 0);
        QCOMPARE(agent.leakedSecrets(), QStringList());
    }
}

QTEST_GUILESS_MAIN(AgentNgrokTest)
#include "tst_agent_ngrok.moc"
