#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The few file system questions the agent launch asks, as replaceable functions so the launch plan can be
// computed against a made-up file system.
struct FileProbe {
    // Something (file, folder, link target) exists at the path.
    std::function<bool(const QString &path)> exists;
    // A regular file the process may execute.
    std::function<bool(const QString &path)> isExecutableFile;
    // The entry names in a folder, "." and ".." excluded; empty when it is missing or unreadable.
    std::function<QStringList(const QString &path)> listDirectory;

    static FileProbe system();
};
