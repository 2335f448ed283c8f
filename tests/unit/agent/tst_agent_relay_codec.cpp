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
    void unreadableStateFileIsKeptAside();
    void resumableCodecSkipsReplaysAndResendsUnacknowledged();
    void goV1CodecForwardsWithoutSequences();
    void invalidFramesAreIgnored();
    void connectLimitIsNeverCutShort();
    void backoffDoublesToItsCapWithJitter();
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

void AgentRelayCodecTest::unreadableStateFileIsKeptAside()
{
    for (const QByteArray &content : {QByteArray("{\"format\":1,"), QByteArray(),
                                      QByteArray(R"({"format":1,"lastAckedInbound":-1,"nextOutbound":1})"),
                                      QByteArray(R"({"format":1,"lastAckedInbound":1.5,"nextOutbound":1})"),
                                      QByteArray(R"({"format":1,"lastAckedInbound":1,"nextOutbound":0})"),
                                      QByteArray(R"({"format":2,"lastAckedInbound":1,"nextOutbound":1})")}) {
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
        QVERIFY(QFile::exists(path) && warning.isEmpty());
        const QStringList aside = QDir(dir.path()).entryList({"state.json.corrupt-*"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QFile kept(dir.path() + QLatin1Char('/') + aside.first());
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
    }
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

void AgentRelayCodecTest::invalidFramesAreIgnored()
{
    // Whether the relay speaks elixirV2, the frame, and the sequence number to acknowledge when it has one.
    struct Row {
        bool elixir;
        QString frame;
        qint64 seq;
    };
    for (const Row &row : QList<Row>{{true, "nonsense", 0},
                                     {false, R"({"type":"data","payload":"x"})", 0},
                                     {false, R"({"type":"data","peer":"p","payload":{}})", 0},
                                     {false, R"({"type":"shout","peer":"p"})", 0},
                                     {true, R"({"type":"data","peer":"p","payload":"x"})", 0},
                                     {true, R"({"type":"data","peer":"p","payload":"x","seq":0})", 0},
                                     {true, R"({"type":"data","peer":"p","payload":"x","seq":"1"})", 0},
                                     {true, R"({"type":"data","peer":7,"payload":"x","seq":3})", 3}}) {
        RelayCodec codec(row.elixir ? HostRelayVersion::elixirV2 : HostRelayVersion::goV1, QString());
        const RelayCodec::Inbound inbound = codec.decode(row.frame);
        QVERIFY2(inbound.kind == RelayCodec::Inbound::invalid && !inbound.problem.isEmpty(),
                 qPrintable(row.frame));
        QCOMPARE(inbound.seq, row.seq);
    }
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

void AgentRelayCodecTest::ngrokLogLines()
{
    using Event = NgrokTunnel::LogEvent;
    const QList<std::tuple<QByteArray, Event::Kind, QString>> table{
        {R"({"lvl":"info","msg":"started tunnel","url":"https://a.ngrok.app"})", Event::started,
         "https://a.ngrok.app"},
        {R"({"lvl":"info","msg":"started tunnel"})", Event::none, ""},
        {R"({"lvl":"eror","msg":"session closing","err":"bad token"})", Event::failed,
         "session closing: bad token"},
        {R"({"lvl":"crit","msg":"boom","err":"<nil>"})", Event::failed, "boom"},
        {R"({"lvl":"info","msg":"open config file","err":null})", Event::none, ""},
        {"t=2024 lvl=info msg=\"started tunnel\" url=https://x", Event::none, ""}};
    for (const auto &[line, kind, text] : table) {
        const Event event = NgrokTunnel::interpretLogLine(line);
        QVERIFY2(event.kind == kind, line.constData());
        QCOMPARE(event.text, text);
    }
}

QTEST_GUILESS_MAIN(AgentRelayCodecTest)
#include "tst_agent_relay_codec.moc"
