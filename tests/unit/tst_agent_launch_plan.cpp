#include "Services/AgentLaunchPlan.h"
#include "Shared/PrivateFolder.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QString home = QStringLiteral("/home/ada");

// A made-up file system: the paths that exist, the executable files, and folder listings.
struct FakeFiles {
    QSet<QString> existing;
    QSet<QString> executables;
    QHash<QString, QStringList> listings;

    FileProbe probe() const
    {
        return {[this](const QString &path) { return existing.contains(path) || executables.contains(path); },
                [this](const QString &path) { return executables.contains(path); },
                [this](const QString &path) {
                    return listings.value(path);
                }};
    }
};

HostCredentials credentials()
{
    HostCredentials credentials;
    credentials.hostId = QStringLiteral("host_ID");
    credentials.hostToken = QStringLiteral("HOSTTOKEN");
    credentials.relayToken = QStringLiteral("RELAYTOKEN");
    credentials.relaySessionId = QStringLiteral("session-1");
    credentials.pairingNonce = QStringLiteral("NONCE");
    return credentials;
}

AgentLaunchSettings lanSettings(bool bindAll, bool tunnel)
{
    AgentLaunchSettings settings;
    settings.workspaces = {QStringLiteral("/Users/a/p1"), QStringLiteral("/Users/a/p2")};
    settings.lanPort = 8765;
    settings.lanBindAll = bindAll;
    settings.ngrokTunnelEnabled = tunnel;
    settings.ngrokAuthtoken = QStringLiteral(" NGROKTOKEN \n");
    settings.relayURL = QStringLiteral("wss://relay.example/ws");
    return settings;
}

AgentLaunchSettings relaySettings()
{
    AgentLaunchSettings settings = lanSettings(true, true);
    settings.mode = HostingMode::relay;
    settings.workspaces.clear();
    return settings;
}

} // namespace

class AgentLaunchPlanTest : public QObject {
    Q_OBJECT

private slots:
    void arguments_data();
    void arguments();
    void environment_data();
    void environment();
    void toolPath_data();
    void toolPath();
    void relayCodecStatePath();
    void locateAgent_data();
    void locateAgent();
};

void AgentLaunchPlanTest::arguments_data()
{
    QTest::addColumn<AgentLaunchSettings>("settings");
    QTest::addColumn<QString>("expected"); // the arguments joined with "|"
    AgentLaunchSettings loopbackNoFolders = lanSettings(false, false);
    loopbackNoFolders.workspaces.clear();
    loopbackNoFolders.lanPort = 9001;
    AgentLaunchSettings spaced = lanSettings(false, false);
    spaced.workspaces = {QStringLiteral("/Users/a/my project"), QStringLiteral("/Users/a/p1")};
    const QString folders = QStringLiteral("--workspace|/Users/a/p1|--workspace|/Users/a/p2|");
    QTest::newRow("lan, bind all") << lanSettings(true, false) << folders + "--addr|0.0.0.0:8765";
    QTest::newRow("tunnel wins over bind all")
        << lanSettings(true, true) << folders + "--addr|127.0.0.1:8765|--tunnel-mode|ngrok";
    QTest::newRow("loopback, no folders") << loopbackNoFolders << "--addr|127.0.0.1:9001";
    QTest::newRow("paths as stored, unquoted")
        << spaced << "--workspace|/Users/a/my project|--workspace|/Users/a/p1|--addr|127.0.0.1:8765";
    QTest::newRow("relay ignores bind all and the tunnel")
        << relaySettings()
        << "--addr|127.0.0.1:8765|--relay-url|wss://relay.example/ws|--relay-codec-state|/codec.json";
}

