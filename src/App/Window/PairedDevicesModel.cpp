#include "App/Window/PairedDevicesModel.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>

namespace {

QString routeWords(const QString &route)
{
    if (route == TrustedDevicesFile::lanRoute)
        return QStringLiteral("the local network");
    if (route == TrustedDevicesFile::tunnelRoute)
        return QStringLiteral("the ngrok tunnel");
    if (route == TrustedDevicesFile::relayRoute)
        return QStringLiteral("the relay");
    return {};
}

QString when(const QDateTime &time)
{
    return QLocale().toString(time.toLocalTime(), QStringLiteral("d MMM yyyy, HH:mm"));
}

} // namespace

PairedDevicesModel::PairedDevicesModel(std::function<QString()> filePath, QObject *parent)
    : QAbstractListModel(parent), m_filePath(std::move(filePath))
{
    // The agent replaces the file on every write, so its folder is watched as well.
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &PairedDevicesModel::reload);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &PairedDevicesModel::reload);
}

int PairedDevicesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant PairedDevicesModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const TrustedDevice &device = m_devices.at(index.row());
    switch (role) {
    case DeviceIdRole:
        return device.deviceId;
    case NameRole:
        return device.name.isEmpty() ? device.deviceId : device.name;
    case PairedRole:
        return QStringLiteral("Paired %1").arg(when(device.pairedAt));
    case LastSeenRole:
        return lastSeenText(device);
    default:
        return {};
    }
}

QHash<int, QByteArray> PairedDevicesModel::roleNames() const
{
    return {
        {DeviceIdRole, "deviceId"}, {NameRole, "name"}, {PairedRole, "paired"}, {LastSeenRole, "lastSeen"}};
}

QString PairedDevicesModel::lastSeenText(const TrustedDevice &device)
{
    if (!device.lastSeenAt)
        return QStringLiteral("Not seen since it paired");
    const QString route = routeWords(device.route);
    return route.isEmpty() ? QStringLiteral("Last seen %1").arg(when(*device.lastSeenAt))
                           : QStringLiteral("Last seen %1 over %2").arg(when(*device.lastSeenAt), route);
}

void PairedDevicesModel::setHostId(const QString &hostId)
{
    if (m_hostId == hostId)
        return;
    m_hostId = hostId;
    reload();
}

void PairedDevicesModel::reload()
{
    const TrustedDevicesFile file(m_filePath());
    const TrustedDevicesFile::Contents contents =
        m_hostId.isEmpty() ? TrustedDevicesFile::Contents() : file.read();
    QList<TrustedDevice> devices;
    for (const TrustedDevice &device : contents.devices)
        if (device.hostId == m_hostId)
            devices.append(device);
    std::stable_sort(devices.begin(), devices.end(),
                     [](const TrustedDevice &a, const TrustedDevice &b) { return a.pairedAt > b.pairedAt; });
    beginResetModel();
    m_devices = devices;
    m_unreadable = contents.status == TrustedDevicesFile::Status::Unreadable ||
                   contents.status == TrustedDevicesFile::Status::Unavailable;
    endResetModel();
    emit contentsChanged();
    watch(file.path());
}

void PairedDevicesModel::watch(const QString &path)
{
    if (m_hostId.isEmpty())
        return;
    // Until the agent makes its folder, the folder above it tells when that happens.
    QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(folder))
        folder = QFileInfo(folder).absolutePath();
    if (!m_watcher.directories().contains(folder))
        m_watcher.addPath(folder);
    if (QFileInfo::exists(path) && !m_watcher.files().contains(path))
        m_watcher.addPath(path);
}
