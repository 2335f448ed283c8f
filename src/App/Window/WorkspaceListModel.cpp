#include "App/Window/WorkspaceListModel.h"

#include "Services/HostAgentController.h"
#include "Services/Settings/HostPreferences.h"
#include "Services/Wording/PlatformWording.h"

#include <QFileInfo>

namespace {

using Readiness = WorkspaceListModel::Readiness;

Readiness readinessOf(HostPermissionPreflightStatus status)
{
    switch (status) {
    case HostPermissionPreflightStatus::ready:
        return Readiness::Ready;
    case HostPermissionPreflightStatus::readOnly:
        return Readiness::ReadOnly;
    case HostPermissionPreflightStatus::blocked:
        return Readiness::Blocked;
    case HostPermissionPreflightStatus::missing:
        return Readiness::Missing;
    case HostPermissionPreflightStatus::notDirectory:
        return Readiness::NotFolder;
    }
    return Readiness::Unchecked;
}

struct Badge {
    QString title;
    const char *symbol;
};

Badge badgeFor(Readiness readiness)
{
    switch (readiness) {
    case Readiness::Ready:
        return {QStringLiteral("Ready"), "checkmark.circle.fill"};
    case Readiness::ReadOnly:
        return {QStringLiteral("Read only"), "lock.circle"};
    case Readiness::Blocked:
        return {PlatformWording::folderNeedsCheckBadge, "exclamationmark.triangle.fill"};
    case Readiness::Missing:
        return {QStringLiteral("Missing"), "xmark.circle.fill"};
    case Readiness::NotFolder:
        return {QStringLiteral("Not a folder"), "xmark.circle.fill"};
    case Readiness::Unchecked:
        break;
    }
    return {QString(), ""};
}

} // namespace

WorkspaceListModel::WorkspaceListModel(const HostPreferences &preferences,
                                       const HostAgentController &controller, QObject *parent)
    : QAbstractListModel(parent), m_preferences(preferences), m_controller(controller), m_rows(currentRows())
{
    connect(&preferences, &HostPreferences::workspacesChanged, this, &WorkspaceListModel::refresh);
    connect(&controller, &HostAgentController::permissionPreflightItemsChanged, this,
            &WorkspaceListModel::refresh);
}

int WorkspaceListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant WorkspaceListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case PathRole:
        return row.path;
    case NameRole: {
        const QString name = QFileInfo(row.path).fileName();
        return name.isEmpty() ? row.path : name;
    }
    case ReadinessRole:
        return QVariant::fromValue(row.readiness);
    case BadgeTitleRole:
        return badgeFor(row.readiness).title;
    case BadgeSymbolRole:
        return QString::fromLatin1(badgeFor(row.readiness).symbol);
    case MessageRole:
        return row.message;
    case CanGrantRole:
        return row.canGrant;
    default:
        return {};
    }
}

QHash<int, QByteArray> WorkspaceListModel::roleNames() const
{
    return {{PathRole, "path"},
            {NameRole, "name"},
            {ReadinessRole, "readiness"},
            {BadgeTitleRole, "badgeTitle"},
            {BadgeSymbolRole, "badgeSymbol"},
            {MessageRole, "message"},
            {CanGrantRole, "canGrant"}};
}

WorkspaceListModel::Readiness WorkspaceListModel::summary() const
{
    const auto has = [this](Readiness readiness) {
        return std::any_of(m_rows.cbegin(), m_rows.cend(),
                           [readiness](const Row &row) { return row.readiness == readiness; });
    };
    if (has(Readiness::Blocked))
        return Readiness::Blocked;
    if (has(Readiness::Ready))
        return Readiness::Ready;
    return Readiness::Unchecked;
}

QList<WorkspaceListModel::Row> WorkspaceListModel::currentRows() const
{
    const QList<HostPermissionPreflightItem> items = m_controller.permissionPreflightItems();
    QList<Row> rows;
    for (const QString &path : m_preferences.workspaces()) {
        Row row;
        row.path = path;
        const auto item =
            std::find_if(items.cbegin(), items.cend(), [&path](const auto &i) { return i.path == path; });
        if (item != items.cend()) {
            row.readiness = readinessOf(item->status);
            row.message = item->message;
            row.canGrant = item->exists && item->isDirectory && !item->hasGrant;
        }
        rows.append(row);
    }
    return rows;
}

void WorkspaceListModel::refresh()
{
    QList<Row> rows = currentRows();
    const Readiness summaryBefore = summary();
    const bool samePaths = std::equal(rows.cbegin(), rows.cend(), m_rows.cbegin(), m_rows.cend(),
                                      [](const Row &a, const Row &b) { return a.path == b.path; });
    if (!samePaths) {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    } else {
        for (int i = 0; i < rows.size(); ++i) {
            if (rows.at(i) == m_rows.at(i))
                continue;
            m_rows[i] = rows.at(i);
            emit dataChanged(index(i), index(i));
        }
    }
    if (summary() != summaryBefore)
        emit summaryChanged();
}
