#include "FuzzSupport.h"

#include "Platform/JsonFileUserDefaults.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

// Input: the content of the settings file.
// Invariants: reading any content and asking for every key by every type never crashes. After the first
// change, a file that was readable keeps every value it held, and one that was not is kept aside byte for
// byte, never overwritten or lost, whatever copies were kept aside before.

namespace {

QTemporaryDir *folder;

void readEveryKey(const UserDefaults &defaults, const QJsonObject &stored)
{
    for (const QString &key : stored.keys()) {
        (void)defaults.object(key);
        (void)defaults.string(key);
        (void)defaults.integer(key);
        (void)defaults.boolean(key);
        (void)defaults.stringArray(key);
        (void)defaults.data(key);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    // A static, so the folder is removed when the run ends.
    static QTemporaryDir temporary(fuzzTemporaryTemplate());
    folder = &temporary;
    FUZZ_CHECK(folder->isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // Copies kept aside for earlier inputs stay, many from the same second, as after repeated damage; a
    // new one must not fail to be kept because of them.
    QDir settingsFolder(folder->path() + QStringLiteral("/settings"));
    if (settingsFolder.count() > 8)
        settingsFolder.removeRecursively();
    FUZZ_CHECK(settingsFolder.mkpath(QStringLiteral(".")));
    const QString path = settingsFolder.filePath(QStringLiteral("defaults.json"));
    QFile::remove(path);
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }

    QJsonParseError error{};
    const QJsonDocument original = QJsonDocument::fromJson(content, &error);
    const bool readable = error.error == QJsonParseError::NoError && original.isObject();

    JsonFileUserDefaults defaults(path);
    readEveryKey(defaults, original.object());
    defaults.setString(QStringLiteral("fuzz.probe"), QStringLiteral("written"));

    QFile rewritten(path);
    FUZZ_CHECK(rewritten.open(QIODevice::ReadOnly));
    const QJsonObject now = QJsonDocument::fromJson(rewritten.readAll()).object();
    FUZZ_CHECK(now.value(QStringLiteral("fuzz.probe")) == QJsonValue(QStringLiteral("written")));
    if (readable) {
        FUZZ_CHECK(defaults.backupPath().isEmpty());
        const QJsonObject before = original.object();
        for (auto it = before.begin(); it != before.end(); ++it) {
            if (it.key() != QLatin1String("fuzz.probe"))
                FUZZ_CHECK(now.value(it.key()) == it.value());
        }
    } else {
        FUZZ_CHECK(!defaults.backupPath().isEmpty());
        QFile backup(defaults.backupPath());
        FUZZ_CHECK(backup.open(QIODevice::ReadOnly) && backup.readAll() == content);
        FUZZ_CHECK(now.size() == 1);
    }
    return 0;
}
