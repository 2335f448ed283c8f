#include "RunningAgent.h"
#include "TestFiles.h"

// The agent as a process on each route: LAN (with the Python tablet), ngrok (fake-ngrok.sh on PATH) and a
// relay played by the test.
class AgentRoutesTest : public QObject {
    Q_OBJECT

private slots:
    void lan();
    void ngrok();
    void relay_data();
    void relay();
    void revokeOneDevice();
    void floodLocksNobodyOut();

private:
    void limitsOfTheSocket(Agent &agent);
};

void AgentRoutesTest::lan()
{
    Agent agent;
    const QString workspace = agent.home.filePath("work");
    QVERIFY(QDir().mkpath(workspace + "/src"));
    QVERIFY(agent.start({"--workspace", workspace, "--addr", "127.0.0.1:0"}));

    // The Python tablet pairs with the setup link alone, comes back as a trusted device and lists the folder.
    QUrl link("ferrowyn://connect");
    link.setQuery(QUrlQuery{{"endpoint", agent.ws()},
                            {"token", agent.token},
                            {"hostId", agent.hostId},
                            {"pairingNonce", agent.nonce}});
    const QString output = python({link.toString(QUrl::FullyEncoded), workspace});
    QVERIFY2(output.contains("paired=True\ntrusted=True\nentries=src\nexit=0"), qPrintable(output));
    // A wrong credential is answered, logged, and ends the conversation as a policy violation.
    TestWebSocketClient stranger;
    QVERIFY(stranger.open(agent.ws()));
    const QJsonObject refusal =
        stranger.request(TestWebSocketClient::authRequest("wrong", agent.hostId, {}, "d"));
    QCOMPARE(refusal.value("error")["code"].toString(), QStringLiteral("auth_failed"));
    QVERIFY(stranger.waitForClose());
    QCOMPARE(stranger.closeCode(), 1008);
    QTRY_VERIFY(agent.out.contains("auth rejected: 127.0.0.1: wrong host token"));
    // The health answer is for the names the agent has, the host's 127.0.0.1 among them: not for a foreign
    // name that DNS points at this computer.
    const QByteArray port = ":" + QByteArray::number(agent.port);
    for (const auto &[host, answered] : {std::pair("127.0.0.1" + port, true),
                                         {"localhost" + port, true},
                                         {"evil.example" + port, false},
                                         {"127.0.0.1:1", false}})
        QCOMPARE(health(agent.port, host).value("status") == "ok", answered);
    limitsOfTheSocket(agent);

    // An interrupt ends the agent at once with status 0; a tablet is told why, and the port is free.
    TestWebSocketClient tablet;
    QVERIFY(tablet.open(agent.ws()));
    QCOMPARE(agent.stop(SIGINT), 0);
    QVERIFY(agent.out.contains("received SIGINT") && tablet.waitForClose());
    QCOMPARE(tablet.closeCode(), 1001);
    QTcpServer successor;
    QVERIFY(successor.listen(QHostAddress::LocalHost, agent.port));
    QCOMPARE(agent.leaked(), QStringList());
}

void AgentRoutesTest::limitsOfTheSocket(Agent &agent)
{
    // Exactly 1 MiB is allowed, however many frames carry it; one byte more is not.
    TestWebSocketClient client;
    QVERIFY(!agent.pair(client, "d").isEmpty());
    const QString limit = QStringLiteral("{\"id\":1,\"method\":\"x\",\"pad\":\"%1\"}");
    const QString padding(1024 * 1024 - limit.size() + 2, 'a');
    client.sendText(limit.arg(padding));
    QCOMPARE(client.nextMessage().value("error")["code"].toString(), QStringLiteral("method_not_found"));
    client.sendText(limit.arg(padding + 'a'));
    QVERIFY(client.waitForClose());
    QCOMPARE(client.closeCode(), 1009);
    // A client still sending when the agent closes gets the close frame too, not a reset, and then the end.
    const QString output = python({"--oversized", agent.ws()});
    QVERIFY2(QRegularExpression("^closed=1009 reason=\\S.*\neof\n").match(output).hasMatch(),
             qPrintable(output));

    std::vector<std::unique_ptr<TestWebSocketClient>> waiting(64);
    for (auto &waiter : waiting)
        QVERIFY((waiter = std::make_unique<TestWebSocketClient>())->open(agent.ws()));
    TestWebSocketClient refused;
    refused.open(agent.ws());
    QVERIFY(refused.waitForClose());
    QCOMPARE(refused.closeCode(), 1008);
    QCOMPARE(refused.socket().closeReason(), QStringLiteral("too many unauthenticated connections"));
}