void AgentLaunchPlanTest::arguments()
{
    QFETCH(AgentLaunchSettings, settings);
    QFETCH(QString, expected);
    const QStringList arguments =
        AgentLaunchPlan::arguments(settings, credentials(), QStringLiteral("/codec.json"));
    QCOMPARE(arguments.join(QLatin1Char('|')), expected);
    const HostCredentials secrets = credentials();
    // Any local user can read a command line, so the session and the host id stay off it too.
    for (const QString &secret : {secrets.hostToken, secrets.relayToken, secrets.pairingNonce,
                                  QStringLiteral("NGROKTOKEN"), secrets.relaySessionId, secrets.hostId}) {
        for (const QString &argument : arguments)
            QVERIFY2(!argument.contains(secret), qPrintable(argument));
    }
}

void AgentLaunchPlanTest::environment_data()
{
    QTest::addColumn<AgentLaunchSettings>("settings");
    QTest::addColumn<QStringList>("routeSecrets"); // the route's variables that are set, as NAME=value
    AgentLaunchSettings blankToken = lanSettings(true, true);
    blankToken.ngrokAuthtoken = QStringLiteral("   ");
    QTest::newRow("lan without tunnel") << lanSettings(true, false) << QStringList();
    QTest::newRow("tunnel, trimmed token")
        << lanSettings(false, true) << QStringList{"VELMORA_NGROK_AUTHTOKEN=NGROKTOKEN"};
    QTest::newRow("blank token is set, empty") << blankToken << QStringList{"VELMORA_NGROK_AUTHTOKEN="};
    QTest::newRow("relay, tunnel setting ignored")
        << relaySettings()
        << QStringList{"VELMORA_RELAY_TOKEN=RELAYTOKEN", "VELMORA_RELAY_SESSION=session-1"};
}

void AgentLaunchPlanTest::environment()
{
    QFETCH(AgentLaunchSettings, settings);
    QFETCH(QStringList, routeSecrets);
    QProcessEnvironment inherited;
    inherited.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    inherited.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    const QStringList routeNames{"VELMORA_NGROK_AUTHTOKEN", "VELMORA_RELAY_TOKEN", "VELMORA_RELAY_SESSION"};
    for (const QString &name : routeNames + QStringList{"VELMORA_HOST_TOKEN"})
        inherited.insert(name, QStringLiteral("inherited"));
    FakeFiles files;
    files.existing = {QStringLiteral("/usr/local/bin")};

    const QProcessEnvironment environment =
        AgentLaunchPlan::environment(settings, credentials(), inherited, home, files.probe());
    QCOMPARE(environment.value(QStringLiteral("LANG")), QStringLiteral("C.UTF-8"));
    QCOMPARE(environment.value(QStringLiteral("PATH")), QStringLiteral("/usr/bin:/bin:/usr/local/bin"));
    QCOMPARE(environment.value(QStringLiteral("VELMORA_HOST_TOKEN")), QStringLiteral("HOSTTOKEN"));
    QCOMPARE(environment.value(QStringLiteral("VELMORA_HOST_ID")), QStringLiteral("host_ID"));
    QCOMPARE(environment.value(QStringLiteral("VELMORA_PAIRING_NONCE")), QStringLiteral("NONCE"));
    QStringList set;
    for (const QString &name : routeNames) {
        if (environment.contains(name))
            set << name + QLatin1Char('=') + environment.value(name);
    }
    QCOMPARE(set, routeSecrets);
}

