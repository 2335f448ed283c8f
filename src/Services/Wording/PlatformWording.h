#pragma once

#include <QString>

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
#endif

} // namespace PlatformWording
