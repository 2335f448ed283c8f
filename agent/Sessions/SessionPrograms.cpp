#include "Sessions/SessionPrograms.h"

#include "Shared/AgentCommandLine.h"
#include "Shared/AgentEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

SessionPrograms::SessionPrograms(QStringList names, bool allowShell, QString searchPath, QString loginShell)
    : m_names(std::move(names)), m_allowShell(allowShell),
      m_searchPath(searchPath.split(QLatin1Char(':'), Qt::SkipEmptyParts)),
      m_loginShell(std::move(loginShell))
{
    m_names.removeDuplicates();
    m_names.removeAll(AgentCommandLine::shellProgramName);
}

std::variant<SessionProgram, ServiceError> SessionPrograms::resolve(const QString &name) const
{
    if (m_allowShell && name == AgentCommandLine::shellProgramName)
        return SessionProgram{name, m_loginShell, {QStringLiteral("-l")}};
    if (!m_names.contains(name))
        return ServiceError{QStringLiteral("program_not_allowed"),
                            QStringLiteral("this computer does not let tablets start \"%1\"").arg(name)};
    QString path;
    if (QDir::isAbsolutePath(name)) {
        const QFileInfo info(name);
        if (info.isFile() && info.isExecutable())
            path = name;
    } else if (!m_searchPath.isEmpty()) {
        path = QStandardPaths::findExecutable(name, m_searchPath);
    }
    if (path.isEmpty())
        return ServiceError{QStringLiteral("program_not_found"),
                            QStringLiteral("%1 is not installed on this computer").arg(name)};
    return SessionProgram{name, path, {}};
}

QJsonArray SessionPrograms::describe() const
{
    QJsonArray programs;
    for (const QString &name : m_names)
        programs.append(QJsonObject{
            {QStringLiteral("name"), name},
            {QStringLiteral("available"), std::holds_alternative<SessionProgram>(resolve(name))}});
    if (m_allowShell)
        programs.append(QJsonObject{{QStringLiteral("name"), AgentCommandLine::shellProgramName},
                                    {QStringLiteral("available"), true}});
    return programs;
}

QString SessionPrograms::userLoginShell()
{
    const passwd *entry = ::getpwuid(::getuid());
    const QString shell = entry && entry->pw_shell ? QString::fromLocal8Bit(entry->pw_shell) : QString();
    return QFileInfo(shell).isExecutable() ? shell : QStringLiteral("/bin/sh");
}

QProcessEnvironment sessionEnvironment(const QProcessEnvironment &agentEnvironment)
{
    QProcessEnvironment environment = agentEnvironment;
    for (const QString &name : agentEnvironment.keys()) {
        // ngrok reads its authtoken from NGROK_AUTHTOKEN; the tmux variables would name a tmux the agent runs
        // in, which the program has no business driving.
        if (name.startsWith(AgentEnvironment::prefix) || name == QLatin1String("NGROK_AUTHTOKEN") ||
            name == QLatin1String("TMUX") || name == QLatin1String("TMUX_PANE"))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    return environment;
}
