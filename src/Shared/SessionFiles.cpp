#include "Shared/SessionFiles.h"

#include "Shared/SessionHolderProtocol.h"

#include <QDir>

#include <unistd.h>

namespace SessionFiles {

QString runtimeFolder(const QProcessEnvironment &environment)
{
    const QString runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime))
        return QDir::cleanPath(runtime) + QStringLiteral("/ferrowyn");
    return QStringLiteral("/tmp/ferrowyn-%1").arg(::getuid());
}

QString holderSocket(const QString &sessionFolder)
{
    return sessionFolder + QLatin1Char('/') +
           QLatin1String(SessionHolderProtocol::socketName.data(),
                         qsizetype(SessionHolderProtocol::socketName.size()));
}

QString endRecord(const QString &sessionFolder)
{
    return sessionFolder + QLatin1Char('/') +
           QLatin1String(SessionHolderProtocol::endRecordName.data(),
                         qsizetype(SessionHolderProtocol::endRecordName.size()));
}

QString stateFile(const QString &runtimeFolder)
{
    return runtimeFolder + QStringLiteral("/sessions.json");
}

QString sessionsFolder(const QString &runtimeFolder)
{
    return runtimeFolder + QStringLiteral("/sessions");
}

QString sessionFolder(const QString &runtimeFolder, const QString &sessionId)
{
    return sessionsFolder(runtimeFolder) + QLatin1Char('/') + sessionId;
}

QString sessionRecord(const QString &sessionFolder)
{
    return sessionFolder + QStringLiteral("/session.json");
}

} // namespace SessionFiles
