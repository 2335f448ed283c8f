#pragma once

#include "Platform/FolderAccess.h"
#include "Services/Folders/HostPermissionGrant.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <functional>
#include <vector>

class FolderChooser;
class UserDefaults;

// Persistent folder grants taken through the folder chooser, and the access to the granted folders that is
// held open while the agent runs. Main thread only.
class HostPermissionGrantStore {
public:
    inline static const QString defaultKey = QStringLiteral("FerrowynHost.permissionGrants");
    using Clock = std::function<QDateTime()>;

    HostPermissionGrantStore(UserDefaults &defaults, FolderChooser &chooser, QString key = defaultKey,
                             Clock clock = &QDateTime::currentDateTimeUtc);

    // Asks the user for exactly this folder and stores a grant for it; false for every kind of refusal.
    bool grant(const QString &path);
    // Only looks at the stored map; the bookmark may no longer resolve.
    bool hasGrant(const QString &path) const;
    // Closes all open access, then opens access to every path with a grant whose folder still resolves.
    void startAccess(const QStringList &paths);
    void stopAccess();

    // The folders whose access is open, in the order it was opened.
    QStringList activePaths() const;
    // Every readable grant; a damaged entry is left out (and logged) on its own.
    QHash<QString, HostPermissionGrant> grants() const;

    // Absolute, without "." and ".." components or a trailing separator; symbolic links are kept.
    static QString standardizedPath(const QString &path);

private:
    void save(const QHash<QString, HostPermissionGrant> &grants);
    // Logs once per damaged entry (the empty key stands for the whole map).
    void warnOnce(const QString &entry, const QString &message) const;

    UserDefaults &m_defaults;
    FolderChooser &m_chooser;
    QString m_key;
    Clock m_clock;
    std::vector<FolderAccess> m_active;
    mutable QSet<QString> m_reportedDamage;
};
