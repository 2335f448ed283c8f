#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// The agents running as children of a process, read from /proc.
QList<qint64> agentChildren(qint64 parent)
{
    QList<qint64> agents;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) != "Z" && fields.at(1).toLongLong() == parent &&
            line.contains("(ferrowyn-agent)"))
            agents.append(pid);
    }
    return agents;
}

bool healthAnswers(int port)
{
    QNetworkAccessManager network;
    QNetworkReply *reply =
        network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(port))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(2000);
    const bool ok = reply->error() == QNetworkReply::NoError;
    reply->deleteLater();
    return ok;
}

} // namespace

// The application as a user runs it: it starts hosting at launch when asked, lets only one of itself run,
// and leaves no agent behind when it is told to end.
class HostProcessTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void hostsAtLaunchAndStopsItsAgentOnSigterm();

private:
    QProcessEnvironment environment() const;

    QTemporaryDir m_home;
    int m_port = 0;
};

void HostProcessTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"),
             "run this test in its own D-Bus session");
    m_port = freePort();
    const QString config = m_home.filePath(QStringLiteral(".config/ferrowyn-host"));
    QVERIFY(QDir().mkpath(config));
    QFile defaults(config + QStringLiteral("/defaults.json"));
    QVERIFY(defaults.open(QIODevice::WriteOnly));
    defaults.write(QJsonDocument(QJsonObject{{"FerrowynHost.startHostingOnLaunch", true},
                                             {"FerrowynHost.lanPort", m_port},
                                             {"FerrowynHost.lanBindAll", false},
                                             {"FerrowynHost.keepRelayOnline", false}})
                       .toJson());
}

QProcessEnvironment HostProcessTest::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral(".config")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

void HostProcessTest::hostsAtLaunchAndStopsItsAgentOnSigterm()
{
    QProcess host;
    host.setProcessEnvironment(environment());
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start(QStringLiteral(FERROWYN_HOST_PATH), {});
    QVERIFY(host.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(agentChildren(host.processId()).size() == 1, 10000);
    const qint64 agent = agentChildren(host.processId()).constFirst();
    QTRY_VERIFY_WITH_TIMEOUT(healthAnswers(m_port), 10000);

    // A second launch hands over to the first and leaves: still one agent, the same one.
    QProcess second;
    second.setProcessEnvironment(environment());
    second.start(QStringLiteral(FERROWYN_HOST_PATH), {});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(agentChildren(host.processId()), QList<qint64>{agent});

    ::kill(static_cast<pid_t>(host.processId()), SIGTERM);
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
    // The host waited for its agent before it ended: the agent is gone, not orphaned, and the port is free.
    QVERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(agent)));
    QVERIFY(!healthAnswers(m_port));
}

QTEST_GUILESS_MAIN(HostProcessTest)
#include "tst_host_process.moc"
