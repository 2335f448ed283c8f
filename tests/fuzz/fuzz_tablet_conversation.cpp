#include "FuzzSupport.h"

#include "Auth/DeviceSecret.h"
#include "TabletConversation.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

// Input: the messages of one tablet conversation, one per line. The secrets are "token-1", "host_1" and
// "nonce-1"; device "d0" is trusted already from before devices had secrets, "d1" with the device secret
// "secret-1"; and "$WS" stands for the pinned folder's path (with a folder
// "docs" and a link to it), so the corpus can hold whole conversations. Invariants: the conversation never
// crashes; every message it gets before it asks to close is answered exactly once and at once, with the
// message's id (null when it has none or is not a JSON object); after it asks to close it says nothing more.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString workspace = fuzzFolder() + QStringLiteral("/workspace");
    static WorkspaceFileService files = [] {
        // The agent logs every rejected attempt on standard output; libFuzzer reports on standard error.
        FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) &&
                   QDir().mkpath(workspace + QStringLiteral("/docs")));
        FUZZ_CHECK(QFile::link(workspace + QStringLiteral("/docs"), workspace + QStringLiteral("/link")));
        return WorkspaceFileService({workspace}, 4);
    }();
    QStringList messages = QString::fromUtf8(QByteArrayView(data, static_cast<qsizetype>(size)))
                               .replace(QLatin1String("$WS"), workspace)
                               .split(u'\n')
                               .mid(0, 64);

    const QString trustFile = fuzzFolder() + QStringLiteral("/trusted-devices.json");
    QFile::remove(trustFile);
    const AgentSecrets secrets{.hostToken = "token-1", .hostId = "host_1", .pairingNonce = "nonce-1"};
    TrustedDeviceStore store(trustFile);
    FUZZ_CHECK(store.add("d0", "old", secrets.hostId, QDateTime(), QString(), nullptr));
    FUZZ_CHECK(store.add("d1", "new", secrets.hostId, QDateTime(), DeviceSecret::hash("secret-1"), nullptr));
    PairingAuthenticator authenticator(secrets, store);
    // A conversation has one attempt, which the throttle never holds back: its refusal comes at once.
    AuthThrottle throttle(1);
    TabletConversation session(QStringLiteral("fuzz"),
                               ConversationServices{&authenticator, &throttle, &files});

    QList<QJsonValue> answered;
    bool closing = false;
    QObject::connect(&session, &TabletConversation::send, [&](const QString &text) {
        FUZZ_CHECK(!closing);
        answered.append(QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("id")));
    });
    QObject::connect(&session, &TabletConversation::closeRequested, [&] {
        FUZZ_CHECK(!closing);
        closing = true;
    });
    for (const QString &message : std::as_const(messages)) {
        const QJsonValue id = QJsonDocument::fromJson(message.toUtf8()).object().value(QStringLiteral("id"));
        const bool closedBefore = closing;
        const qsizetype answersBefore = answered.size();
        session.receive(message);
        FUZZ_CHECK(closedBefore ||
                   (answered.size() == answersBefore + 1 &&
                    answered.last() == (id.isUndefined() ? QJsonValue(QJsonValue::Null) : id)));
    }
    return 0;
}
