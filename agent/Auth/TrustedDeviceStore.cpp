#include "Auth/TrustedDeviceStore.h"

#include "AgentLog.h"
#include "Shared/AgentAddress.h"
#include "Shared/AgentStorageReport.h"
#include "Shared/FileAside.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

TrustedDeviceStore::TrustedDeviceStore(QString filePath) : m_file(std::move(filePath)) {}

QString TrustedDeviceStore::defaultPath()
{
    return AgentAddress::trustedDevicesPath(QDir::homePath());
}

std::optional<TrustedDeviceStore::Version> TrustedDeviceStore::versionOf(const QString &path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    constexpr qint64 nsPerSecond = 1'000'000'000;
    return Version{static_cast<quint64>(status.st_dev), static_cast<quint64>(status.st_ino),
                   static_cast<qint64>(status.st_size),
                   status.st_mtim.tv_sec * nsPerSecond + status.st_mtim.tv_nsec,
                   status.st_ctim.tv_sec * nsPerSecond + status.st_ctim.tv_nsec};
}

TrustedDevicesFile::Contents TrustedDeviceStore::contents() const
{
    // Taken before the read: a change during the read makes the next question read again.
    const std::optional<Version> version = versionOf(m_file.path());
    if (version && version == m_readVersion)
        return m_read;
    TrustedDevicesFile::Contents contents = m_file.read(TrustedDevicesFile::SecretHashes::Included);
    m_readVersion.reset();
    if (contents.status == TrustedDevicesFile::Status::Unavailable) {
        AgentLog::error(
            QStringLiteral("trusted-devices file cannot be opened now: no device is trusted until "
                           "it can be (the agent is out of descriptors or memory)"));
        return contents;
    }
    if (contents.status != TrustedDevicesFile::Status::Unreadable) {
        if (contents.status == TrustedDevicesFile::Status::Read && version) {
            m_readVersion = version;
            m_read = contents;
        }
        return contents;
    }
    // The next pairing would otherwise be refused for good, or a careless writer replace the file and with it
    // every device it still names.
    const std::optional<QString> aside = moveDamagedFileAside(m_file.path());
    AgentLog::error(
        QStringLiteral("trusted-devices file cannot be read or is malformed; %1, no device is trusted until "
                       "one pairs again")
            .arg(aside ? QStringLiteral("kept aside as ") + QFileInfo(*aside).fileName()
                       : QStringLiteral("could not be kept aside")));
    return {};
}

std::optional<TrustedDevice> TrustedDeviceStore::find(const QString &deviceId, const QString &hostId) const
{
    for (const TrustedDevice &device : contents().devices) {
        if (device.deviceId == deviceId && device.hostId == hostId)
            return device;
    }
    return std::nullopt;
}

std::optional<QDateTime> TrustedDeviceStore::latestPairing(const QString &hostId) const
{
    std::optional<QDateTime> latest;
    for (const TrustedDevice &device : contents().devices) {
        if (device.hostId == hostId && device.pairedAt.isValid() && (!latest || device.pairedAt > *latest))
            latest = device.pairedAt;
    }
    return latest;
}

bool TrustedDeviceStore::add(const QString &deviceId, const QString &deviceName, const QString &hostId,
                             const QDateTime &pairedAt, const QString &secretHash, QString *error,
                             const QString &route)
{
    contents(); // moves a damaged file aside first
    const bool written = m_file.update(
        [&](QList<TrustedDevice> &devices) {
            devices.removeIf([&](const TrustedDevice &device) { return device.deviceId == deviceId; });
            devices.append({deviceId, deviceName, hostId, pairedAt, pairedAt, route, secretHash});
            return true;
        },
        error);
    noteWrite(written, QStringLiteral("a newly paired device is not trusted"), error);
    if (written)
        m_lastSeenWrites.insert(deviceId, pairedAt);
    return written;
}

bool TrustedDeviceStore::upgradeToSecret(const QString &deviceId, const QString &hostId,
                                         const QString &secretHash, const QString &route,
                                         const QDateTime &now, QString *error)
{
    bool upgraded = false;
    const bool written = m_file.update(
        [&](QList<TrustedDevice> &devices) {
            for (TrustedDevice &device : devices) {
                if (device.deviceId == deviceId && device.hostId == hostId && device.secretHash.isEmpty()) {
                    device.secretHash = secretHash;
                    device.lastSeenAt = now;
                    device.route = route;
                    upgraded = true;
                }
            }
            return upgraded;
        },
        error);
    noteWrite(written, QStringLiteral("a device paired before device secrets keeps working without one"),
              error);
    if (!written || !upgraded)
        return false;
    m_lastSeenWrites.insert(deviceId, now);
    return true;
}

bool TrustedDeviceStore::recordSeen(const QString &deviceId, const QString &hostId, const QString &route,
                                    const QDateTime &now)
{
    const QDateTime last = m_lastSeenWrites.value(deviceId);
    if (last.isValid() && last.secsTo(now) < seenWriteIntervalSecs)
        return false;
    bool found = false;
    QString error;
    const bool written = m_file.update(
        [&](QList<TrustedDevice> &devices) {
            for (TrustedDevice &device : devices) {
                if (device.deviceId == deviceId && device.hostId == hostId) {
                    device.lastSeenAt = now;
                    device.route = route;
                    found = true;
                }
            }
            return found;
        },
        &error);
    noteWrite(written, QStringLiteral("when a device was seen is not recorded"), &error);
    if (!written || !found)
        return false;
    m_lastSeenWrites.insert(deviceId, now);
    return true;
}

bool TrustedDeviceStore::remove(const QString &deviceId, const QString &hostId, QString *error)
{
    contents();
    bool found = false;
    const bool written = m_file.update(
        [&](QList<TrustedDevice> &devices) {
            found = devices.removeIf([&](const TrustedDevice &device) {
                return device.deviceId == deviceId && device.hostId == hostId;
            }) > 0;
            return found;
        },
        error);
    noteWrite(written, QStringLiteral("a device is not revoked"), error);
    m_lastSeenWrites.remove(deviceId);
    return written && found;
}

void TrustedDeviceStore::noteWrite(bool written, const QString &consequence, const QString *reason)
{
    // Every failure is told, as each loses something of its own; the recovery once. A failed write always
    // has its reason.
    if (!written)
        AgentLog::error(AgentStorageReport::failed(AgentStorageReport::trustedDevices,
                                                   QStringLiteral("%1 (%2)").arg(consequence, *reason)));
    else if (m_writeFailing)
        AgentLog::event(AgentStorageReport::recovered(AgentStorageReport::trustedDevices));
    m_writeFailing = !written;
}
