#pragma once

#include <QString>
#include <QStringList>

// Every text that names the platform, in one table: the macOS words this product began with, and the words a
// Linux user knows ("this computer", the file manager, a folder access check). A text that mentions the
// computer, its file browser or its folder permissions comes from here and nowhere else.
namespace PlatformWording {

#ifdef Q_OS_MACOS
inline const QString grantAccessTip =
    QStringLiteral("Create a persistent Mac preflight grant for this folder.");
inline const QString revealFolder = QStringLiteral("Reveal in Finder");
inline const QString readinessNote = QStringLiteral(
    "Grant folder access here before leaving the Mac. Codex approvals can be handled on iPad; native macOS "
    "folder prompts require Mac preflight.");
inline const QString someFoldersBlocked =
    QStringLiteral("Some folders require Mac preflight. Grant access here before working from the iPad.");
inline const QString noFoldersPinned = QStringLiteral(
    "Optional. The iPad can browse safe folders on this Mac and open a workspace after connecting.");
inline const QString folderNeedsCheck = QStringLiteral(
    "Requires Mac preflight. Open this folder from Ferrowyn Host before working away from the Mac.");
inline const QString folderGranted = QStringLiteral("Ready with persistent Mac preflight grant.");
inline const QString folderNeedsCheckBadge = QStringLiteral("Requires Mac preflight");
inline QString missingAgent(const QStringList &)
{
    return QStringLiteral(
        "Ferrowyn agent binary is missing from the app bundle. Rebuild the app so the pre-build "
        "step compiles it.");
}
#else
inline const QString grantAccessTip =
    QStringLiteral("Remember access to this folder, so that the agent can open it while you are away.");
inline const QString revealFolder = QStringLiteral("Show in File Manager");
inline const QString readinessNote = QStringLiteral(
    "Grant folder access here before leaving this computer. Codex approvals can be handled on iPad; folders "
    "that this computer protects need a folder access check.");
inline const QString someFoldersBlocked = QStringLiteral(
    "Some folders need a folder access check. Grant access here before working from the iPad.");
inline const QString noFoldersPinned = QStringLiteral(
    "Optional. The iPad can browse safe folders on this computer and open a workspace after connecting.");
inline const QString folderNeedsCheck =
    QStringLiteral("Needs a folder access check. Open this folder from Ferrowyn Host before working away "
                   "from this computer.");
inline const QString folderGranted = QStringLiteral("Ready: folder access is remembered.");
inline const QString folderNeedsCheckBadge = QStringLiteral("Needs folder access check");
// The agent comes with the package, so a missing one means a damaged install.
inline QString missingAgent(const QStringList &lookedIn)
{
    return QStringLiteral("The Ferrowyn agent is missing (looked for at %1). Reinstall the package: sudo apt "
                          "install --reinstall ferrowyn-host")
        .arg(lookedIn.join(QStringLiteral(" and ")));
}
#endif

} // namespace PlatformWording
