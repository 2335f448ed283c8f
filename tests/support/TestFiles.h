#pragma once

#include <QFile>

// A whole file read or written in one call, for tests that prepare or inspect what the code keeps on disk.
inline namespace test_files {

// Empty when the file cannot be read.
inline QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace test_files
