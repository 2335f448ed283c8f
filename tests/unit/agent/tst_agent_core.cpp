#include "AgentAuthAttempts.h"
#include "AgentOptions.h"
#include "Http/WaitingConnections.h"
#include "Http/WriteBacklog.h"
#include "Relay/RelayCodec.h"
#include "Shared/RelayCodecStateName.h"
#include "Shared/RelayEndpoint.h"
#include "TabletConversation.h"
#include "TestFiles.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString data(const QString &payload, qint64 seq)
{
    return compact({{"type", "data"}, {"peer", "p"}, {"payload", payload}, {"seq", seq}});
}

} // namespace

// The agent's logic without its process: command line and secrets, relay framing and resume state, what a
// tablet is answered, and which files it may see (who gets in: tst_agent_auth).
class AgentCoreTest : public QObject {
    Q_OBJECT

private slots:
    void commandLineAndEnvironment();
    void relayVersionAndUrl();
    void relayEndpoint();
    void relayCodec();
    void everyRequestIsAnswered();
    void confinement();
    void waitingConnectionsGiveWay();
    void writeBacklogHoldsAndGivesUp();

private:
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QTemporaryDir m_dir;
};

void AgentCoreTest::commandLineAndEnvironment()
{
    // The address given -> as parsed, or nothing when the text is refused.
    for (const char *row :
         {"127.0.0.1:65535 -> 127.0.0.1:65535", "localhost:80 -> 127.0.0.1:80", "[::1]:8765 -> ::1:8765",
          "127.0.0.1:65536 -> ", "127.1:80 -> ", "[127.0.0.1]:80 -> "}) {
        const QStringList given = QString(row).split(" -> ");
        const auto parsed = parseListenAddress(given[0]);
        QCOMPARE(parsed ? parsed->first.toString() + ':' + QString::number(parsed->second) : QString(),
                 given[1]);
    }
    QProcessEnvironment environment;
    environment.insert("VELMORA_HOST_TOKEN", "t");
    environment.insert("VELMORA_HOST_ID", "host_i");
    environment.insert("VELMORA_NGROK_AUTHTOKEN", "  ng \n");
    // What hosts of the previous release pass for a relay: the deprecated option works, the environment wins.
    const AgentOptions options =
        *parseAgentOptions({"--relay-url", "wss://r/", "--relay-session", "opt"}).options;
    const auto secrets = [&] {
        return secretsFromEnvironment(environment, options);
    };
    QVERIFY(std::get<QString>(secrets()).contains("VELMORA_RELAY_TOKEN"));
    environment.insert("VELMORA_RELAY_TOKEN", "r");
    const AgentSecrets given = std::get<AgentSecrets>(secrets());
    QCOMPARE(given.relaySession + given.ngrokAuthtoken, QStringLiteral("optng"));
    environment.insert("VELMORA_RELAY_SESSION", "env");
    QCOMPARE(std::get<AgentSecrets>(secrets()).relaySession, QStringLiteral("env"));
    // An empty token or host id is as good as none: it must not open the door to an empty answer.
    environment.insert("VELMORA_HOST_ID", QString());
    QCOMPARE(std::get<QString>(secrets()), QStringLiteral("VELMORA_HOST_ID is not set"));
    environment.insert("VELMORA_HOST_TOKEN", QString());
    QCOMPARE(std::get<QString>(secrets()), QStringLiteral("VELMORA_HOST_TOKEN is not set"));
}

void AgentCoreTest::relayVersionAndUrl()
{
    // The state file's name decides the version when it names this link, by today's or the earlier name.
    const QString session = QStringLiteral("0e9f-s");
    const QList<std::tuple<QString, QString, HostRelayVersion>> table{
        {"wss://c/", relayCodecStateFileName("elixirV2", "host_a", session), HostRelayVersion::elixirV2},
        {"wss://c/relay/v2", relayCodecStateFileName("goV1", "host_a", session), HostRelayVersion::goV1},
        {"wss://c/relay/v2", relayCodecStateFileName("goV1", "host_b", session), HostRelayVersion::elixirV2},
        {"wss://c/", "host_a-b-elixirV2-0e9f-s.json", HostRelayVersion::elixirV2},
        {"wss://c/relay/v2", "host_a-goV1-0e9f-s.json", HostRelayVersion::goV1},
        {"wss://c/relay/v2", "host_a-goV1-other.json", HostRelayVersion::elixirV2},
        {"wss://c/", "", HostRelayVersion::goV1},
        {"wss://c/RELAY/V2", "", HostRelayVersion::goV1}};
    for (const auto &[url, stateFile, expected] : table) {
        AgentOptions options;
        options.relayURL = url;
        options.relayCodecStatePath = stateFile.isEmpty() ? QString() : "/h/" + stateFile;
        QVERIFY2(relayVersionFor(options, QStringLiteral("host_a"), session) == expected,
                 qPrintable(url + " " + stateFile));
    }
}

