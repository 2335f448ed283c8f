#include "AgentOptions.h"
#include "AgentSecrets.h"
#include "AgentTimings.h"
#include "Shared/RelayCodecStateName.h"

#include <QTest>

// The agent's command line, its secrets and its timing hooks, as pure functions.
class AgentOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void listenAddress();
    void commandLines();
    void relayVersionFollowsTheStateFileName();
    void relayConnectUrl();
    void secretsComeFromTheEnvironmentOnly();
    void timingsAreOverriddenOnlyByValidValues();
};

void AgentOptionsTest::listenAddress()
{
    // The address parsed, or empty when the text is refused.
    const QList<std::pair<QString, QString>> table{{"127.0.0.1:8765", "127.0.0.1:8765"},
                                                   {"0.0.0.0:0", "0.0.0.0:0"},
                                                   {"127.0.0.1:65535", "127.0.0.1:65535"},
                                                   {"localhost:80", "127.0.0.1:80"},
                                                   {"[::1]:8765", "::1:8765"},
                                                   {"127.0.0.1:65536", ""},
                                                   {"127.0.0.1", ""},
                                                   {"127.0.0.1:", ""},
                                                   {"127.0.0.1:+80", ""},
                                                   {"127.0.0.1: 80", ""},
                                                   {"127.1:80", ""},
                                                   {"example.com:80", ""},
                                                   {"::1:80", ""},
                                                   {":80", ""},
                                                   {"[127.0.0.1]:80", ""}};
    for (const auto &[text, expected] : table) {
        const auto parsed = parseListenAddress(text);
        QCOMPARE(parsed ? parsed->first.toString() + ':' + QString::number(parsed->second) : QString(),
                 expected);
    }
}

void AgentOptionsTest::commandLines()
{
    const auto lan =
        parseAgentOptions({"--workspace", "/a/p1", "--workspace=/a/p 2", "--addr", "0.0.0.0:9000", "--help"});
    QVERIFY(lan.options && lan.options->showHelp && !lan.options->ngrokTunnel &&
            !lan.options->relayEnabled());
    QCOMPARE(lan.options->workspaces, (QStringList{"/a/p1", "/a/p 2"}));
    QCOMPARE(lan.options->address, QHostAddress(QHostAddress::AnyIPv4));
    QCOMPARE(lan.options->port, 9000);
    QVERIFY(parseAgentOptions({"--tunnel-mode", "ngrok"}).options->ngrokTunnel);
    // What hosts of this and of the previous release pass for a relay.
    const auto relay = parseAgentOptions({"--relay-url", "wss://r/", "--relay-session", "abc",
                                          "--relay-codec-state", "/h/x.json", "--version"});
    QVERIFY(relay.options && relay.options->showVersion);
    QCOMPARE(relay.options->relayURL + relay.options->relaySession + relay.options->relayCodecStatePath,
             QStringLiteral("wss://r/abc/h/x.json"));
    const auto none = parseAgentOptions({});
    QVERIFY(none.options && !none.options->showHelp && !none.options->showVersion);
    QCOMPARE(QStringLiteral("%1:%2").arg(none.options->address.toString()).arg(none.options->port),
             QStringLiteral("127.0.0.1:8765"));

    const QList<std::pair<QStringList, QString>> invalid{
        {{"--port", "1"}, "unknown option --port"},
        {{"-x"}, "unknown option -x"},
        {{"/a"}, "unexpected argument \"/a\""},
        {{"--relay-url"}, "option --relay-url needs a value"},
        {{"--workspace="}, "option --workspace needs a non-empty value"},
        {{"--addr", "127.0.0.1:1", "--addr", "127.0.0.1:2"}, "option --addr is given more than once"},
        {{"--addr", "127.0.0.1"}, "malformed --addr \"127.0.0.1\""},
        {{"--tunnel-mode", "frp"}, "unknown --tunnel-mode \"frp\""},
        {{"--relay-session", "s"}, "--relay-session needs --relay-url"},
        {{"--relay-codec-state", "/x"}, "--relay-codec-state needs --relay-url"}};
    for (const auto &[arguments, message] : invalid) {
        const auto result = parseAgentOptions(arguments);
        QVERIFY2(!result.options, qPrintable(message));
        QVERIFY2(result.error.contains(message) && !result.error.contains('\n'), qPrintable(result.error));
    }
}

