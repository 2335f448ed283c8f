#pragma once

#include "Shared/TrustedDevicesFile.h"

#include <QAbstractListModel>
#include <QFileSystemWatcher>
#include <QQmlEngine>

#include <functional>

// The tablets that can reach this computer: the agent's trusted devices for the current host id, newest
// pairing first, read again whenever the file changes. A file that cannot be read shows as unreadable, never
// as an empty list: "no devices" would tell the user that nobody can connect.
class PairedDevicesModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The presenter owns the paired devices")
    Q_PROPERTY(bool unreadable READ unreadable NOTIFY contentsChanged)
    Q_PROPERTY(int count READ count NOTIFY contentsChanged)

public:
    enum Role { DeviceIdRole = Qt::UserRole + 1, NameRole, PairedRole, LastSeenRole };

    // The file's path is asked for at every reading: it follows the home folder, as the agent's does.
    explicit PairedDevicesModel(std::function<QString()> filePath, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    bool unreadable() const { return m_unreadable; }
    int count() const { return static_cast<int>(m_devices.size()); }
    QList<TrustedDevice> devices() const { return m_devices; }

    // Only the devices paired with this host id are shown: others cannot connect. Nothing is read before
    // there is a host id.
    void setHostId(const QString &hostId);
    void reload();

    // "Last seen 19:41 over the local network", or why there is no such time.
    static QString lastSeenText(const TrustedDevice &device);

signals:
    void contentsChanged();

private:
    void watch(const QString &path);

    std::function<QString()> m_filePath;
    QString m_hostId;
    QList<TrustedDevice> m_devices;
    bool m_unreadable = false;
    QFileSystemWatcher m_watcher;
};