// Where the relay is reached for one session: what the agent connects to and the setup link carries.
void AgentCoreTest::relayEndpoint()
{
    const QString h = QStringLiteral("wss://r.example/");
    const std::pair<const char *, QString> rows[]{
        {"wss://r.example", h + "relay/s-1"},
        {"wss://r.example//relay//", h + "relay/s-1"},
        {"wss://r.example/ws", h + "relay/s-1"},
        {"wss://r.example/WS", h + "WS/s-1"},
        {"wss://r.example/relay/v2", h + "relay/v2/s-1"},
        {"wss://r.example/RELAY/V2", h + "RELAY/V2/s-1"},

        {"wss://r.example/relay/v2/custom", h + "relay/v2/custom"},
        {"wss://r.example/relayx", h + "relayx/s-1"},
        {"wss://r.example/relay/a?t=1", h + "relay/a"},
        {"ws://me@R.example:08443/hub/?q=1#frag", "ws://me@r.example:8443/hub/s-1#frag"},
        {"ws://[::1]:9000/relay", "ws://[::1]:9000/relay/s-1"}};
    for (const auto &[url, endpoint] : rows)
        QCOMPARE(::relayEndpoint(url, "s-1").value_or(QString()), endpoint);
    QCOMPARE(::relayEndpoint("wss://r.example/", QStringLiteral("a b?c#d50%s\u00fca:b@c=d")),
             h + "relay/a%20b%3Fc%23d50%25s%C3%BCa:b@c=d");
    // Refused: not an absolute URL with a host, a blank, a broken escape; a port that is not one, a host that
    // is not, brackets or bytes a URL may not carry, two user infos.
    const auto refused = [](std::initializer_list<const char *> urls) {
        for (const char *url : urls)
            QVERIFY2(!::relayEndpoint(QString::fromUtf8(url), "s-1"), url);
    };
    refused({"", "relay.example.com", "/relay", "wss:relay", "wss:///relay", "wss://r.example/a b",
             " wss://r.example", "wss://r.example/%zz", "wss://r.example/a%2"});
    refused({"wss://r.example:abc/", "wss://r.example:65536/", "wss://r.example:+80/", "wss://[zz]/",
             "wss://r.example/a[b]", "wss://r.example/?a[0]=1", "wss://r.example/#[x]",
             "wss://r.example/\x7f", "wss://b\u00fccher.example/", "wss://r.example/\u00fc",
             "wss://a@b@r.example/"});
}

void AgentCoreTest::relayCodec()
{
    // A state file that is not sound is kept aside, said without naming its folder, and replaced at once.
    const QByteArray damaged(R"({"format":1,"lastAckedInbound":1,"nextOutbound":0})");
    QVERIFY(QDir().mkpath(path("damaged")) && writeFile(path("damaged/state.json"), damaged));
    const RelayCodec fresh(HostRelayVersion::elixirV2, path("damaged/state.json"));
    QVERIFY(fresh.state() == RelayCodecState{} && fresh.loadWarning().contains("kept aside"));
    QVERIFY(!fresh.loadWarning().contains(path("damaged")) && QFile::exists(path("damaged/state.json")));
    QCOMPARE(
        fileContents(path("damaged/" + QDir(path("damaged")).entryList({"state.json.corrupt-*"}).value(0))),
        damaged);
    // Numbered both ways: a replay is recognised, and what the relay acknowledged is not sent again.
    RelayCodec codec(HostRelayVersion::elixirV2, path("state.json"));
    QCOMPARE(parse(codec.hello()).value("resumeFrom").toInteger(), 0);
    QCOMPARE(codec.decode(data("hello", 1)).payload, QStringLiteral("hello"));
    QCOMPARE(parse(codec.acknowledge(1)), (QJsonObject{{"type", "ack"}, {"seq", 1}}));
    QCOMPARE(codec.decode(data("hello", 1)).kind, RelayCodec::Inbound::duplicate);
    QCOMPARE(parse(codec.encodeData("p", "a")).value("seq").toInteger(), 1);
    QCOMPARE(parse(codec.encodeClose("p", 1008, "bye")).value("seq").toInteger(), 2);
    codec.encodeData("p", "c");
    QCOMPARE(codec.decode(R"({"type":"ack","seq":2})").kind, RelayCodec::Inbound::relayAck);
    QCOMPARE(codec.unacknowledgedOutbound().size(), 1);
}