void AgentLaunchPlanTest::toolPath_data()
{
    QTest::addColumn<std::optional<QString>>("base");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no PATH: the default, then what exists")
        << std::optional<QString>() << QStringList{"/usr/local/bin", home + "/go/bin", "/opt/homebrew/bin"}
        << "/usr/bin:/bin:/usr/sbin:/sbin:" + home + "/go/bin:/opt/homebrew/bin:/usr/local/bin";
    QTest::newRow("empty pieces dropped, listed folders not repeated")
        << std::optional<QString>("/usr/local/bin::/usr/bin:") << QStringList{"/usr/local/bin"}
        << "/usr/local/bin:/usr/bin";
    QTest::newRow("duplicates within PATH are kept")
        << std::optional<QString>("/bin:/usr/bin:/bin") << QStringList{} << "/bin:/usr/bin:/bin";
    QTest::newRow("Linux folders come after all the others")
        << std::optional<QString>("/usr/bin")
        << QStringList{home + "/.cargo/bin", home + "/.local/bin", "/usr/local/bin",
                       home + "/.npm-global/bin"}
        << "/usr/bin:" + home + "/.npm-global/bin:/usr/local/bin:" + home + "/.local/bin:" + home +
               "/.cargo/bin";
    // Node versions sort as plain strings; 7.0.0 is listed but has no bin folder.
    const QString node = home + "/.nvm/versions/node/";
    QTest::newRow("node versions") << std::optional<QString>("/usr/bin")
                                   << QStringList{node + "18.0.0/bin", node + "20.1.0/bin",
                                                  node + "9.2.0/bin", home + "/.nvm/current/bin",
                                                  "/opt/homebrew/bin"}
                                   << "/usr/bin:" + node + "9.2.0/bin:" + node + "20.1.0/bin:" + node +
                                          "18.0.0/bin:" + home + "/.nvm/current/bin:/opt/homebrew/bin";
    QTest::newRow("an empty PATH is not a missing one")
        << std::optional<QString>("") << QStringList{"/usr/local/bin"} << "/usr/local/bin";
}

void AgentLaunchPlanTest::toolPath()
{
    QFETCH(std::optional<QString>, base);
    QFETCH(QStringList, existing);
    QFETCH(QString, expected);
    FakeFiles files;
    files.existing = QSet<QString>(existing.begin(), existing.end());
    files.listings.insert(home + "/.nvm/versions/node", {"18.0.0", "9.2.0", "20.1.0", "7.0.0"});
    QCOMPARE(AgentLaunchPlan::augmentedToolPath(base, home, files.probe()), expected);
}

void AgentLaunchPlanTest::relayCodecStatePath()
{
    // The digest is the first half of SHA-256 over "host_X\ns-1"; agents of every release must find it.
    QCOMPARE(AgentLaunchPlan::relayCodecStatePath(home, "host_X", "s-1", HostRelayVersion::elixirV2),
             home + "/.ferrowyn/relay-codec-state/elixirV2-6bd10146b18d6003777367c01cc8a396.json");
    QCOMPARE(AgentLaunchPlan::relayCodecStatePath(home, "host_X", "s-1", HostRelayVersion::goV1),
             home + "/.ferrowyn/relay-codec-state/goV1-6bd10146b18d6003777367c01cc8a396.json");
    QTemporaryDir dir;
    const QString folder = AgentLaunchPlan::relayCodecStateFolder(dir.path());
    QCOMPARE(folder, dir.path() + "/.ferrowyn/relay-codec-state");
    QVERIFY(makePrivateFolder(folder));
    for (const QString &created : {folder, dir.path() + "/.ferrowyn"}) {
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(created).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0700u);
    }
}

void AgentLaunchPlanTest::locateAgent_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QStringList>("executables");
    QTest::addColumn<QString>("expected"); // "" for none
    const QString beside = QStringLiteral("/opt/fw/bin/ferrowyn-agent");
    const QString libexec = QStringLiteral("/opt/fw/libexec/ferrowyn/ferrowyn-agent");
    QTest::newRow("beside the host, even when not executable")
        << QStringList{beside} << QStringList{libexec} << beside;
    QTest::newRow("libexec when nothing is beside the host")
        << QStringList{} << QStringList{libexec} << libexec;
    QTest::newRow("libexec only when executable") << QStringList{libexec} << QStringList{} << QString();
    QTest::newRow("nowhere") << QStringList{} << QStringList{} << QString();
}

void AgentLaunchPlanTest::locateAgent()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, executables);
    QFETCH(QString, expected);
    FakeFiles files;
    files.existing = QSet<QString>(existing.begin(), existing.end());
    files.executables = QSet<QString>(executables.begin(), executables.end());
    QCOMPARE(AgentLaunchPlan::locateAgent(QStringLiteral("/opt/fw/bin"), files.probe()).value_or(QString()),
             expected);
}

QTEST_GUILESS_MAIN(AgentLaunchPlanTest)
#include "tst_agent_launch_plan.moc"
