#include "NgrokTunnel.h"
#include "RelayBackoff.h"
#include "RelayClient.h"
#include "RelayCodec.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

// The relay framing and its saved resume state, the reconnect backoff, and the reading of ngrok's log.
class AgentRelayCodecTest : public QObject {
    Q_OBJECT

private slots:
    void unreadableStateFileIsKeptAside_data();
    void unreadableStateFileIsKeptAside();
    void resumableCodecSkipsReplaysAndResendsUnacknowledged();
    void goV1CodecForwardsWithoutSequences();
    void invalidFramesAreIgnored_data();
    void invalidFramesAreIgnored();
    void connectLimitIsNeverCutShort();
    void backoffDoublesToItsCapWithJitter();
    void ngrokLogLines_data();
    void ngrokLogLines();

private:
    static QJsonObject parse(const QString &frame)
    {
        return QJsonDocument::fromJson(frame.toUtf8()).object();
    }
    static QString data(const QString &peer, const QString &payload, qint64 seq);
};

QString AgentRelayCodecTest::data(const QString &peer, const QString &payload, qint64 seq)
{
    QJsonObject frame{{"type", "data"}, {"peer", peer}, {"payload", payload}};
    if (seq > 0)
        frame.insert("seq", seq);
    return QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
}

void AgentRelayCodecTest::unreadableStateFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not json") << QByteArray("{\"format\":1,");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("negative") << QByteArray(R"({"format":1,"lastAckedInbound":-1,"nextOutbound":1})");
    QTest::newRow("fraction") << QByteArray(R"({"format":1,"lastAckedInbound":1.5,"nextOutbound":1})");
    QTest::newRow("zero next") << QByteArray(R"({"format":1,"lastAckedInbound":1,"nextOutbound":0})");
    QTest::newRow("future format") << QByteArray(R"({"format":2,"lastAckedInbound":1,"nextOutbound":1})");
}

void AgentRelayCodecTest::unreadableStateFileIsKeptAside()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/state.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    // The codec starts fresh, says so without naming the file's folder, and writes a sound file at once.
    RelayCodec codec(HostRelayVersion::elixirV2, path);
    QCOMPARE(codec.state(), RelayCodecState{});
    QVERIFY(codec.loadWarning().contains(QStringLiteral("kept aside")));
    QVERIFY(!codec.loadWarning().contains(dir.path()));
    QString warning;
    QCOMPARE(RelayCodecState::load(path, &warning), RelayCodecState{});
    QVERIFY(warning.isEmpty());
    const QStringList aside = QDir(dir.path()).entryList({"state.json.corrupt-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(dir.path() + QLatin1Char('/') + aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), content);
}

void AgentRelayCodecTest::resumableCodecSkipsReplaysAndResendsUnacknowledged()
{
    QTemporaryDir dir;
    // The folder is made when the state is first saved.
    const QString path = dir.path() + QStringLiteral("/missing/state.json");
    {
        RelayCodec codec(HostRelayVersion::elixirV2, path);
        QVERIFY(codec.loadWarning().isEmpty());
        QCOMPARE(parse(codec.hello()).value("resumeFrom").toInteger(), 0);
        const RelayCodec::Inbound first = codec.decode(data("p", "hello", 1));
        QCOMPARE(first.kind, RelayCodec::Inbound::data);
        QCOMPARE(first.payload, QStringLiteral("hello"));
        QCOMPARE(parse(codec.acknowledge(first.seq)), (QJsonObject{{"type", "ack"}, {"seq", 1}}));
        QCOMPARE(codec.decode(data("p", "hello", 1)).kind, RelayCodec::Inbound::duplicate);

        QCOMPARE(parse(codec.encodeData("p", "a")).value("seq").toInteger(), 1);
        QCOMPARE(parse(codec.encodeClose("p", 1008, "bye")).value("seq").toInteger(), 2);
        QCOMPARE(parse(codec.encodeData("p", "c")).value("seq").toInteger(), 3);
        QCOMPARE(codec.decode(R"({"type":"ack","seq":2})").kind, RelayCodec::Inbound::relayAck);
        QCOMPARE(codec.unacknowledgedOutbound().size(), 1);
        QCOMPARE(parse(codec.unacknowledgedOutbound().first()).value("payload").toString(),
                 QStringLiteral("c"));
    }
    // A new process resumes where the last one left off, in both directions, also from a file kept under the
    // name hosts gave it before.
    const QString renamed = dir.path() + QStringLiteral("/renamed.json");
    RelayCodecState::adoptEarlierFile(path, renamed);
    RelayCodec resumed(HostRelayVersion::elixirV2, renamed);
    QCOMPARE(parse(resumed.hello()).value("resumeFrom").toInteger(), 1);
    QCOMPARE(resumed.decode(data("p", "hello", 1)).kind, RelayCodec::Inbound::duplicate);
    QCOMPARE(resumed.decode(data("p", "next", 2)).kind, RelayCodec::Inbound::data);
    QCOMPARE(parse(resumed.encodeData("p", "d")).value("seq").toInteger(), 4);
}

void AgentRelayCodecTest::goV1CodecForwardsWithoutSequences()
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/state.json");
    RelayCodec codec(HostRelayVersion::goV1, path);
    QVERIFY(!parse(codec.hello()).contains("resumeFrom"));
    QCOMPARE(parse(codec.hello()).value("version").toString(), QStringLiteral("goV1"));
    QCOMPARE(codec.decode(data("p", "x", 0)).kind, RelayCodec::Inbound::data);
    QCOMPARE(codec.decode(data("p", "x", 0)).kind, RelayCodec::Inbound::data);
    QVERIFY(!parse(codec.encodeData("p", "y")).contains("seq"));
    QVERIFY(codec.acknowledge(1).isEmpty());
    QVERIFY(codec.unacknowledgedOutbound().isEmpty());
    QVERIFY(!QFile::exists(path));
}

