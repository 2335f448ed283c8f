#include "Services/Folders/PinnedFolderAccess.h"

PinnedFolderAccess::PinnedFolderAccess(UserDefaults &defaults, FolderChooser &chooser, QObject *parent)
    : QObject(parent), m_grants(defaults, chooser)
{}

void PinnedFolderAccess::check(const QStringList &folders, const QString &readyMessage)
{
    QList<HostPermissionPreflightItem> items;
    const auto hasGrant = [this](const QString &path) {
        return m_grants.hasGrant(path);
    };
    for (const QString &path : folders)
        items.append(PermissionPreflight::check(path, hasGrant, readyMessage));
    m_preflightItems = items;
    emit preflightItemsChanged();
    if (!m_refusedPath.isEmpty() && !folders.contains(m_refusedPath)) {
        m_refusedPath.clear();
        emit warning({});
    }
}

bool PinnedFolderAccess::grant(const QString &path, const QStringList &folders, const QString &readyMessage)
{
    if (!m_grants.grant(path)) {
        m_refusedPath = path;
        emit warning(accessNotGrantedWarning);
        return false;
    }
    if (!m_refusedPath.isEmpty()) {
        m_refusedPath.clear();
        emit warning({});
    }
    check(folders, readyMessage);
    return true;
}
