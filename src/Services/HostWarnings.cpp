#include "Services/HostWarnings.h"

void HostWarnings::report(Source source, const QString &warning)
{
    QString &current = m_warnings.at(static_cast<std::size_t>(source));
    if (current == warning)
        return;
    current = warning;
    emit changed();
}

QStringList HostWarnings::warnings() const
{
    QStringList warnings;
    for (const QString &warning : m_warnings) {
        if (!warning.isEmpty())
            warnings.append(warning);
    }
    return warnings;
}

QString HostWarnings::settingsNotSaved(const QString &reason)
{
    if (reason.isEmpty())
        return {};
    return QStringLiteral(
               "Settings were not saved (%1). Your changes apply until the host quits, and the file "
               "keeps the settings from before; once there is room, change any setting to save "
               "them all.")
        .arg(reason);
}

QString HostWarnings::secretsNotSaved(const QString &reason)
{
    if (reason.isEmpty())
        return {};
    return QStringLiteral("Pairing secrets were not saved (%1). The file keeps the pairing from before; the "
                          "one in use will not survive a restart.")
        .arg(reason);
}
