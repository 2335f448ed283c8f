#include "FuzzSupport.h"

#include "AgentSession.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <memory>

// Input: the messages of one tablet conversation, one per line. The secrets are "token-1", "host_1" and
// "nonce-1", so the corpus can hold an authenticated conversation; "$WS" stands for the pinned folder's path.
// Invariants: the session never crashes; until it asks to close, every message gets exactly one answer, and
// that answer carries the message's id (null when the message has none or is not a JSON object); after it
// asks to close it says nothing more.

namespace {

struct Fixture {
    QTemporaryDir folder;
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
    fixture = new Fixture;
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
    const QStringList messages =
        QString::fromUtf8(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)))
            .replace(QLatin1String("$WS"), workspace)
            .split(u'\n');
    if (messages.size() > 64)
        return 0;
    // A fresh trust file per conversation, so pairing and trusted reconnection are both reached.
    const QString trustFile = fixture->folder.filePath(QStringLiteral("trusted-devices.json"));
    QFile::remove(trustFile);
    AgentSecrets secrets;
    secrets.hostToken = QStringLiteral("token-1");
    secrets.hostId = QStringLiteral("host_1");
    secrets.pairingNonce = QStringLiteral("nonce-1");
    PairingAuthenticator authenticator(secrets, TrustedDeviceStore(trustFile));
    // No delay: every answer comes before receive() returns.
    AuthThrottle throttle(0);
    AgentSession session(QStringLiteral("fuzz"),
                         SessionServices{&authenticator, &throttle, fixture->files.get()});

    QStringList answers;
    bool closing = false;
    QObject::connect(&session, &AgentSession::send, [&](const QString &text) {
        FUZZ_CHECK(!closing);
        answers.append(text);
    });
    QObject::connect(&session, &AgentSession::closeRequested, [&] {
        FUZZ_CHECK(!closing);
        closing = true;
    });
    for (const QString &message : messages) {
        const bool closedBefore = closing;
        answers.clear();
        session.receive(message);
        if (closedBefore) {
            FUZZ_CHECK(answers.isEmpty());
            continue;
        }
        FUZZ_CHECK(answers.size() == 1);
        const QJsonDocument answer = QJsonDocument::fromJson(answers.first().toUtf8());
        FUZZ_CHECK(answer.isObject());
        FUZZ_CHECK(answer.object().value(QStringLiteral("id")) == requestId(message));
    }
    return 0;
}