void AgentOptionsTest::relayVersionFollowsTheStateFileName()
{
    const QString session = QStringLiteral("0e9f-s");
    const QString elixirName = relayCodecStateFileName("elixirV2", "host_a", session);
    struct Row {
        QString url;
        QString stateFile;
        HostRelayVersion expected;
    };
    const QList<Row> table{
        {"wss://custom.example/", "/h/.ferrowyn/relay-codec-state/" + elixirName, HostRelayVersion::elixirV2},
        {"wss://custom.example/relay/v2", "/h/" + relayCodecStateFileName("goV1", "host_a", session),
         HostRelayVersion::goV1},
        // Another host's name says nothing; the URL does.
        {"wss://custom.example/relay/v2", "/h/" + relayCodecStateFileName("goV1", "host_b", session),
         HostRelayVersion::elixirV2},
        // The names hosts gave the file before.
        {"wss://custom.example/", "/h/host_a-b-elixirV2-0e9f-s.json", HostRelayVersion::elixirV2},
        {"wss://custom.example/relay/v2", "/h/host_a-goV1-0e9f-s.json", HostRelayVersion::goV1},
        {"wss://custom.example/relay/v2", "/h/host_a-goV1-other.json", HostRelayVersion::elixirV2},
        {"wss://custom.example/relay/v2", "", HostRelayVersion::elixirV2},
        {"wss://custom.example/", "", HostRelayVersion::goV1}};
    for (const Row &row : table) {
        AgentOptions options;
        options.relayURL = row.url;
        options.relayCodecStatePath = row.stateFile;
        QVERIFY2(relayVersionFor(options, QStringLiteral("host_a"), session) == row.expected,
                 qPrintable(row.stateFile));
    }
}

void AgentOptionsTest::relayConnectUrl()
{
    const QList<std::pair<QString, QString>> table{
        {"wss://r.example", "wss://r.example/relay/S1"},
        {"wss://r.example/relay/v2/", "wss://r.example/relay/v2/S1"},
        {"ws://127.0.0.1:9/x?token=1", "ws://127.0.0.1:9/x/S1"},
        {"https://r.example/ws", "wss://r.example/relay/S1"},
        {"http://r.example", "ws://r.example/relay/S1"},
        {"ftp://r.example/", ""},
        {"wss:///relay", ""}};
    for (const auto &[url, expected] : table) {
        AgentOptions options;
        options.relayURL = url;
        const std::optional<QUrl> result = relayConnectURL(options, QStringLiteral("S1"));
        QCOMPARE(result ? result->toString() : QString(), expected);
    }
}

void AgentOptionsTest::secretsComeFromTheEnvironmentOnly()
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("VELMORA_HOST_TOKEN"), QStringLiteral("t"));
    environment.insert(QStringLiteral("VELMORA_HOST_ID"), QStringLiteral("host_i"));
    environment.insert(QStringLiteral("VELMORA_NGROK_AUTHTOKEN"), QStringLiteral("  ng \n"));
    AgentOptions options;
    const auto secrets = [&] {
        return secretsFromEnvironment(environment, options);
    };
    QCOMPARE(std::get<AgentSecrets>(secrets()).ngrokAuthtoken, QStringLiteral("ng"));
    QCOMPARE(std::get<AgentSecrets>(secrets()).pairingNonce, QString());
    options.relayURL = QStringLiteral("wss://r");
    QVERIFY(std::get<QString>(secrets()).contains(QStringLiteral("VELMORA_RELAY_SESSION")));
    // The deprecated option still works, but the environment wins.
    options.relaySession = QStringLiteral("from-option");
    QVERIFY(std::get<QString>(secrets()).contains(QStringLiteral("VELMORA_RELAY_TOKEN")));
    environment.insert(QStringLiteral("VELMORA_RELAY_TOKEN"), QStringLiteral("r"));
    QCOMPARE(std::get<AgentSecrets>(secrets()).relaySession, QStringLiteral("from-option"));
    environment.insert(QStringLiteral("VELMORA_RELAY_SESSION"), QStringLiteral("from-env"));
    QCOMPARE(std::get<AgentSecrets>(secrets()).relaySession, QStringLiteral("from-env"));
    // An empty token or host id is as good as none: it must not open the door to an empty answer.
    environment.insert(QStringLiteral("VELMORA_HOST_ID"), QString());
    QCOMPARE(std::get<QString>(secrets()), QStringLiteral("VELMORA_HOST_ID is not set"));
    environment.insert(QStringLiteral("VELMORA_HOST_TOKEN"), QString());
    QCOMPARE(std::get<QString>(secrets()), QStringLiteral("VELMORA_HOST_TOKEN is not set"));
}

void AgentOptionsTest::timingsAreOverriddenOnlyByValidValues()
{
    QProcessEnvironment environment;
    QCOMPARE(AgentTimings::fromEnvironment(environment).authTimeoutMs, 10'000);
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
