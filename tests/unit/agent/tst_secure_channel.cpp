#include "AgentSecrets.h"
#include "Secure/NoiseHandshake.h"
#include "Secure/SecureChannel.h"
#include "Shared/AgentStaticKey.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

QJsonObject vector()
{
    QFile file(QStringLiteral(FERROWYN_TEST_DATA_DIR "/noise-nk-vector.json"));
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

QByteArray hex(const QJsonObject &object, const char *name)
{
    return QByteArray::fromHex(object.value(QLatin1String(name)).toString().toLatin1());
}

// A tablet's end of a channel: its handshake with `remoteStatic` done against `channel`.
struct Tablet {
    NoiseCipherState sending;
    NoiseCipherState receiving;
};

std::optional<Tablet> handshake(SecureChannel &channel, const QByteArray &remoteStatic)
{
    NoiseHandshake initiator(NoiseHandshake::Role::initiator, SecureChannel::prologue, remoteStatic);
    const SecureChannel::Received answer = channel.receiveBinary(*initiator.writeMessage({}));
    if (answer.reply.size() != SecureChannel::handshakeBytes || !initiator.readMessage(answer.reply))
        return std::nullopt;
    return Tablet{initiator.sending(), initiator.receiving()};
}

} // namespace

// The encrypted channel between a tablet and the agent: the handshake as published, and what the channel lets
// through and what ends it.
class SecureChannelTest : public QObject {
    Q_OBJECT

private slots:
    void publishedHandshake();
    void channel();
};

void SecureChannelTest::publishedHandshake()
{
    const QJsonObject published = vector();
    const QJsonArray messages = published.value("messages").toArray();
    QCOMPARE(messages.size(), 4);
    QCOMPARE(AgentStaticKey::publicKeyOf(hex(published, "resp_static")),
             hex(published, "init_remote_static"));
    NoiseHandshake initiator(NoiseHandshake::Role::initiator, hex(published, "init_prologue"),
                             hex(published, "init_remote_static"), hex(published, "init_ephemeral"));
    NoiseHandshake responder(NoiseHandshake::Role::responder, hex(published, "resp_prologue"),
                             hex(published, "resp_static"), hex(published, "resp_ephemeral"));
    // Message by message: who writes it, who reads it, on the handshake and then on each side's ciphers.
    NoiseHandshake *writers[] = {&initiator, &responder};
    for (int i = 0; i < 2; ++i) {
        const QJsonObject message = messages.at(i).toObject();
        QCOMPARE(writers[i]->readMessage(hex(message, "ciphertext")), std::nullopt); // not its turn
        QCOMPARE(writers[i]->writeMessage(hex(message, "payload")), hex(message, "ciphertext"));
        QCOMPARE(writers[1 - i]->readMessage(hex(message, "ciphertext")), hex(message, "payload"));
    }
    QVERIFY(initiator.isComplete() && responder.isComplete());
    NoiseCipherState sending[] = {initiator.sending(), responder.sending()};
    NoiseCipherState receiving[] = {responder.receiving(), initiator.receiving()};
    for (int i = 2; i < 4; ++i) {
        const QJsonObject message = messages.at(i).toObject();
        QCOMPARE(sending[i - 2].encrypt({}, hex(message, "payload")), hex(message, "ciphertext"));
        QCOMPARE(receiving[i - 2].decrypt({}, hex(message, "ciphertext")), hex(message, "payload"));
    }
    // The first message as a tablet sends it to the agent of the published keys: PROTOCOL.md shows it.
    NoiseHandshake ours(NoiseHandshake::Role::initiator, SecureChannel::prologue,
                        hex(published, "init_remote_static"), hex(published, "init_ephemeral"));
    QCOMPARE(ours.writeMessage({})->toHex(),
             QByteArray("1c83e1721fadb9fc168e67da9d25503aa286e42d7d35b80c73096d29cce50309"
                        "939a5c5391c165bff00a40165f53638c"));
}

