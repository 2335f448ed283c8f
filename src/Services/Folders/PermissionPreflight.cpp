#include "Services/Folders/PermissionPreflight.h"

#include "Services/Wording/PlatformWording.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

#include <unistd.h>

QString rawValue(HostPermissionPreflightStatus status)
{
    switch (status) {
    case HostPermissionPreflightStatus::ready:
        return QStringLiteral("ready");
    case HostPermissionPreflightStatus::readOnly:
        return QStringLiteral("readOnly");
    case HostPermissionPreflightStatus::blocked:
        return QStringLiteral("blocked");
    case HostPermissionPreflightStatus::missing:
        return QStringLiteral("missing");
    case HostPermissionPreflightStatus::notDirectory:
        return QStringLiteral("notDirectory");
    }
    return {};
}

HostPermissionPreflightItem PermissionPreflight::check(const QString &path,
                                                       const std::function<bool(const QString &)> &hasGrant,
                                                       const QString &readyMessage)
{
    HostPermissionPreflightItem item;
    item.path = path;
    const QFileInfo info(path); // follows symbolic links
    item.exists = !path.isEmpty() && info.exists();
    if (!item.exists) {
        item.status = HostPermissionPreflightStatus::missing;
        item.message = QStringLiteral("Folder does not exist.");
        return item;
    }
    if (!info.isDir()) {
        item.status = HostPermissionPreflightStatus::notDirectory;
        item.message = QStringLiteral("Path is not a folder.");
        return item;
    }
    item.isDirectory = true;
    item.canRead = ::access(QFile::encodeName(path).constData(), R_OK) == 0;
    item.canWrite = canWriteDirectory(path);
    item.hasGrant = hasGrant && hasGrant(path);
    if (!item.canRead) {
        item.status = HostPermissionPreflightStatus::blocked;
        item.message = PlatformWording::folderNeedsCheck;
    } else if (!item.canWrite) {
        item.status = HostPermissionPreflightStatus::readOnly;
        item.message = QStringLiteral("Readable but not writable.");
    } else {
        item.status = HostPermissionPreflightStatus::ready;
        item.message = item.hasGrant ? PlatformWording::folderGranted : readyMessage;
    }
    return item;
}

bool PermissionPreflight::canWriteDirectory(const QString &path)
{
    const QString probe = QDir(path).filePath(QStringLiteral(".ferrowyn-preflight-") +
                                              QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    QSaveFile file(probe);
    if (!file.open(QIODevice::WriteOnly) || !file.commit())
        return false;
    QFile::remove(probe);
    return true;
}
