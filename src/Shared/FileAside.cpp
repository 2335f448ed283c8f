#include "Shared/FileAside.h"

#include <QDateTime>
#include <QFile>

std::optional<QString> moveDamagedFileAside(const QString &path)
{
    const QString aside = path + QStringLiteral(".corrupt-") +
                          QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz"));
    if (!QFile::rename(path, aside))
        return std::nullopt;
    return aside;
}
