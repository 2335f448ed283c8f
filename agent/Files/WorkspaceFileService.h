#pragma once

#include "ServiceError.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <variant>

// The pinned folders and the one view of the file system the tablet gets: a path is served only when,
// with every symbolic link and ".." resolved, it lies inside a pinned folder.
class WorkspaceFileService {
public:
    explicit WorkspaceFileService(QStringList folders, int maxEntries = 10'000);

    QJsonArray workspaces() const;
    // The entries of one directory, sorted by name: as many as fit in `maxBytes` of compact JSON, up to the
    // entry limit ("truncated" says when some were left out).
    std::variant<QJsonObject, ServiceError> listDirectory(const QString &path, qsizetype maxBytes) const;
    // The resolved form of an absolute path inside a pinned folder, or the reason it is refused.
    std::variant<QString, ServiceError> confinedPath(const QString &path) const;

private:
    QStringList m_folders;
    int m_maxEntries;
};
