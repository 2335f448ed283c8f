#include "Platform/LoginItem.h"

#include "Shared/AtomicFileWriter.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

// A plain string value: only the key file's own escapes.
QString escapedValue(const QString &value)
{
    QString escaped = value;
    return escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// Exec= takes arguments separated by spaces, with its own quoting rules; quote every path.
QString quotedExec(const QString &path)
{
    QString escaped = path;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('`'), QLatin1String("\\`"))
        .replace(QLatin1Char('$'), QLatin1String("\\$"));
    // A literal % must be doubled, or it reads as a field code.
    escaped.replace(QLatin1Char('%'), QLatin1String("%%"));
    // The key file's own string escapes apply before the quoting is read.
    return escapedValue(QLatin1Char('"') + escaped + QLatin1Char('"'));
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(QString desktopId, QString applicationName,
                                             QString executablePath, QString autostartFolder)
    : m_desktopId(std::move(desktopId)), m_applicationName(std::move(applicationName)),
      m_executablePath(std::move(executablePath)), m_autostartFolder(std::move(autostartFolder))
{}

QString XdgAutostartLoginItem::standardAutostartFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

QString XdgAutostartLoginItem::entryPath() const
{
    return m_autostartFolder + QLatin1Char('/') + m_desktopId + QStringLiteral(".desktop");
}

std::optional<QString> XdgAutostartLoginItem::registerApplication()
{
    if (!QDir().mkpath(m_autostartFolder))
        return QStringLiteral("Cannot create the folder %1.").arg(m_autostartFolder);
    const QString entry =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=%1\n"
                       "Exec=%2\n"
                       "TryExec=%3\n"
                       "Icon=%4\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n")
            .arg(m_applicationName,
                 (QStringList{quotedExec(m_executablePath)} + m_arguments).join(QLatin1Char(' ')),
                 escapedValue(m_executablePath), m_desktopId);
    // Readable by all like any desktop entry; a failed write keeps the entry there was.
    return AtomicFileWriter::write(entryPath(), entry.toUtf8(), S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
}

std::optional<QString> XdgAutostartLoginItem::unregisterApplication()
{
    QFile file(entryPath());
    // Nothing registered is what unregistering asks for.
    if (!file.exists() || file.remove())
        return std::nullopt;
    return file.errorString();
}