void AgentRelayCodecTest::invalidFramesAreIgnored_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<qint64>("seq"); // to acknowledge, when the frame has one
    QTest::newRow("not json") << 1 << "nonsense" << qint64(0);
    QTest::newRow("no peer") << 0 << R"({"type":"data","payload":"x"})" << qint64(0);
    QTest::newRow("payload not text") << 0 << R"({"type":"data","peer":"p","payload":{}})" << qint64(0);
    QTest::newRow("unknown type") << 0 << R"({"type":"shout","peer":"p"})" << qint64(0);
    QTest::newRow("v2 without seq") << 1 << R"({"type":"data","peer":"p","payload":"x"})" << qint64(0);
    QTest::newRow("v2 seq zero") << 1 << R"({"type":"data","peer":"p","payload":"x","seq":0})" << qint64(0);
    QTest::newRow("v2 seq text") << 1 << R"({"type":"data","peer":"p","payload":"x","seq":"1"})" << qint64(0);
    QTest::newRow("v2 numeric peer") << 1 << R"({"type":"data","peer":7,"payload":"x","seq":3})" << qint64(3);
}

void AgentRelayCodecTest::invalidFramesAreIgnored()
{
    QFETCH(int, version);
    QFETCH(QString, frame);
    QFETCH(qint64, seq);
    RelayCodec codec(version ? HostRelayVersion::elixirV2 : HostRelayVersion::goV1, QString());
    const RelayCodec::Inbound inbound = codec.decode(frame);
    QCOMPARE(inbound.kind, RelayCodec::Inbound::invalid);
    QVERIFY(!inbound.problem.isEmpty());
    QCOMPARE(inbound.seq, seq);
}

void AgentRelayCodecTest::connectLimitIsNeverCutShort()
{
    // A relay that takes the connection and never answers the handshake.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    AgentTimings timings;
    timings.relayConnectTimeoutMs = 1000;
    TunnelStatus status;
    RelayClient client(QUrl(QStringLiteral("ws://127.0.0.1:%1/relay/s").arg(silent.serverPort())),
                       QStringLiteral("token"), RelayCodec(HostRelayVersion::goV1, QString()),
                       SessionServices{}, RelayBackoff(60'000, 60'000, [] { return 0.0; }), timings, &status);
    QSignalSpy changed(&client, &RelayClient::stateChanged);
    QElapsedTimer elapsed;
    elapsed.start();
    client.start();
    while (client.state() != QLatin1String("waiting"))
        QVERIFY(changed.wait(3000));
    QVERIFY2(elapsed.elapsed() >= timings.relayConnectTimeoutMs,
             qPrintable(QString::number(elapsed.elapsed())));
}

void AgentRelayCodecTest::backoffDoublesToItsCapWithJitter()
{
    double random = 0.999999;
    RelayBackoff backoff(1000, 30'000, [&] { return random; });
    QList<int> delays;
    for (int i = 0; i < 7; ++i)
        delays.append(backoff.nextDelayMs());
    QCOMPARE(delays, (QList<int>{999, 1999, 3999, 7999, 15999, 29999, 29999}));
    random = 0.0;
    QCOMPARE(backoff.nextDelayMs(), 7500);
    backoff.reset();
    QCOMPARE(backoff.nextDelayMs(), 250);
}

void AgentRelayCodecTest::ngrokLogLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::newRow("started") << QByteArray(
                                    R"({"lvl":"info","msg":"started tunnel","url":"https://a.ngrok.app"})")
                             << int(NgrokTunnel::LogEvent::started) << "https://a.ngrok.app";
    QTest::newRow("started without url")
        << QByteArray(R"({"lvl":"info","msg":"started tunnel"})") << int(NgrokTunnel::LogEvent::none) << "";
    QTest::newRow("error with err") << QByteArray(
                                           R"({"lvl":"eror","msg":"session closing","err":"bad token"})")
                                    << int(NgrokTunnel::LogEvent::failed) << "session closing: bad token";
    QTest::newRow("crit without err") << QByteArray(R"({"lvl":"crit","msg":"boom","err":"<nil>"})")
                                      << int(NgrokTunnel::LogEvent::failed) << "boom";
    QTest::newRow("info with err null") << QByteArray(R"({"lvl":"info","msg":"open config file","err":null})")
                                        << int(NgrokTunnel::LogEvent::none) << "";
    QTest::newRow("not json") << QByteArray("t=2024 lvl=info msg=\"started tunnel\" url=https://x")
                              << int(NgrokTunnel::LogEvent::none) << "";
}

void AgentRelayCodecTest::ngrokLogLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, kind);
    QFETCH(QString, text);
    const NgrokTunnel::LogEvent event = NgrokTunnel::interpretLogLine(line);
    QCOMPARE(int(event.kind), kind);
    QCOMPARE(event.text, text);
}

QTEST_GUILESS_MAIN(AgentRelayCodecTest)
#include "tst_agent_relay_codec.moc"
