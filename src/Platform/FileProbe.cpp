#include "Platform/FileProbe.h"

#include <QDir>
#include <QFileInfo>

FileProbe FileProbe::system()
{
    FileProbe probe;
    probe.exists = [](const QString &path) {
        return QFileInfo::exists(path);
    };
    probe.isExecutableFile = [](const QString &path) {
        const QFileInfo info(path);
        return info.isFile() && info.isExecutable();
    };
    probe.listDirectory = [](const QString &path) {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                    QDir::Unsorted);
    };
    return probe;
}
