#include "Platform/PrivateFileCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString userName(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

// A path as a shell reads it back: quoted when it holds anything but plain characters.
QString shellWord(const QString &path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./@%+=:,-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    return QLatin1Char('\'') + QString(path).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}

} // namespace

namespace PrivateFileCheck {

std::optional<QString> refusal(const QString &what, const QString &path, bool isFolder, const Entry &entry,
                               uid_t me)
{
    const QString name = isFolder ? QStringLiteral("The folder %1 of %2").arg(path, what.toLower())
                                  : QStringLiteral("%1 %2").arg(what, path);
    if (entry.owner != me) {
        const QString user = userName(me);
        return QStringLiteral(
                   "%1 is not used: it belongs to %2, not to you (%3). If what it holds is yours, run: "
                   "sudo chown %3: %4")
            .arg(name, userName(entry.owner), user, shellWord(path));
    }
    if ((entry.mode & (S_IRWXG | S_IRWXO)) == 0)
        return std::nullopt;
    return QStringLiteral("%1 is not used: its permissions (%2) let other users %3. Run: chmod %4 %5")
        .arg(name, QStringLiteral("%1").arg(entry.mode & 07777, 4, 8, QLatin1Char('0')),
             isFolder ? QStringLiteral("into it") : QStringLiteral("read or change it"),
             isFolder ? QStringLiteral("700") : QStringLiteral("600"), shellWord(path));
}

std::optional<QString> check(const QString &what, const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    for (const auto &[entryPath, isFolder] : {std::pair{folder, true}, std::pair{path, false}}) {
        struct stat status {};
        if (::stat(QFile::encodeName(entryPath).constData(), &status) != 0)
            continue;
        if (const std::optional<QString> refused =
                refusal(what, entryPath, isFolder, {status.st_uid, status.st_mode & 07777}, ::geteuid()))
            return refused;
    }
    return std::nullopt;
}

} // namespace PrivateFileCheck
