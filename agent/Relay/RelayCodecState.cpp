#include "Relay/RelayCodecState.h"

#include "Shared/AtomicFileWriter.h"
#include "Shared/FileAside.h"
#include "Shared/PrivateFolder.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int formatVersion = 1;

bool isCount(const QJsonValue &value, qint64 minimum)
{
    return value.isDouble() && value.toDouble() == static_cast<double>(value.toInteger()) &&
           value.toInteger() >= minimum;
}

} // namespace

RelayCodecState RelayCodecState::load(const QString &path, QString *warning)
{
    QFile file(path);
    if (!file.exists())
        return {};
    QString problem;
    RelayCodecState state;
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot be read");
    } else {
        const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
        file.close();
        const QJsonValue acked = object.value(QStringLiteral("lastAckedInbound"));
        const QJsonValue next = object.value(QStringLiteral("nextOutbound"));
        if (object.value(QStringLiteral("format")).toInt() != formatVersion || !isCount(acked, 0) ||
            !isCount(next, 1)) {
            problem = QStringLiteral("is malformed");
        } else {
            state.lastAckedInbound = acked.toInteger();
            state.nextOutbound = next.toInteger();
            return state;
        }
    }
    const bool moved = moveDamagedFileAside(path).has_value();
    *warning =
        QStringLiteral("relay codec state file %1; %2, starting fresh")
            .arg(problem, moved ? QStringLiteral("kept aside") : QStringLiteral("could not be kept aside"));
    if (!moved)
        QFile::remove(path);
    return {};
}

void RelayCodecState::adoptEarlierFile(const QString &earlierPath, const QString &path)
{
    if (earlierPath != path && !QFile::exists(path) && QFile::exists(earlierPath))
        QFile::rename(earlierPath, path);
}

bool RelayCodecState::save(const QString &path, QString *error) const
{
    makePrivateFolder(QFileInfo(path).absolutePath());
    const std::optional<QString> failure = AtomicFileWriter::write(
        path, QJsonDocument(QJsonObject{{QStringLiteral("format"), formatVersion},
                                        {QStringLiteral("lastAckedInbound"), lastAckedInbound},
                                        {QStringLiteral("nextOutbound"), nextOutbound}})
                  .toJson(QJsonDocument::Compact));
    if (failure)
        *error = *failure;
    return !failure;
}
