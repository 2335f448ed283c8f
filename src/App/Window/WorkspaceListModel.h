#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QQmlEngine>
#include <QString>

class HostAgentController;
class HostPreferences;

// The pinned folders in their order, each with what its last access check found. The rows follow the
// preferences' list; a new verdict changes rows in place, so the views keep their delegates.
class WorkspaceListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The presenter owns the pinned folders")
    Q_PROPERTY(Readiness summary READ summary NOTIFY summaryChanged)

public:
    // Unchecked until a verdict on the folder is in.
    enum class Readiness { Unchecked, Ready, ReadOnly, Blocked, Missing, NotFolder };
    Q_ENUM(Readiness)

    enum Role {
        PathRole = Qt::UserRole + 1,
        NameRole,
        ReadinessRole,
        BadgeTitleRole,
        BadgeSymbolRole,
        MessageRole,
        // The folder exists and has no grant yet.
        CanGrantRole,
    };

    WorkspaceListModel(const HostPreferences &preferences, const HostAgentController &controller,
                       QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Blocked when any folder is, otherwise ready when any folder is, otherwise unchecked.
    Readiness summary() const;

signals:
    void summaryChanged();

private:
    struct Row {
        QString path;
        Readiness readiness = Readiness::Unchecked;
        QString message;
        bool canGrant = false;

        bool operator==(const Row &) const = default;
    };

    QList<Row> currentRows() const;
    void refresh();

    const HostPreferences &m_preferences;
    const HostAgentController &m_controller;
    QList<Row> m_rows;
};
