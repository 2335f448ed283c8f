#include "Platform/FolderBookmark.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

namespace {

const QString pathKey = QStringLiteral("path");
const QString deviceKey = QStringLiteral("device");
const QString inodeKey = QStringLiteral("inode");

std::optional<struct stat> folderStatus(const QString &path)
{
    struct stat status {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &status) != 0 ||
        !S_ISDIR(status.st_mode))
        return std::nullopt;
    return status;
}

struct Identity {
    QString path;
    quint64 device = 0;
    quint64 inode = 0;

    bool matches(const struct stat &status) const
    {
        return S_ISDIR(status.st_mode) && static_cast<quint64>(status.st_dev) == device &&
               static_cast<quint64>(status.st_ino) == inode;
    }
};

std::optional<Identity> parse(const QByteArray &bookmark)
{
    const QJsonObject object = QJsonDocument::fromJson(bookmark).object();
    Identity identity;
    identity.path = object.value(pathKey).toString();
    bool deviceOk = false;
    bool inodeOk = false;
    identity.device = object.value(deviceKey).toString().toULongLong(&deviceOk);
    identity.inode = object.value(inodeKey).toString().toULongLong(&inodeOk);
    if (identity.path.isEmpty() || !deviceOk || !inodeOk)
        return std::nullopt;
    return identity;
}

} // namespace

std::optional<QByteArray> FolderBookmark::create(const QString &path)
{
    const std::optional<struct stat> status = folderStatus(path);
    if (!status)
        return std::nullopt;
    // Numbers as strings: device and inode numbers are 64-bit and JSON numbers are doubles.
    const QJsonObject bookmark{{pathKey, path},
                               {deviceKey, QString::number(static_cast<quint64>(status->st_dev))},
                               {inodeKey, QString::number(static_cast<quint64>(status->st_ino))}};
    return QJsonDocument(bookmark).toJson(QJsonDocument::Compact);
}

std::optional<QString> FolderBookmark::resolve(const QByteArray &bookmark)
{
    const std::optional<Identity> identity = parse(bookmark);
    if (!identity)
        return std::nullopt;
    const std::optional<struct stat> status = folderStatus(identity->path);
    if (!status || !identity->matches(*status))
        return std::nullopt;
    return identity->path;
}

bool FolderBookmark::names(const QByteArray &bookmark, int directoryFd)
{
    const std::optional<Identity> identity = parse(bookmark);
    struct stat status {};
    return identity && ::fstat(directoryFd, &status) == 0 && identity->matches(status);
}
