#include "TrustedDeviceStore.h"

#include "AgentLog.h"
#include "Shared/AgentAddress.h"
#include "Shared/FileAside.h"
#include "Shared/PrivateFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const QString devicesKey = QStringLiteral("devices");

// The devices in the file. A file that cannot be read or parsed counts as empty, but is kept aside and
// logged first: the next pairing would otherwise replace it, and with it every device it still names.
QJsonArray readDevices(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return {};
    QString problem = QStringLiteral("cannot be read");
    if (file.open(QIODevice::ReadOnly)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        const QJsonValue devices = document.object().value(devicesKey);
        if (error.error == QJsonParseError::NoError && devices.isArray())
            return devices.toArray();
        problem = QStringLiteral("is malformed");
        file.close();
    }
    const std::optional<QString> aside = moveDamagedFileAside(path);
    AgentLog::error(QStringLiteral("trusted-devices file %1; %2, no device is trusted until one pairs again")
                        .arg(problem, aside ? QStringLiteral("kept aside as ") + QFileInfo(*aside).fileName()
                                            : QStringLiteral("could not be kept aside")));
    return {};
}

} // namespace

TrustedDeviceStore::TrustedDeviceStore(QString filePath) : m_filePath(std::move(filePath)) {}

QString TrustedDeviceStore::defaultPath()
{
    return AgentAddress::trustedDevicesPath(QDir::homePath());
}

bool TrustedDeviceStore::isTrusted(const QString &deviceId, const QString &hostId) const
{
    for (const QJsonValue &value : readDevices(m_filePath)) {
        const QJsonObject device = value.toObject();
        if (device.value(QStringLiteral("deviceId")).toString() == deviceId &&
            device.value(QStringLiteral("hostId")).toString() == hostId)
            return true;
    }
    return false;
}

bool TrustedDeviceStore::add(const QString &deviceId, const QString &deviceName, const QString &hostId,
                             const QDateTime &pairedAt, QString *error)
{
    QJsonArray devices;
    for (const QJsonValue &value : readDevices(m_filePath)) {
        if (value.toObject().value(QStringLiteral("deviceId")).toString() != deviceId)
            devices.append(value);
    }
    devices.append(QJsonObject{{QStringLiteral("deviceId"), deviceId},
                               {QStringLiteral("name"), deviceName},
                               {QStringLiteral("hostId"), hostId},
                               {QStringLiteral("pairedAt"), pairedAt.toUTC().toString(Qt::ISODate)}});

    const QFileInfo info(m_filePath);
    if (!makePrivateFolder(info.absolutePath())) {
        *error = QStringLiteral("cannot create the folder of the trusted-devices file");
        return false;
    }
    // A folder an earlier version created readable by all is narrowed too.
    QFile::setPermissions(info.absolutePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    // The temporary file gets owner-only permissions before any content reaches it.
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("version"), 1}, {devicesKey, devices}})
                   .toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