void AgentCoreTest::everyRequestIsAnswered()
{
    // Whether the conversation authenticated first, the request, whether it ends the conversation, the error
    // code.
    const QList<std::tuple<bool, QString, bool, QString>> table{
        {false, authText(attempt("d1", {}, "nonce-1")), false, ""},
        {false, authText(attempt("d1", {}, "nonce-1", "token-2")), true, "auth_failed"},
        {false, R"({"method":"workspaces.list"})", true, "unauthenticated"},
        {false, R"({"id": 1, "method": )", false, "parse_error"},
        {true, R"({"id":1,"method":"workspaces.list"})", false, ""},
        {true, R"({"id":1,"method":"auth","params":{}})", false, "already_authenticated"},
        {true, R"({"id":1,"method":"fs.delete"})", false, "method_not_found"},
        {true, R"({"id":1})", false, "invalid_request"},
        {true, R"({"id":1,"method":"fs.list","params":{"path":3}})", false, "invalid_params"},
        {true, R"({"id":1,"method":"fs.list","params":{"path":"/"}})", false, "path_outside_workspace"}};
    for (const auto &[authenticated, request, closes, errorCode] : table) {
        QFile::remove(path("trusted.json"));
        PairingAuthenticator authenticator(secrets(), TrustedDeviceStore(path("trusted.json")));
        AuthThrottle throttle(150);
        const WorkspaceFileService files({path("work")});
        TabletConversation conversation(QStringLiteral("peer"),
                                        ConversationServices{&authenticator, &throttle, &files});
        if (authenticated)
            conversation.receive(authText(attempt("d1", {}, "nonce-1")));
        QSignalSpy sent(&conversation, &TabletConversation::send);
        QSignalSpy closed(&conversation, &TabletConversation::closeRequested);
        conversation.receive(request);
        QVERIFY2(sent.size() == 1 && conversation.isAuthenticated() == (authenticated || errorCode.isEmpty()),
                 qPrintable(request));
        const QJsonObject answer = parse(sent.at(0).at(0).toString());
        QCOMPARE(answer.value("error")["code"].toString(), errorCode);
        QCOMPARE(answer.contains("result"), errorCode.isEmpty());
        // The answer names the request it answers; a request without an id gets a null one.
        const QJsonObject asked = parse(request);
        QCOMPARE(answer.value("id"), asked.contains("id") ? asked.value("id") : QJsonValue(QJsonValue::Null));
        QCOMPARE(answer.value("method"), asked.value("method"));
        QCOMPARE(closed.size() ? closed.at(0).at(0).toInt() : 0, closes ? 1008 : 0);
        // Nothing more is said once the end is requested.
        conversation.receive(QStringLiteral(R"({"id":9})"));
        QCOMPARE(sent.size(), closes ? 1 : 2);
    }
}

