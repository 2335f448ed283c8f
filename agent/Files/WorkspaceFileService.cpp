#include "Files/WorkspaceFileService.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdlib>
#include <optional>

namespace {

qsizetype compactSize(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).size();
}

bool isInside(const QString &path, const QString &root)
{
    if (root.isEmpty())
        return false;
    if (path == root)
        return true;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return path.startsWith(prefix);
}

// The path with every link and ".." resolved, or none. Not QFileInfo::canonicalFilePath, which hands back the
// path unresolved when realpath fails for any reason but a missing file (a name too long for the system, a
// loop of links, a folder on the way that cannot be searched), as though it were resolved. Whatever the
// reason, a path that cannot be resolved cannot be opened, and where it would lead is not known: not found.
std::optional<QString> resolvedPath(const QString &path)
{
    // The system would read the path only up to a NUL, which would resolve another path than the one asked.
    if (path.contains(QChar(u'\0')))
        return std::nullopt;
    char *resolved = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!resolved)
        return std::nullopt;
    QString text = QFile::decodeName(resolved);
    ::free(resolved);
    return text;
}

ServiceError outside()
{
    return ServiceError{QStringLiteral("path_outside_workspace"),
                        QStringLiteral("the path is not inside a pinned workspace folder")};
}

QString kindOf(const QFileInfo &info)
{
    if (info.isSymLink())
        return QStringLiteral("symlink");
    if (info.isDir())
        return QStringLiteral("directory");
    if (info.isFile())
        return QStringLiteral("file");
    return QStringLiteral("other");
}

} // namespace

WorkspaceFileService::WorkspaceFileService(QStringList folders, int maxEntries) : m_maxEntries(maxEntries)
{
    for (const QString &folder : folders)
        m_folders.append(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()));
}

QJsonArray WorkspaceFileService::workspaces() const
{
    QJsonArray list;
    for (const QString &folder : m_folders) {
        const QFileInfo info(folder);
        list.append(QJsonObject{{QStringLiteral("path"), folder},
                                {QStringLiteral("name"), info.fileName()},
                                {QStringLiteral("available"), info.isDir() && info.isReadable()}});
    }
    return list;
}

std::variant<QString, ServiceError> WorkspaceFileService::confinedPath(const QString &path) const
{
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return ServiceError{QStringLiteral("invalid_params"), QStringLiteral("path must be absolute")};
    // A path whose plain form is already outside every folder is refused before the file system is asked,
    // so a refusal never tells whether something exists out there.
    const QString cleaned = QDir::cleanPath(path);
    QStringList roots;
    bool plainlyInside = false;
    for (const QString &folder : m_folders) {
        const std::optional<QString> canonical = resolvedPath(folder);
        if (canonical)
            roots.append(*canonical);
        plainlyInside =
            plainlyInside || isInside(cleaned, folder) || isInside(cleaned, canonical.value_or(QString()));
    }
    if (!plainlyInside)
        return outside();
    const std::optional<QString> resolved = resolvedPath(cleaned);
    if (!resolved)
        return ServiceError{QStringLiteral("not_found"), QStringLiteral("no such file or directory")};
    for (const QString &root : roots) {
        if (isInside(*resolved, root))
            return *resolved;
    }
    return outside();
}

std::variant<QJsonObject, ServiceError> WorkspaceFileService::listDirectory(const QString &path,
                                                                            qsizetype maxBytes) const
{
    const auto confined = confinedPath(path);
    if (const auto *error = std::get_if<ServiceError>(&confined))
        return *error;
    const QString resolved = std::get<QString>(confined);
    const QFileInfo info(resolved);
    if (!info.isDir())
        return ServiceError{QStringLiteral("not_a_directory"), QStringLiteral("the path is not a directory")};
    QDir dir(resolved);
    dir.setFilter(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    dir.setSorting(QDir::Name);
    if (!dir.isReadable())
        return ServiceError{QStringLiteral("permission_denied"),
                            QStringLiteral("the directory is not readable")};
    QJsonArray entries;
    bool truncated = false;
    // The empty listing's size, counted with the longer of "true" and "false".
    qsizetype bytes = compactSize(QJsonObject{{QStringLiteral("path"), path},
                                              {QStringLiteral("entries"), QJsonArray()},
                                              {QStringLiteral("truncated"), false}});
    for (const QFileInfo &entry : dir.entryInfoList()) {
        QJsonObject object{{QStringLiteral("name"), entry.fileName()},
                           {QStringLiteral("kind"), kindOf(entry)}};
        if (entry.isFile() && !entry.isSymLink())
            object.insert(QStringLiteral("size"), entry.size());
        // A link's own target may lie outside; nothing about it is reported.
        if (!entry.isSymLink())
            object.insert(QStringLiteral("modified"), entry.lastModified().toUTC().toString(Qt::ISODate));
        // One more entry costs its own text and a comma.
        const qsizetype entryBytes = compactSize(object) + 1;
        if (entries.size() >= m_maxEntries || bytes + entryBytes > maxBytes) {
            truncated = true;
            break;
        }
        bytes += entryBytes;
        entries.append(object);
    }
    return QJsonObject{{QStringLiteral("path"), path},
                       {QStringLiteral("entries"), entries},
                       {QStringLiteral("truncated"), truncated}};
}
