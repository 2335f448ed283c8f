#include "AgentOptions.h"
#include "AgentSecrets.h"
#include "AgentTimings.h"
#include "Shared/RelayCodecStateName.h"

#include <QTest>

// The agent's command line, its secrets and its timing hooks, as pure functions.
class AgentOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void listenAddress_data();
    void listenAddress();
    void hostCommandLinesParse();
    void invalidCommandLines_data();
    void invalidCommandLines();
    void relayVersionFollowsTheStateFileName_data();
    void relayVersionFollowsTheStateFileName();
    void relayConnectUrl_data();
    void relayConnectUrl();
    void secretsComeFromTheEnvironmentOnly();
    void timingsAreOverriddenOnlyByValidValues();
};

void AgentOptionsTest::listenAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("loopback") << "127.0.0.1:8765" << true << "127.0.0.1" << 8765;
    QTest::newRow("any") << "0.0.0.0:1" << true << "0.0.0.0" << 1;
    QTest::newRow("ephemeral") << "127.0.0.1:0" << true << "127.0.0.1" << 0;
    QTest::newRow("highest port") << "127.0.0.1:65535" << true << "127.0.0.1" << 65535;
    QTest::newRow("localhost") << "localhost:80" << true << "127.0.0.1" << 80;
    QTest::newRow("ipv6") << "[::1]:8765" << true << "::1" << 8765;
    QTest::newRow("port too big") << "127.0.0.1:65536" << false << "" << 0;
    QTest::newRow("no port") << "127.0.0.1" << false << "" << 0;
    QTest::newRow("empty port") << "127.0.0.1:" << false << "" << 0;
    QTest::newRow("port with sign") << "127.0.0.1:+80" << false << "" << 0;
    QTest::newRow("port with space") << "127.0.0.1: 80" << false << "" << 0;
    QTest::newRow("shorthand ipv4") << "127.1:80" << false << "" << 0;
    QTest::newRow("host name") << "example.com:80" << false << "" << 0;
    QTest::newRow("bare ipv6") << "::1:80" << false << "" << 0;
    QTest::newRow("no host") << ":80" << false << "" << 0;
}

void AgentOptionsTest::listenAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, host);
    QFETCH(int, port);
    const auto parsed = parseListenAddress(text);
    QCOMPARE(parsed.has_value(), valid);
    if (valid) {
        QCOMPARE(parsed->first, QHostAddress(host));
        QCOMPARE(parsed->second, port);
    }
}

void AgentOptionsTest::hostCommandLinesParse()
{
    const auto lan =
        parseAgentOptions({"--workspace", "/a/p1", "--workspace", "/a/p 2", "--addr", "0.0.0.0:8765"});
    QVERIFY(lan.options);
    QCOMPARE(lan.options->workspaces, (QStringList{"/a/p1", "/a/p 2"}));
    QCOMPARE(lan.options->address, QHostAddress(QHostAddress::AnyIPv4));
    QVERIFY(!lan.options->ngrokTunnel && !lan.options->relayEnabled());

    const auto tunnel = parseAgentOptions({"--addr", "127.0.0.1:8765", "--tunnel-mode", "ngrok"});
    QVERIFY(tunnel.options && tunnel.options->ngrokTunnel);

    const auto relay = parseAgentOptions({"--addr=127.0.0.1:9000", "--relay-url", "wss://r.example/relay/v2",
                                          "--relay-codec-state", "/h/.ferrowyn/x.json"});
    QVERIFY(relay.options);
    QCOMPARE(relay.options->port, 9000);
    QCOMPARE(relay.options->relayCodecStatePath, QStringLiteral("/h/.ferrowyn/x.json"));
    // What hosts of the previous release pass.
    const auto earlierRelay =
        parseAgentOptions({"--relay-url", "wss://r.example/", "--relay-session", "abc"});
    QVERIFY(earlierRelay.options);
    QCOMPARE(earlierRelay.options->relaySession, QStringLiteral("abc"));

    const auto none = parseAgentOptions({});
    QVERIFY(none.options);
    QCOMPARE(none.options->port, 8765);
    QCOMPARE(none.options->address, QHostAddress(QHostAddress::LocalHost));
}

