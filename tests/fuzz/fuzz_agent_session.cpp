#include "FuzzSupport.h"

#include "AgentSession.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <memory>

// Input: the messages of one tablet conversation, one per line; a first line "throttled" makes the first
// attempt to authenticate wait. The secrets are "token-1", "host_1" and "nonce-1", device "d0" is trusted
// already, and "$WS" stands for the pinned folder's path, so the corpus can hold whole conversations.
// Invariants: the session never crashes; every message it gets before it asks to close is answered exactly
// once, with the message's id (null when it has none or is not a JSON object), and at once unless the
// answer waits for the throttle; after it asks to close it says nothing more.

namespace {

struct Fixture {
    QTemporaryDir folder{fuzzTemporaryTemplate()};
    std::unique_ptr<WorkspaceFileService> files;
};
Fixture *fixture;
QString workspace;

QJsonValue requestId(const QString &message)
{
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    if (!document.isObject())
        return QJsonValue::Null;
    const QJsonValue id = document.object().value(QStringLiteral("id"));
    return id.isUndefined() ? QJsonValue(QJsonValue::Null) : id;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    // The agent logs every rejected attempt on standard output; libFuzzer reports on standard error.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    // A static, so the folder is removed when the run ends.
    static Fixture instance;
    fixture = &instance;
    FUZZ_CHECK(fixture->folder.isValid());
    workspace = fixture->folder.filePath(QStringLiteral("workspace"));
    FUZZ_CHECK(QDir().mkpath(workspace + QStringLiteral("/docs/inner")));
    QFile note(workspace + QStringLiteral("/docs/note.txt"));
    FUZZ_CHECK(note.open(QIODevice::WriteOnly) && note.write("note") == 4);
    FUZZ_CHECK(QFile::link(workspace + QStringLiteral("/docs"), workspace + QStringLiteral("/link")));
    fixture->files = std::make_unique<WorkspaceFileService>(QStringList{workspace}, 4);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList messages =
        QString::fromUtf8(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)))
            .replace(QLatin1String("$WS"), workspace)
            .split(u'\n');
    if (messages.size() > 64)
        return 0;
    // A first line "throttled" makes the address owe a delay, so the first attempt is answered later.
    const bool throttled = messages.first() == QLatin1String("throttled");
    if (throttled)
        messages.removeFirst();

    // Device "d0" is trusted already; any other pairs with the nonce.
    const QString trustFile = fixture->folder.filePath(QStringLiteral("trusted-devices.json"));
    QFile::remove(trustFile);
    AgentSecrets secrets;
    secrets.hostToken = QStringLiteral("token-1");
    secrets.hostId = QStringLiteral("host_1");
    secrets.pairingNonce = QStringLiteral("nonce-1");
    TrustedDeviceStore store(trustFile);
    QString error;
    FUZZ_CHECK(store.add(QStringLiteral("d0"), QStringLiteral("old"), secrets.hostId, QDateTime(), &error));
    PairingAuthenticator authenticator(secrets, store);
    AuthThrottle throttle(1, 0);
    if (throttled)
        throttle.recordFailure(QStringLiteral("fuzz"), QDateTime::currentMSecsSinceEpoch());
    AgentSession session(QStringLiteral("fuzz"),
                         SessionServices{&authenticator, &throttle, fixture->files.get()});

    QList<QJsonValue> answered;
    bool closing = false;
    QObject::connect(&session, &AgentSession::send, [&](const QString &text) {
        FUZZ_CHECK(!closing);
        const QJsonDocument answer = QJsonDocument::fromJson(text.toUtf8());
        FUZZ_CHECK(answer.isObject());
        answered.append(answer.object().value(QStringLiteral("id")));
    });
    QObject::connect(&session, &AgentSession::closeRequested, [&] {
        FUZZ_CHECK(!closing);
        closing = true;
    });
    QList<QJsonValue> asked;
    for (const QString &message : std::as_const(messages)) {
        const bool closedBefore = closing;
        const qsizetype answersBefore = answered.size();
        session.receive(message);
        if (closedBefore) {
            FUZZ_CHECK(answered.size() == answersBefore);
            continue;
        }
        asked.append(requestId(message));
        // Only a delayed attempt is answered later; everything else before receive() returns.
        if (!throttled)
            FUZZ_CHECK(answered.size() == answersBefore + 1 && answered.last() == asked.last());
    }
    QElapsedTimer waited;
    waited.start();
    while (answered.size() < asked.size() && !closing && waited.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    // Every id asked is answered once (the delayed answer comes after the ones sent meanwhile).
    for (const QJsonValue &id : std::as_const(answered))
        FUZZ_CHECK(asked.removeOne(id));
    FUZZ_CHECK(asked.isEmpty());
    return 0;
}
