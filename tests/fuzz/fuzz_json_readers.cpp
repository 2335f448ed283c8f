#include "FuzzSupport.h"

#include "Platform/JsonFileUserDefaults.h"
#include "Services/Links/AgentHealth.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

// Input: a JSON text as the agent's health endpoint answers it and as the settings file holds it.
// Invariants: a health status holds the tunnel's fields as given, each a text (the state) or absent. Reading
// settings and asking for every key by every type never crashes; after the first change, a file that was
// readable keeps every value it held, and one that was not is kept aside byte for byte, never overwritten or
// lost, whatever copies were kept aside before.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // Null, and so no object, when the text is not JSON.
    const QJsonDocument document = QJsonDocument::fromJson(content);
    const bool readable = document.isObject();
    QJsonObject stored = readable ? document.object() : QJsonObject();

    const std::optional<HostAgentTunnelStatus> status = AgentHealth::parseResponse(content);
    const QJsonObject tunnel = stored.value(QLatin1String("tunnel")).toObject();
    FUZZ_CHECK(!status || status->state == tunnel.value(QLatin1String("state")).toString());
    // A field of another type is not read as an empty text.
    for (const char *key : {"state", "provider", "publicUrl", "lastError"}) {
        const QJsonValue value = tunnel.value(QLatin1String(key));
        FUZZ_CHECK(!status || value.isString() || value.isNull() || value.isUndefined());
    }

    // Copies kept aside for earlier inputs stay, many from the same second, as after repeated damage; a new
    // one must not fail to be kept because of them.
    QDir folder(fuzzFolder() + QStringLiteral("/settings"));
    if (folder.count() > 8)
        folder.removeRecursively();
    FUZZ_CHECK(folder.mkpath(QStringLiteral(".")));
    QFile file(folder.filePath(QStringLiteral("defaults.json")));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(content) == content.size());
    file.close();
    JsonFileUserDefaults defaults(file.fileName());
    for (const QString &key : stored.keys()) {
        (void)defaults.object(key), (void)defaults.string(key), (void)defaults.integer(key);
        (void)defaults.boolean(key), (void)defaults.stringArray(key), (void)defaults.data(key);
    }
    defaults.setString(QStringLiteral("fuzz.probe"), QStringLiteral("written"));

    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    QJsonObject now = QJsonDocument::fromJson(file.readAll()).object();
    FUZZ_CHECK(now.take(QStringLiteral("fuzz.probe")) == QJsonValue(QStringLiteral("written")));
    stored.remove(QStringLiteral("fuzz.probe"));
    if (readable) {
        FUZZ_CHECK(defaults.backupPath().isEmpty() && now == stored);
    } else {
        QFile backup(defaults.backupPath());
        FUZZ_CHECK(backup.open(QIODevice::ReadOnly) && backup.readAll() == content && now.isEmpty());
    }
    return 0;
}