void AgentCoreTest::confinement()
{
    for (const char *folder : {"work/a", "work-evil", "real/inner"})
        QVERIFY(QDir().mkpath(path(QString::fromLatin1(folder))));
    QVERIFY(QFile::link(path("real"), path("pinned-link")));
    QVERIFY(QFile::link(path("work-evil"), path("work/a/evil-link")));
    QVERIFY(QFile::link(path("nowhere"), path("work/dangling")));
    const WorkspaceFileService files({path("work/"), path("pinned-link")});
    // The path asked for, relative to the test folder unless absolute, and "=" with the folder it resolves to
    // or the error code.
    const QList<std::pair<QString, QString>> table{{"work/a/./../a", "=work/a"},
                                                   {"work-evil", "path_outside_workspace"},
                                                   {"work/../work-evil", "path_outside_workspace"},
                                                   {"work/a/evil-link", "path_outside_workspace"},
                                                   {"work/dangling", "not_found"},
                                                   {"work/" + QString(5000, 'n'), "not_found"},
                                                   {"pinned-link/inner", "=real/inner"},
                                                   {"real/inner", "=real/inner"},
                                                   {"/", "path_outside_workspace"},
                                                   {"relative:work", "invalid_params"}};
    for (const auto &[request, expected] : table) {
        const QString asked = request.startsWith('/')           ? request
                              : request.startsWith("relative:") ? request.mid(9)
                                                                : path(request);
        const auto result = files.confinedPath(asked);
        const auto *error = std::get_if<ServiceError>(&result);
        QCOMPARE(error ? error->code : '=' + std::get<QString>(result),
                 expected.startsWith('=') ? '=' + QFileInfo(path(expected.mid(1))).canonicalFilePath()
                                          : expected);
    }
}

void AgentCoreTest::waitingConnectionsGiveWay()
{
    // Two per source, four in all. Each row: a connection arriving (or, with a minus sign, leaving) and the
    // one that gives way for it.
    WaitingConnections waiting(2, 4);
    const QList<std::tuple<qint64, QString, std::optional<quint64>>> table{
        {1, "a", {}},  {2, "a", {}}, {3, "a", 1}, // the source's oldest gives way, not the newcomer
        {-2, "", {}},  {4, "a", {}},              // one that authenticated leaves room
        {-99, "", {}},                            // an unknown one changes nothing
        {5, "b", {}},  {6, "c", {}}, {7, "b", 3}, // all four taken: the oldest of the source holding most
        {8, "d", 5},   {9, "e", 4},               // as many each: the oldest of all
    };
    for (const auto &[id, source, givesWay] : table) {
        if (id < 0)
            waiting.leave(static_cast<quint64>(-id));
        else
            QCOMPARE(waiting.arrive(static_cast<quint64>(id), source), givesWay);
    }
    QCOMPARE(waiting.count(), 4);
    // A source allowed more (the tunnel's, where many clients share an address) keeps more, within the total.
    WaitingConnections shared(1, 3);
    for (const quint64 id : {1U, 2U, 3U})
        QCOMPARE(shared.arrive(id, "tunnel", 3), std::optional<quint64>());
    QCOMPARE(shared.arrive(4, "b"), std::optional<quint64>(1));
}

void AgentCoreTest::writeBacklogHoldsAndGivesUp()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket writer;
    writer.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *reader = server.nextPendingConnection();
    // A reader that takes one byte and no more, so the system's buffers fill as behind a full receive window.
    reader->setReadBufferSize(1);
    QVERIFY(writer.waitForConnected(5000));
    WriteBacklog backlog(300);
    backlog.watch(&writer);
    QSignalSpy drained(&backlog, &WriteBacklog::drained), stuck(&backlog, &WriteBacklog::stuck);
    const QByteArray megabyte(1024 * 1024, 'x');
    for (int i = 0; i < 7; ++i) {
        writer.write(megabyte);
        backlog.queued();
    }
    QVERIFY(!backlog.takesOutput());
    // Nothing moves: given up after the stall limit, not before.
    QVERIFY(!stuck.wait(200));
    QVERIFY(stuck.wait(2000));
    // Reading again: output is taken again.
    reader->setReadBufferSize(0);
    connect(reader, &QTcpSocket::readyRead, reader, [reader] { reader->readAll(); });
    reader->readAll();
    QVERIFY(drained.wait(5000));
    QVERIFY(backlog.takesOutput());
    // More than the bound at once is given up at once.
    WriteBacklog flooded(60'000);
    flooded.watch(&writer);
    QSignalSpy floodedStuck(&flooded, &WriteBacklog::stuck);
    writer.write(QByteArray(WriteBacklog::maxBytes + 1, 'x'));
    flooded.queued();
    QCOMPARE(floodedStuck.size(), 1);
}

QTEST_GUILESS_MAIN(AgentCoreTest)
#include "tst_agent_core.moc"
