#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Persistent, opaque bytes naming one folder: its path and its file identity (device and inode), so a
// folder that was deleted, or replaced by another one at the same path, no longer resolves.
namespace FolderBookmark {

// None when nothing readable as a folder is at the path.
std::optional<QByteArray> create(const QString &path);
// The folder's path, or none when the bytes are damaged or the folder is gone or replaced.
std::optional<QString> resolve(const QByteArray &bookmark);
// Whether an open directory descriptor is the very folder the bookmark names.
bool names(const QByteArray &bookmark, int directoryFd);

} // namespace FolderBookmark