void AgentRoutesTest::ngrok()
{
    // The fake's mode, whether it is told to report a URL, and the error the agent reports (none: online).
    const QList<std::tuple<QString, bool, QString>> table{
        {"online", true, ""},
        {"online", false, "ngrok gave no public URL within 0.7 seconds"},
        {"error", false, "session closing: authentication failed: bad authtoken redacted"},
        {"exit", false, "ngrok exited with status 3"}};
    for (const auto &[mode, go, error] : table) {
        Agent agent;
        const QString bin = agent.home.filePath("bin");
        QVERIFY(QDir().mkpath(bin) && QFile::link(FERROWYN_AGENT_TEST_DIR "/fake-ngrok.sh", bin + "/ngrok"));
        agent.env.insert("PATH", bin + ":/usr/bin:/bin");
        agent.env.insert("FAKE_NGROK_MODE", mode);
        agent.env.insert("FAKE_NGROK_RECORD", agent.home.filePath("record"));
        agent.env.insert("FAKE_NGROK_GO", agent.home.filePath(go ? "go" : "never"));
        // A blank authtoken is no authtoken: ngrok then uses its own configuration.
        agent.env.insert("VELMORA_NGROK_AUTHTOKEN", error.contains("0.7") ? "   " : agent.ngrokToken);
        agent.env.insert("FERROWYN_AGENT_TEST_NGROK_TIMEOUT_MS", "700");
        QVERIFY(agent.start({"--addr", "127.0.0.1:0", "--tunnel-mode", "ngrok"}));
        // What ngrok is called with; it never receives the pairing secrets.
        QTRY_VERIFY(QFile::exists(agent.home.filePath("record")));
        const QString called = QString::fromUtf8(fileContents(agent.home.filePath("record")));
        QVERIFY2(called.startsWith(QStringLiteral("args=http 127.0.0.1:%1 --log stdout --log-format json\n"
                                                  "authtoken=%2\nvelmora=0\n")
                                       .arg(agent.port)
                                       .arg(error.contains("0.7") ? "<unset>" : agent.ngrokToken)),
                 qPrintable(called));
        QVERIFY(writeFile(agent.home.filePath("go"), {}));
        QTRY_COMPARE(health(agent.port).value("tunnel")["state"].toString(),
                     error.isEmpty() ? "online" : "failed");
        const QJsonObject tunnel = health(agent.port).value("tunnel").toObject();
        // Through the tunnel, under its public name, too.
        QCOMPARE(health(agent.port, "fake-tunnel.ngrok-free.app").isEmpty(), !error.isEmpty());
        QCOMPARE(tunnel.value("lastError").toString(), error);
        QCOMPARE(tunnel.value("publicUrl").toString(),
                 error.isEmpty() ? "https://fake-tunnel.ngrok-free.app" : "");
        QCOMPARE(agent.err.contains("tunnel: failed"), !error.isEmpty());
        // A tablet that ngrok forwards is recorded as one that came through the tunnel.
        QNetworkRequest forwarded{QUrl(agent.ws())};
        forwarded.setRawHeader("X-Forwarded-For", "203.0.113.5");
        TestWebSocketClient tablet;
        QSignalSpy connected(&tablet.socket(), &QWebSocket::connected);
        tablet.socket().open(forwarded);
        QVERIFY(connected.wait() &&
                tablet.request(TestWebSocketClient::authRequest(agent.token, agent.hostId, agent.nonce, "t"))
                    .contains("result"));
        QCOMPARE(agent.devices().read().devices.value(0).route, "tunnel");
        // Past the start timeout an online tunnel stays online; the agent keeps serving either way.
        QVERIFY(
            !QTest::qWaitFor([&] { return health(agent.port).value("tunnel")["lastError"] != error; }, 800));
        QCOMPARE(agent.stop(), 0);
        QCOMPARE(agent.leaked(), QStringList());
    }
}