void SecureChannelTest::channel()
{
    const QJsonObject published = vector();
    const QByteArray secret = hex(published, "resp_static");
    const QByteArray key = hex(published, "init_remote_static");
    const QByteArray request = R"({"id":1,"method":"workspaces.list"})";
    // Both ways, in the relay's Base64 too.
    SecureChannel agent(secret, false);
    std::optional<Tablet> tablet = handshake(agent, key);
    QVERIFY(tablet);
    QCOMPARE(agent.receiveBinary(*tablet->sending.encrypt({}, request)).text, QString(request));
    QCOMPARE(tablet->receiving.decrypt({}, *agent.seal("answer")), "answer");
    const QString relayed = SecureChannel::relayPayload(*tablet->sending.encrypt({}, request));
    QCOMPARE(agent.receiveRelayPayload(relayed).text, QString(request));
    // A text message ends an encrypted channel, and nothing more comes out of it.
    QCOMPARE(agent.receiveText(request).closeReason, "binary messages only");
    QCOMPARE(agent.seal("answer"), std::nullopt);

    // A flipped bit, a replayed message, one missing before it: each ends the channel.
    for (const char *fault : {"flipped", "replayed", "dropped"}) {
        SecureChannel fresh(secret, false);
        tablet = handshake(fresh, key);
        QByteArray sealed = *tablet->sending.encrypt({}, request);
        if (fault == QByteArray("flipped"))
            sealed[5] = static_cast<char>(sealed[5] ^ 0x10);
        else if (fault == QByteArray("replayed"))
            QVERIFY(fresh.receiveBinary(sealed).text);
        else
            sealed = *tablet->sending.encrypt({}, request);
        const SecureChannel::Received received = fresh.receiveBinary(sealed);
        QCOMPARE(std::pair(received.closeCode, received.closeReason),
                 std::pair(1008, QString("decryption failed")));
        QCOMPARE(fresh.state(), SecureChannel::State::failed);
    }
    // The handshake meant for another key, or of another length, or to an agent without a key (or with a text
    // that is not one).
    AgentSecrets secrets;
    secrets.agentKey = AgentStaticKey::encode(secret);
    QCOMPARE(secrets.staticKey(), secret);
    secrets.agentKey.chop(1);
    QCOMPARE(secrets.staticKey(), QByteArray());
    SecureChannel other(AgentStaticKey::generate()->secretKey, false);
    QVERIFY(!handshake(other, key));
    QCOMPARE(other.state(), SecureChannel::State::failed);
    SecureChannel keyless({}, false);
    QCOMPARE(keyless.receiveBinary(QByteArray(48, 'x')).closeReason, "no agent key");
    SecureChannel shortened(secret, false);
    QCOMPARE(shortened.receiveRelayPayload(QByteArray(47, 'x').toBase64()).closeReason, "decryption failed");

    // Unencrypted: only where allowed, and then within the same bound as plaintext.
    SecureChannel refused(secret, false);
    const SecureChannel::Received refusal = refused.receiveRelayPayload(" " + request);
    QVERIFY(refusal.refusalText.contains(R"("code":"encryption_required")"));
    QCOMPARE(std::pair(refusal.closeCode, refusal.closeReason),
             std::pair(1008, QString("encryption required")));
    SecureChannel allowed(secret, true);
    QCOMPARE(allowed.receiveRelayPayload(request).text, QString(request));
    QCOMPARE(allowed.seal("answer"), std::nullopt);
    QCOMPARE(allowed.receiveText(QString(TabletConversation::maxMessageBytes, 'x')).closeCode, 0);
    QCOMPARE(allowed.receiveText(QString(TabletConversation::maxMessageBytes + 1, 'x')).closeCode, 1009);
}

QTEST_GUILESS_MAIN(SecureChannelTest)
#include "tst_secure_channel.moc"
