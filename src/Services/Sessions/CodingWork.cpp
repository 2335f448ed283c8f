#include "Services/Sessions/CodingWork.h"

#include "Services/Supervision/AgentLaunchPlan.h"
#include "Shared/AgentCommandLine.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <algorithm>

QStringList CodingWork::normalizedPrograms(const QStringList &names)
{
    QStringList programs;
    for (const QString &raw : names) {
        const QString name = raw.trimmed();
        const bool control = std::any_of(name.cbegin(), name.cend(),
                                         [](QChar c) { return c.category() == QChar::Other_Control; });
        if (name.isEmpty() || control || name.startsWith(QLatin1Char('-')) ||
            name == AgentCommandLine::shellProgramName ||
            (name.contains(QLatin1Char('/')) && !QDir::isAbsolutePath(name)) || programs.contains(name))
            continue;
        programs.append(name);
    }
    return programs;
}

QString CodingWork::toolPath()
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString path = QStringLiteral("PATH");
    return AgentLaunchPlan::augmentedToolPath(
        environment.contains(path) ? std::optional(environment.value(path)) : std::nullopt, QDir::homePath(),
        FileProbe::system());
}

std::function<bool(const QString &name)> CodingWork::installedOn(const QString &toolPath,
                                                                 const FileProbe &probe)
{
    const QStringList folders = toolPath.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return [folders, probe](const QString &name) {
        if (QDir::isAbsolutePath(name))
            return probe.isExecutableFile(name);
        return std::any_of(folders.cbegin(), folders.cend(), [&](const QString &folder) {
            return probe.isExecutableFile(folder + QLatin1Char('/') + name);
        });
    };
}

QString CodingWork::readyMessage(const QStringList &programs, bool allowShell,
                                 const std::function<bool(const QString &name)> &installed)
{
    const bool codexAllowed = programs.contains(defaultProgram);
    const bool codexInstalled = codexAllowed && installed(defaultProgram);
    if (codexInstalled)
        return codexReady;
    QStringList available;
    for (const QString &program : programs)
        if (installed(program))
            available.append(program);
    if (allowShell)
        available.append(QStringLiteral("a terminal shell"));
    const QString codexMissing = QStringLiteral("%1 is not installed on this computer").arg(defaultProgram);
    if (!available.isEmpty())
        return QStringLiteral("Ready for remote work with %1%2.")
            .arg(available.join(QStringLiteral(", ")),
                 codexAllowed ? QStringLiteral("; ") + codexMissing : QString());
    if (codexAllowed)
        return QStringLiteral("Ready for files only: %1.").arg(codexMissing);
    return programs.isEmpty()
               ? QStringLiteral("Ready for files only: tablets may start no program in a session.")
               : QStringLiteral("Ready for files only: none of the programs tablets may start is installed.");
}

namespace {

// A folder as the agent compares it: with its links resolved, when it is there.
QString resolved(const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(folder) : canonical;
}

bool isWithin(const QString &path, const QString &folder)
{
    return path == folder ||
           path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

bool inAny(const QString &path, const QStringList &folders)
{
    return std::any_of(folders.cbegin(), folders.cend(),
                       [&path](const QString &folder) { return isWithin(path, folder); });
}

} // namespace

int CodingWork::endedByUnpinning(const QStringList &sessionFolders, const QStringList &removed,
                                 const QStringList &pinned)
{
    QStringList kept;
    for (const QString &folder : pinned)
        if (!removed.contains(folder))
            kept.append(resolved(folder));
    QStringList gone;
    for (const QString &folder : removed)
        gone.append(resolved(folder));
    return static_cast<int>(
        std::count_if(sessionFolders.cbegin(), sessionFolders.cend(),
                      [&](const QString &path) { return inAny(path, gone) && !inAny(path, kept); }));
}

int CodingWork::endedWithout(const QStringList &sessionFolders, const QStringList &pinned)
{
    QStringList kept;
    for (const QString &folder : pinned)
        kept.append(resolved(folder));
    return static_cast<int>(std::count_if(sessionFolders.cbegin(), sessionFolders.cend(),
                                          [&kept](const QString &path) { return !inAny(path, kept); }));
}

QString CodingWork::unpinQuestion(int sessions)
{
    if (sessions <= 0)
        return {};
    return sessions == 1
               ? QStringLiteral("Unpinning ends 1 coding session, and the program running in it.")
               : QStringLiteral("Unpinning ends %1 coding sessions, and the programs running in them.")
                     .arg(sessions);
}

QString CodingWork::endTitle(Ending ending)
{
    return ending == Ending::quit ? QStringLiteral("Quit Ferrowyn Host?") : QStringLiteral("Stop hosting?");
}

QString CodingWork::endQuestion(int sessions, Ending ending)
{
    if (sessions <= 0)
        return {};
    const QString doing = ending == Ending::quit ? QStringLiteral("Quitting Ferrowyn Host")
                                                 : QStringLiteral("Stopping hosting");
    return sessions == 1
               ? QStringLiteral("1 coding session is running. %1 ends it, and the program running in it.")
                     .arg(doing)
               : QStringLiteral(
                     "%1 coding sessions are running. %2 ends them, and the programs running in them.")
                     .arg(sessions)
                     .arg(doing);
}

QString CodingWork::endOneQuestion(const QString &program, const QString &folder)
{
    return QStringLiteral("End %1 in %2? The program ends with it; tablets attached to it are told.")
        .arg(program, folder);
}
