#include "Services/Folders/HostPermissionGrantStore.h"

#include "Platform/FolderBookmark.h"
#include "Platform/FolderChooser.h"
#include "Platform/UserDefaults.h"
#include "Shared/AppBrand.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

HostPermissionGrantStore::HostPermissionGrantStore(UserDefaults &defaults, FolderChooser &chooser,
                                                   QString key, Clock clock)
    : m_defaults(defaults), m_chooser(chooser), m_key(std::move(key)), m_clock(std::move(clock))
{}

QString HostPermissionGrantStore::standardizedPath(const QString &path)
{
    // cleanPath works on the text only, so symbolic links stay as they are.
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
}

bool HostPermissionGrantStore::grant(const QString &path)
{
    const QString wanted = standardizedPath(path);
    const QString name = QFileInfo(wanted).fileName();
    FolderChooserRequest request;
    request.startDirectory = standardizedPath(wanted + QStringLiteral("/.."));
    request.confirmTitle = QStringLiteral("Grant Access");
    request.message = QStringLiteral("Choose ") + name + QStringLiteral(" to grant ") + AppBrand::hostName +
                      QStringLiteral(" persistent access before working from the iPad.");
    const std::optional<QString> chosen = m_chooser.chooseFolder(request);
    if (!chosen || chosen->isEmpty())
        return false;
    // Exact and case-sensitive: a case-insensitive volume may say the folders are one, the agent will not.
    if (standardizedPath(*chosen) != wanted)
        return false;
    const std::optional<QByteArray> bookmark = FolderBookmark::create(wanted);
    if (!bookmark)
        return false;
    QHash<QString, HostPermissionGrant> stored = grants();
    stored.insert(wanted, HostPermissionGrant{wanted, *bookmark, m_clock()});
    save(stored);
    return true;
}

bool HostPermissionGrantStore::hasGrant(const QString &path) const
{
    return grants().contains(standardizedPath(path));
}

void HostPermissionGrantStore::startAccess(const QStringList &paths)
{
    stopAccess();
    const QHash<QString, HostPermissionGrant> stored = grants();
    for (const QString &path : paths) {
        const auto grant = stored.constFind(standardizedPath(path));
        if (grant == stored.constEnd())
            continue;
        FolderAccess access = FolderAccess::open(grant->bookmark);
        if (access.isOpen())
            m_active.push_back(std::move(access));
    }
}

void HostPermissionGrantStore::stopAccess()
{
    for (FolderAccess &access : m_active)
        access.close();
    m_active.clear();
}

QStringList HostPermissionGrantStore::activePaths() const
{
    QStringList paths;
    for (const FolderAccess &access : m_active)
        paths << access.path();
    return paths;
}

QHash<QString, HostPermissionGrant> HostPermissionGrantStore::grants() const
{
    QHash<QString, HostPermissionGrant> result;
    const std::optional<QByteArray> data = m_defaults.data(m_key);
    if (!data)
        return result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(*data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        warnOnce(QString(), QStringLiteral("folder grants cannot be read; none are in use"));
        return result;
    }
    const QJsonObject map = document.object();
    for (auto it = map.begin(); it != map.end(); ++it) {
        const std::optional<HostPermissionGrant> grant = HostPermissionGrant::fromJson(it.value().toObject());
        // Only the damaged entry is lost: the next save writes back every grant read here.
        if (grant)
            result.insert(it.key(), *grant);
        else
            warnOnce(it.key(), QStringLiteral("the folder grant for ") + it.key() +
                                   QStringLiteral(" is damaged and left out"));
    }
    return result;
}

void HostPermissionGrantStore::warnOnce(const QString &entry, const QString &message) const
{
    // The map is read on every readiness check; one line per damage is enough.
    if (m_reportedDamage.contains(entry))
        return;
    m_reportedDamage.insert(entry);
    qWarning("permission grants: %s", qPrintable(message));
}

void HostPermissionGrantStore::save(const QHash<QString, HostPermissionGrant> &grants)
{
    QJsonObject map;
    for (auto it = grants.begin(); it != grants.end(); ++it)
        map.insert(it.key(), it->toJson());
    m_defaults.setData(m_key, QJsonDocument(map).toJson(QJsonDocument::Compact));
}
