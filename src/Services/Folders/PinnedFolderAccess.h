#pragma once

#include "Services/Folders/HostPermissionGrantStore.h"
#include "Services/Folders/PermissionPreflight.h"

#include <QList>
#include <QObject>
#include <QStringList>

class FolderChooser;
class UserDefaults;

// Whether the agent can work in each pinned folder, the grants the user gave for them, and the access to the
// granted folders that is held open while an agent runs. Main thread only.
class PinnedFolderAccess : public QObject {
    Q_OBJECT

public:
    inline static const QString accessNotGrantedWarning =
        QStringLiteral("Access was not granted. Choose the exact pinned folder in the permission dialog.");

    PinnedFolderAccess(UserDefaults &defaults, FolderChooser &chooser, QObject *parent = nullptr);

    // The verdicts of the last check, in the order of the folders checked.
    QList<HostPermissionPreflightItem> preflightItems() const { return m_preflightItems; }
    // Checks every folder and publishes the verdicts in one change; a ready folder without a grant is told
    // `readyMessage`.
    void check(const QStringList &folders, const QString &readyMessage);
    // Asks the user for exactly this folder and keeps a grant, then checks `folders` again. False, with a
    // warning, when the user chose another folder or none; the warning stands until a grant succeeds or that
    // folder is no longer pinned.
    bool grant(const QString &path, const QStringList &folders, const QString &readyMessage);

    // Opens access to the granted folders among these, closing what was open before.
    void open(const QStringList &folders) { m_grants.startAccess(folders); }
    void close() { m_grants.stopAccess(); }

    HostPermissionGrantStore &grantStore() { return m_grants; }

signals:
    void preflightItemsChanged();
    // Something the user must know and act on; empty when that is over.
    void warning(const QString &text);

private:
    HostPermissionGrantStore m_grants;
    QList<HostPermissionPreflightItem> m_preflightItems;
    QString m_refusedPath; // whose grant the standing warning is about
};
