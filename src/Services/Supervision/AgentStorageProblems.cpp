#include "Services/Supervision/AgentStorageProblems.h"

#include "Shared/AgentStorageReport.h"

bool AgentStorageProblems::observe(const QStringList &lines,
                                   const std::function<QString(const QString &)> &mask)
{
    const QMap<QString, QString> before = m_failures;
    for (const QString &line : lines) {
        const std::optional<AgentStorageReport::Line> report = AgentStorageReport::parse(line);
        if (!report)
            continue;
        if (report->failure)
            m_failures.insert(report->subject, mask(*report->failure));
        else
            m_failures.remove(report->subject);
    }
    return m_failures != before;
}

QString AgentStorageProblems::warning() const
{
    QStringList lines;
    for (const QString &failure : m_failures)
        lines.append(QStringLiteral("The agent %1. Make room on the disk of your home folder.").arg(failure));
    return lines.join(QLatin1Char('\n'));
}
