#include "Auth/TrustedDevicesWatcher.h"

#include "Shared/PrivateFolder.h"

#include <QFileInfo>

TrustedDevicesWatcher::TrustedDevicesWatcher(QString filePath, int settleMs, QObject *parent)
    : QObject(parent), m_filePath(std::move(filePath))
{
    // The folder must exist to be watched; it is the one the first pairing would create.
    makePrivateFolder(QFileInfo(m_filePath).absolutePath());
    m_settle.setSingleShot(true);
    m_settle.setInterval(settleMs);
    connect(&m_settle, &QTimer::timeout, this, &TrustedDevicesWatcher::announce);
    const auto settle = [this] {
        rewatch();
        m_settle.start();
    };
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, settle);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, settle);
    rewatch();
}

void TrustedDevicesWatcher::announce()
{
    m_settle.stop();
    emit changed();
}

void TrustedDevicesWatcher::rewatch()
{
    const QString folder = QFileInfo(m_filePath).absolutePath();
    if (!m_watcher.directories().contains(folder) && QFileInfo(folder).isDir())
        m_watcher.addPath(folder);
    if (!m_watcher.files().contains(m_filePath) && QFileInfo::exists(m_filePath))
        m_watcher.addPath(m_filePath);
}