void AgentRoutesTest::relay_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("elixirV2") << "elixirV2";
    QTest::newRow("goV1") << "goV1";
}

void AgentRoutesTest::relay()
{
    QFETCH(QString, version);
    const bool elixir = version == "elixirV2";
    Agent agent;
    QWebSocketServer relay("relay", QWebSocketServer::NonSecureMode);
    QVERIFY(relay.listen(QHostAddress::LocalHost));
    // Hosts of the previous release kept the state under another name and passed the session as an option:
    // the state is taken over, so that sequence numbers survive, and the environment's session wins.
    const QString folder = agent.home.filePath(".ferrowyn/relay-codec-state/");
    const QString earlier = folder + agent.hostId + '-' + version + '-' + agent.session + ".json";
    QVERIFY(QDir().mkpath(folder) &&
            writeFile(earlier, R"({"format":1,"lastAckedInbound":7,"nextOutbound":3})"));
    agent.env.insert("VELMORA_RELAY_TOKEN", agent.relayToken);
    agent.env.insert("FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS", "50");
    if (elixir)
        agent.env.insert("VELMORA_RELAY_SESSION", agent.session);
    const QString statePath = folder + relayCodecStateFileName(version, agent.hostId, agent.session);
    QVERIFY(agent.start(
        {"--addr", "127.0.0.1:0", "--relay-codec-state", statePath, "--relay-session",
         elixir ? "stale" : agent.session, "--relay-url",
         QStringLiteral("ws://127.0.0.1:%1/relay%2/").arg(relay.serverPort()).arg(elixir ? "/v2" : "")}));

    // The relay's side of the link; the agent speaks first, so the link is taken as soon as it is made.
    QList<QJsonObject> frames;
    std::unique_ptr<QWebSocket> link;
    QObject::connect(&relay, &QWebSocketServer::newConnection, &relay, [&] {
        frames.clear();
        link.reset(relay.nextPendingConnection());
        QObject::connect(link.get(), &QWebSocket::textMessageReceived, link.get(), [&](const QString &text) {
            frames.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
    });
    const auto hello = [&](int resumeFrom) {
        QJsonObject expected{{"type", "hello"}, {"role", "host"}, {"version", version}};
        if (elixir)
            expected.insert("resumeFrom", resumeFrom);
        QTRY_COMPARE(frames.value(0), expected);
    };
    // A tablet message (a request, or text as it is) as the relay forwards it; elixirV2 numbers it and wants
    // it acknowledged.
    const auto forward = [&](const QJsonValue &peer, const QJsonValue &message, int seq) {
        const QString text = message.isString()
                                 ? message.toString()
                                 : QString::fromUtf8(QJsonDocument(message.toObject()).toJson());
        QJsonObject frame{{"type", "data"}, {"peer", peer}, {"payload", text}};
        if (elixir)
            frame.insert("seq", seq);
        link->sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
    };
    const auto answer = [&](int index) {
        return QJsonDocument::fromJson(frames.value(index).value("payload").toString().toUtf8()).object();
    };
    hello(7);
    QCOMPARE(link->requestUrl().path(), QString(elixir ? "/relay/v2/" : "/relay/") + agent.session);
    QCOMPARE(link->request().rawHeader("Authorization"), "Bearer " + agent.relayToken.toUtf8());
    forward("t1", TestWebSocketClient::authRequest(agent.token, agent.hostId, agent.nonce, "relay-ipad"), 8);
    QTRY_COMPARE(frames.size(), elixir ? 3 : 2LL);
    QVERIFY(answer(1).value("result")["paired"].toBool());
    if (elixir)
        QCOMPARE(frames.value(1).value("seq").toInt() + frames.value(2).value("seq").toInt(), 3 + 8);
    // A frame the agent cannot take is logged, and acknowledged when it has a number.
    forward(7, {}, 9);
    QTRY_VERIFY(agent.err.contains("dropped a frame"));
    QTRY_COMPARE(frames.size(), elixir ? 4 : 2LL);

    // A broken link comes back; only elixirV2 conversations survive it, and its unacknowledged answer is
    // resent.
    link->abort();
    frames.clear();
    hello(9);
    forward("t1", QJsonObject{{"id", 2}, {"method", "workspaces.list"}}, 10);
    QTRY_COMPARE(frames.size(), elixir ? 4 : 3LL);
    QCOMPARE(frames.value(elixir ? 1 : 0).value("seq").toInt(), elixir ? 3 : 0);
    QCOMPARE(answer(elixir ? 2 : 1).contains("result"), elixir);
    const auto closed = [&](const QString &peer) {
        return std::any_of(frames.cbegin(), frames.cend(), [&](const QJsonObject &frame) {
            return frame.value("type") == "close" && frame.value("peer") == peer;
        });
    };
    // A tablet message at the size limit is carried however the relay escapes it: 1 MiB of control
    // characters make a frame of 6 MiB. One byte more ends that tablet's conversation, and the link stays.
    forward("t3", QString(1 << 20, QChar(1)), 11);
    forward("t4", QString((1 << 20) + 1, QChar(1)), 12);
    QTRY_VERIFY(closed("t4"));
    QVERIFY(!closed("t3") && std::any_of(frames.cbegin(), frames.cend(), [](const QJsonObject &frame) {
        return frame.value("peer") == "t3" && frame.value("payload").toString().contains("parse_error");
    }));
    // At most 64 tablets behind the relay wait to authenticate at once, t3 among them.
    for (int peer = 0; peer <= 64; ++peer)
        forward(QString::number(peer), {}, 13 + peer);
    QTRY_VERIFY(closed("63"));
    QVERIFY(!closed("62"));
    // Revoking the relay tablet ends its conversation, which elixirV2 kept across the drop.
    QCOMPARE(revoke(agent.port, agent.control, "relay-ipad", "n2"), "200 {\"revoked\":true}");
    QTRY_COMPARE(
        std::count_if(frames.cbegin(), frames.cend(),
                      [](const QJsonObject &frame) { return frame.value("reason") == "device revoked"; }),
        elixir ? 1 : 0);
    QCOMPARE(agent.stop(), 0);
    QCOMPARE(agent.out.count("connection lost"), 1);
    QCOMPARE(agent.leaked(), QStringList());
    QVERIFY(!QFile::exists(earlier));
    // goV1 keeps no resume state and leaves the file alone.
    QCOMPARE(fileContents(statePath), elixir ? R"({"format":1,"lastAckedInbound":77,"nextOutbound":73})"
                                             : R"({"format":1,"lastAckedInbound":7,"nextOutbound":3})");
}

void AgentRoutesTest::revokeOneDevice()
{
    Agent agent;
    QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
    TestWebSocketClient a, b;
    QVERIFY(agent.pair(a, "A").contains("deviceSecret") && agent.pair(b, "B").contains("deviceSecret"));
    QCOMPARE(revoke(agent.port, "wrong", "A", "n2"), "401 {\"error\":\"wrong or missing control secret\"}");
    QCOMPARE(revoke(agent.port, agent.control, "A", "n2"), "200 {\"revoked\":true}");
    QVERIFY(a.waitForClose(1000));
    QCOMPARE(a.closeCode(), 1008);
    QCOMPARE(a.socket().closeReason(), "device revoked");
    QVERIFY(b.request({{"id", 2}, {"method", "workspaces.list"}}).contains("result"));
    QCOMPARE(agent.devices().read().devices.value(0).deviceId + agent.devices().read().devices.value(0).route,
             "Blan");
    // The link A scanned pairs nobody now; the new one does, while the host keeps rewriting the file: neither
    // loses the other's devices.
    TestWebSocketClient again;
    QVERIFY(again.open(agent.ws()) &&
            again.request(TestWebSocketClient::authRequest(agent.token, agent.hostId, agent.nonce, "A"))
                .contains("error"));
    std::jthread host([&] {
        for (int round = 0; round < 200; ++round) {
            QString error;
            agent.devices().update(
                [&](QList<TrustedDevice> &devices) {
                    devices.append({QStringLiteral("h%1").arg(round), "h", agent.hostId, {}, {}, {}, {}});
                    return true;
                },
                &error);
        }
    });
    for (int paired = 0; paired < 20; ++paired) {
        TestWebSocketClient tablet;
        QVERIFY(!agent.pair(tablet, "t" + QString::number(paired), "n2").isEmpty());
    }
    host.join();
    QCOMPARE(agent.devices().read().devices.size(), 1 + 20 + 200);
    // The host deleting the file, as when it revokes every device, ends B's connection too.
    QVERIFY(QFile::remove(agent.devices().path()));
    QVERIFY(b.waitForClose(1000));
    QCOMPARE(b.socket().closeReason(), "device revoked");
    QCOMPARE(agent.stop(), 0);
    QCOMPARE(agent.leaked(), QStringList());
}

void AgentRoutesTest::floodLocksNobodyOut()
{
    // Production timings, but for the interval of the log, which the test would otherwise wait out.
    Agent agent;
    agent.env.insert("FERROWYN_AGENT_TEST_AUTH_LOG_INTERVAL_MS", "500");
    QVERIFY(agent.start({"--addr", "127.0.0.1:0"}));
    TestWebSocketClient tablet;
    const QString secret = agent.pair(tablet, "ipad").value("deviceSecret").toString();
    QVERIFY(!secret.isEmpty());

    // A thousand wrong tokens from this address, as fast as the agent takes them; then the right credentials
    // from the same address get in at once.
    const QString flood = python({"--flood", agent.ws(), "1000"});
    QVERIFY2(flood.startsWith("flooded=1000 ") && flood.endsWith("exit=0"), qPrintable(flood));
    QElapsedTimer clock;
    clock.start();
    TestWebSocketClient right;
    QVERIFY(!agent.pair(right, "ipad", {}, secret).isEmpty());
    const qint64 admittedMs = clock.elapsed();
    QVERIFY2(admittedMs < 1000, qPrintable(QString::number(admittedMs)));
    // A wrong one from there is still held back, far past the time to authenticate.
    TestWebSocketClient wrong;
    QVERIFY(wrong.open(agent.ws()));
    wrong.sendText(QString::fromUtf8(
        QJsonDocument(TestWebSocketClient::authRequest("wrong", agent.hostId, {}, "ipad")).toJson()));
    QVERIFY(wrong.nextMessage(1500).isEmpty());

    // Every refusal is counted in the log, in a few lines for the address rather than one each.
    static const QRegularExpression refusal(
        "auth rejected: 127\\.0\\.0\\.1: (?:(\\d+) more refused|wrong host token)");
    int counted = 0, lines = 0;
    const auto count = [&] {
        counted = lines = 0;
        for (auto it = refusal.globalMatch(agent.out); it.hasNext(); ++lines) {
            const QRegularExpressionMatch match = it.next();
            counted += match.captured(1).isEmpty() ? 1 : match.captured(1).toInt();
        }
        return counted;
    };
    QTRY_COMPARE(count(), 1001);
    QVERIFY2(lines <= 20, qPrintable(agent.out));
    qInfo("%s; the right credentials answered in %lld ms; %d log lines for %d refusals",
          qPrintable(flood.section('\n', 0, 0)), admittedMs, lines, counted);
    QCOMPARE(agent.stop(), 0);
    QCOMPARE(agent.leaked(), QStringList());
}

QTEST_GUILESS_MAIN(AgentRoutesTest)
#include "tst_agent_routes.moc"