void AgentOptionsTest::invalidCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown") << QStringList{"--port", "1"} << "unknown option --port";
    QTest::newRow("single dash") << QStringList{"-x"} << "unknown option -x";
    QTest::newRow("positional") << QStringList{"/a"} << "unexpected argument \"/a\"";
    QTest::newRow("trailing option") << QStringList{"--relay-url"} << "option --relay-url needs a value";
    QTest::newRow("empty value") << QStringList{"--workspace="}
                                 << "option --workspace needs a non-empty value";
    QTest::newRow("repeated addr") << QStringList{"--addr", "127.0.0.1:1", "--addr", "127.0.0.1:2"}
                                   << "option --addr is given more than once";
    QTest::newRow("session alone") << QStringList{"--relay-session", "s"}
                                   << "--relay-session needs --relay-url";
    QTest::newRow("state alone") << QStringList{"--relay-codec-state", "/x"}
                                 << "--relay-codec-state needs --relay-url";
}

void AgentOptionsTest::invalidCommandLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const auto result = parseAgentOptions(arguments);
    QVERIFY(!result.options);
    QVERIFY2(result.error.contains(message), qPrintable(result.error));
    QVERIFY(!result.error.contains(QLatin1Char('\n')));
}

void AgentOptionsTest::relayVersionFollowsTheStateFileName_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("stateFile");
    QTest::addColumn<HostRelayVersion>("expected");
    const QString session = QStringLiteral("0e9f-s");
    QTest::newRow("name says elixir, url says go")
        << "wss://custom.example/"
        << "/h/.ferrowyn/relay-codec-state/" + relayCodecStateFileName("elixirV2", "host_a", session)
        << HostRelayVersion::elixirV2;
    QTest::newRow("name says go, url says elixir")
        << "wss://custom.example/relay/v2"
        << "/h/" + relayCodecStateFileName("goV1", "host_a", session) << HostRelayVersion::goV1;
    QTest::newRow("name of another host")
        << "wss://custom.example/relay/v2"
        << "/h/" + relayCodecStateFileName("goV1", "host_b", session) << HostRelayVersion::elixirV2;
    QTest::newRow("earlier name says elixir, url says go")
        << "wss://custom.example/"
        << "/h/.ferrowyn/relay-codec-state/host_a-b-elixirV2-0e9f-s.json" << HostRelayVersion::elixirV2;
    QTest::newRow("earlier name says go, url says elixir")
        << "wss://custom.example/relay/v2"
        << "/h/.ferrowyn/relay-codec-state/host_a-goV1-0e9f-s.json" << HostRelayVersion::goV1;
    QTest::newRow("other session in the name") << "wss://custom.example/relay/v2"
                                               << "/h/host_a-goV1-other.json" << HostRelayVersion::elixirV2;
    QTest::newRow("no state file, v2 path") << "wss://custom.example/relay/v2"
                                            << "" << HostRelayVersion::elixirV2;
    QTest::newRow("no state file, plain") << "wss://custom.example/"
                                          << "" << HostRelayVersion::goV1;
}

void AgentOptionsTest::relayVersionFollowsTheStateFileName()
{
    QFETCH(QString, url);
    QFETCH(QString, stateFile);
    QFETCH(HostRelayVersion, expected);
    AgentOptions options;
    options.relayURL = url;
    options.relayCodecStatePath = stateFile;
    QCOMPARE(relayVersionFor(options, QStringLiteral("host_a"), QStringLiteral("0e9f-s")), expected);
}

void AgentOptionsTest::relayConnectUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bare") << "wss://r.example"
                          << "wss://r.example/relay/S1";
    QTest::newRow("v2") << "wss://r.example/relay/v2/"
                        << "wss://r.example/relay/v2/S1";
    QTest::newRow("query dropped") << "ws://127.0.0.1:9/x?token=1"
                                   << "ws://127.0.0.1:9/x/S1";
    QTest::newRow("https becomes wss") << "https://r.example/ws"
                                       << "wss://r.example/relay/S1";
    QTest::newRow("http becomes ws") << "http://r.example"
                                     << "ws://r.example/relay/S1";
    QTest::newRow("other scheme") << "ftp://r.example/"
                                  << "";
    QTest::newRow("no host") << "wss:///relay"
                             << "";
}

void AgentOptionsTest::relayConnectUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    AgentOptions options;
    options.relayURL = url;
    const std::optional<QUrl> result = relayConnectURL(options, QStringLiteral("S1"));
    QCOMPARE(result ? result->toString() : QString(), expected);
}

void AgentOptionsTest::secretsComeFromTheEnvironmentOnly()
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("VELMORA_HOST_TOKEN"), QStringLiteral("t"));
    environment.insert(QStringLiteral("VELMORA_HOST_ID"), QStringLiteral("host_i"));
    environment.insert(QStringLiteral("VELMORA_NGROK_AUTHTOKEN"), QStringLiteral("  ng \n"));
    AgentOptions options;
    auto secrets = secretsFromEnvironment(environment, options);
    QVERIFY(std::holds_alternative<AgentSecrets>(secrets));
    QCOMPARE(std::get<AgentSecrets>(secrets).ngrokAuthtoken, QStringLiteral("ng"));
    QCOMPARE(std::get<AgentSecrets>(secrets).pairingNonce, QString());

    options.relayURL = QStringLiteral("wss://r");
    secrets = secretsFromEnvironment(environment, options);
    QVERIFY(std::get<QString>(secrets).contains(QStringLiteral("VELMORA_RELAY_SESSION")));
    // The deprecated option still works, but the environment wins.
    options.relaySession = QStringLiteral("from-option");
    secrets = secretsFromEnvironment(environment, options);
    QVERIFY(std::get<QString>(secrets).contains(QStringLiteral("VELMORA_RELAY_TOKEN")));
    environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), QStringLiteral("r"));
    QCOMPARE(std::get<AgentSecrets>(secretsFromEnvironment(environment, options)).relaySession,
             QStringLiteral("from-option"));
    environment.insert(QStringLiteral("VELMORA_RELAY_SESSION"), QStringLiteral("from-env"));
    QCOMPARE(std::get<AgentSecrets>(secretsFromEnvironment(environment, options)).relaySession,
             QStringLiteral("from-env"));

    // An empty token is as good as none: it must not open the door to an empty answer.
    environment.insert(QStringLiteral("VELMORA_HOST_TOKEN"), QString());
    secrets = secretsFromEnvironment(environment, AgentOptions{});
    QCOMPARE(std::get<QString>(secrets), QStringLiteral("VELMORA_HOST_TOKEN is not set"));
}

void AgentOptionsTest::timingsAreOverriddenOnlyByValidValues()
{
    QProcessEnvironment environment;
    QCOMPARE(AgentTimings::fromEnvironment(environment).authTimeoutMs, 10'000);
    QCOMPARE(AgentTimings::fromEnvironment(environment).ngrokStartTimeoutMs, 45'000);
    QCOMPARE(AgentTimings::fromEnvironment(environment).relayBackoffMaxMs, 30'000);
    environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_AUTH_TIMEOUT_MS"), QStringLiteral("250"));
    environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_NGROK_TIMEOUT_MS"), QStringLiteral("-5"));
    environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS"), QStringLiteral("soon"));
    environment.insert(QStringLiteral("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MAX_MS"), QStringLiteral("10"));
    const AgentTimings timings = AgentTimings::fromEnvironment(environment);
    QCOMPARE(timings.authTimeoutMs, 250);
    QCOMPARE(timings.ngrokStartTimeoutMs, 45'000);
    QCOMPARE(timings.relayBackoffInitialMs, 1'000);
    QCOMPARE(timings.relayBackoffMaxMs, 1'000);
}

QTEST_GUILESS_MAIN(AgentOptionsTest)
#include "tst_agent_options.moc"
